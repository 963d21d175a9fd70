#include "core/json_fields.h"

#include <cfloat>
#include <cmath>
#include <limits>

namespace tvoz {

namespace {

// True when arrays and objects open more than kMaxJsonDepth deep. Brackets
// inside strings do not count; for a text that is not JSON the answer does not
// matter, the parser refuses it anyway.
bool nestsTooDeep(const std::string &text) {
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;  // an escaped character, possibly a quote
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

}  // namespace

std::optional<json> parseJson(const std::string &text) {
  if (nestsTooDeep(text)) return std::nullopt;
  json value = json::parse(text, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

json parseObjectOrEmpty(const std::string &text) {
  auto value = parseJson(text);
  if (!value || !value->is_object()) return json::object();
  return std::move(*value);
}

namespace {

// Present member or nullptr; throws type_error for a root that is not an object,
// as json::value() does.
const json *member(const json &obj, const char *key) {
  if (!obj.is_object()) (void)obj.at(key);  // throws type_error for non-objects
  auto it = obj.find(key);
  return it == obj.end() ? nullptr : &*it;
}

template <class Int>
Int clampToInt(double d) {
  if (d >= static_cast<double>(std::numeric_limits<Int>::max())) return std::numeric_limits<Int>::max();
  if (d <= static_cast<double>(std::numeric_limits<Int>::min())) return std::numeric_limits<Int>::min();
  return static_cast<Int>(d);  // truncates towards zero
}

}  // namespace

std::string readString(const json &obj, const char *key, const std::string &fallback) {
  const json *m = member(obj, key);
  return m ? m->get<std::string>() : fallback;
}

int32_t readInt32(const json &obj, const char *key, int32_t fallback) {
  const json *m = member(obj, key);
  if (!m) return fallback;
  // get<int64_t>() and get<double>() refuse booleans, which count as 0 and 1.
  if (m->is_boolean()) return m->get<bool>() ? 1 : 0;
  if (m->is_number_float()) return clampToInt<int32_t>(m->get<double>());
  if (m->is_number_unsigned()) {
    uint64_t u = m->get<uint64_t>();
    return u > static_cast<uint64_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(u);
  }
  int64_t v = m->get<int64_t>();  // integers; throws for the rest
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

float readFloat(const json &obj, const char *key, float fallback) {
  const json *m = member(obj, key);
  if (!m) return fallback;
  if (m->is_boolean()) return m->get<bool>() ? 1.0f : 0.0f;
  double d = m->get<double>();  // numbers; throws for the rest
  if (d > FLT_MAX) return FLT_MAX;
  if (d < -FLT_MAX) return -FLT_MAX;
  return static_cast<float>(d);
}

std::optional<std::string> dumpCompact(const json &value) {
  try {
    return value.dump();
  } catch (const json::type_error &) {
    return std::nullopt;  // invalid UTF-8 in a string
  }
}

json memberOf(const json &root, const char *key) {
  if (root.is_null()) return json();
  const json *m = member(root, key);
  return m ? *m : json();
}

}  // namespace tvoz
