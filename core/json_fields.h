// Reading JSON from the service and from our own files.
//
// Texts are parsed strictly (no comments, no trailing garbage, at most
// kMaxJsonDepth levels of arrays and objects) without throwing. Members are read with a
// default when missing; a member that is present with the wrong type throws
// nlohmann::json::type_error, exactly as json::value() does, so that a
// listing can stop at the element that is bad.
// Numbers are converted with clamping, never with an out-of-range cast.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace tvoz {

using json = nlohmann::json;

// The parsed value, or nothing when the text is not one complete JSON value
// or nests arrays and objects more than kMaxJsonDepth deep. The library copies,
// compares and writes values recursively, so a few hundred kilobytes of
// brackets would otherwise overflow the stack of the thread that reads them;
// nothing the plug-in reads nests more than a few levels.
constexpr int kMaxJsonDepth = 128;
std::optional<json> parseJson(const std::string &text);

// Same as parseJson, but anything other than an object reads as an empty object.
json parseObjectOrEmpty(const std::string &text);

std::string readString(const json &obj, const char *key, const std::string &fallback = "");
int32_t readInt32(const json &obj, const char *key, int32_t fallback = 0);
float readFloat(const json &obj, const char *key, float fallback = 0.0f);

// Compact text, members in byte order of their keys, raw UTF-8. Nothing when a
// string in the value is not valid UTF-8 (which JSON cannot carry).
std::optional<std::string> dumpCompact(const json &value);

// Calls fn(element) for each element of an array, or each member value of an
// object in key order; null and every other kind yield nothing. Stops early
// and propagates when fn throws.
template <class Fn>
void forEachElement(const json &list, Fn fn) {
  if (list.is_array() || list.is_object()) {
    for (const auto &element : list) fn(element);
  }
}

// The member `key` of an object root, null for a null root or a missing member;
// throws type_error for any other root.
json memberOf(const json &root, const char *key);

}  // namespace tvoz
