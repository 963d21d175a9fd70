#include "core/json_fields.h"

#include <string>

#include <gtest/gtest.h>

using namespace tvoz;

namespace {

std::string nested(int depth, const std::string &inner = "") {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

}  // namespace

TEST(JsonFields, ParseRefusesNestingBeyondTheLimitOnly) {
  EXPECT_TRUE(parseJson(nested(kMaxJsonDepth)));
  EXPECT_FALSE(parseJson(nested(kMaxJsonDepth + 1)));
  EXPECT_FALSE(parseJson("{\"a\":" + nested(kMaxJsonDepth) + "}"));
  EXPECT_EQ(parseObjectOrEmpty("{\"a\":" + nested(kMaxJsonDepth) + "}"), json::object());

  // Brackets inside strings, escaped quotes included, are text, not nesting.
  const std::string brackets(1000, '[');
  auto text = parseJson("{\"t\":\"" + brackets + "\\\"" + brackets + "\",\"n\":[[1]]}");
  ASSERT_TRUE(text);
  EXPECT_EQ(readString(*text, "t"), brackets + "\"" + brackets);
}
