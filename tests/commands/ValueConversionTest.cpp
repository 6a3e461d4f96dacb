#include "vantro/commands/ValueConversion.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace vantro {
namespace {

using nlohmann::json;

TEST(IntegerConversion, AcceptsNumbersTextWithBlanksAndSignsAndBooleans) {
  EXPECT_EQ(toInteger(json(42), "v"), 42);
  EXPECT_EQ(toInteger(json(" 12\t"), "v"), 12);
  EXPECT_EQ(toInteger(json("-3"), "v"), -3);
  EXPECT_EQ(toInteger(json("+4"), "v"), 4);
  EXPECT_EQ(toInteger(json(3.9), "v"), 3);
  EXPECT_EQ(toInteger(json(-3.9), "v"), -3);
  EXPECT_EQ(toInteger(json(true), "v"), 1);
  EXPECT_EQ(toInteger(json(false), "v"), 0);
  EXPECT_EQ(toInteger(json("-9223372036854775808"), "v"), INT64_MIN);
  EXPECT_EQ(toInteger(json(4294967295u), "v"), 4294967295);
}

TEST(IntegerConversion, RejectsEverythingElseNamingTheValue) {
  for (const json& bad : {json("3.5"), json(""), json(" "), json("1 2"), json("-"), json("0x10"),
                          json("1_000"), json(nullptr), json::array({1}), json::object()}) {
    SCOPED_TRACE(bad.dump());
    EXPECT_THROW(toInteger(bad, "v"), std::invalid_argument);
  }
  EXPECT_THROW(toInteger(json("99999999999999999999"), "v"), std::out_of_range);
  EXPECT_THROW(toInteger(json("9223372036854775808"), "v"), std::out_of_range);
  EXPECT_THROW(toInteger(json(1e300), "v"), std::out_of_range);
  EXPECT_THROW(toInteger(json(18446744073709551615u), "v"), std::out_of_range);
  try {
    integerField(json{{"toid", "abc"}}, "toid");
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "value \"toid\": \"abc\" is not an integer");
  }
  try {
    integerField(json{{"msgtype", 1}}, "toid");
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "value map has no key \"toid\"");
  }
}

TEST(FloatConversion, TakesDecimalTextAndNumbers) {
  EXPECT_DOUBLE_EQ(toFloat(json(" 0.25 "), "v"), 0.25);
  EXPECT_DOUBLE_EQ(toFloat(json("1e-2"), "v"), 0.01);
  EXPECT_DOUBLE_EQ(toFloat(json(2), "v"), 2.0);
  EXPECT_DOUBLE_EQ(toFloat(json(true), "v"), 1.0);
  EXPECT_THROW(toFloat(json("0x1p3"), "v"), std::invalid_argument);
  EXPECT_THROW(toFloat(json("0.25x"), "v"), std::invalid_argument);
  EXPECT_THROW(toFloat(json(""), "v"), std::invalid_argument);
  EXPECT_THROW(toFloat(json(nullptr), "v"), std::invalid_argument);
}

TEST(CommandKey, NumberAfterTheLastColonOrTheWholeKey) {
  EXPECT_EQ(channelFromKey("tx:msg:12"), 12);
  EXPECT_EQ(channelFromKey("tx:5"), 5);
  EXPECT_EQ(channelFromKey("300"), 300);
  EXPECT_EQ(channelFromKey("tx: 7 "), 7);
  EXPECT_THROW(channelFromKey("tx:"), std::invalid_argument);
  EXPECT_THROW(channelFromKey("tx:5:abc"), std::invalid_argument);
}

TEST(HexText, TwoDigitsPerByteWithBlanksBetweenBytes) {
  EXPECT_EQ(hexToBytes("de AD\tbe ef", "t"), (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
  EXPECT_EQ(hexToBytes(" 0102 ", "t"), (Bytes{1, 2}));
  EXPECT_EQ(hexToBytes("", "t"), Bytes{});
  EXPECT_THROW(hexToBytes("abc", "t"), std::invalid_argument);
  EXPECT_THROW(hexToBytes("a b", "t"), std::invalid_argument);
  EXPECT_THROW(hexToBytes("zz", "t"), std::invalid_argument);
}

}  // namespace
}  // namespace vantro
