// Recognising and decoding node message bodies.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

#include "vantro/parser/SensorKinds.hpp"
#include "vantro/parser/SensorMsgParser.hpp"

using namespace vantro;

namespace {

ParsedMsg parseBody(const Bytes& body, std::uint32_t uid = 258) {
  SensorMsgParser p;
  const SpecificMsgParser* specific = p.getParser(body);
  if (!specific) throw std::runtime_error("no parser");
  return specific->parse(uid, body);
}

std::string line(const Bytes& body) {
  return SensorMsgParser().toString(parseBody(body));
}

}  // namespace

TEST(GetParser, AcceptsEachKindOnlyAtItsLength) {
  SensorMsgParser p;
  const std::pair<Byte, std::size_t> kinds[] = {{0x01, 7}, {0x02, 5}, {0x03, 5}, {0x04, 3}};
  for (auto [type, length] : kinds) {
    Bytes body(length, 0);
    body[0] = type;
    EXPECT_NE(p.getParser(body), nullptr) << int(type);
    body.push_back(0);
    EXPECT_EQ(p.getParser(body), nullptr) << int(type) << " one byte too long";
    body.resize(length - 1);
    EXPECT_EQ(p.getParser(body), nullptr) << int(type) << " one byte short";
  }
}

TEST(GetParser, RefusesEmptyAndUnknownBodies) {
  SensorMsgParser p;
  EXPECT_EQ(p.getParser(Bytes{}), nullptr);
  for (int type : {0x00, 0x05, 0x7F, 0xFF}) {
    for (std::size_t length : {1U, 3U, 5U, 7U}) {
      Bytes body(length, 0);
      body[0] = static_cast<Byte>(type);
      EXPECT_EQ(p.getParser(body), nullptr) << type << "/" << length;
    }
  }
}

TEST(GetParser, RandomBodiesNeverCrashAndMatchTheTable) {
  SensorMsgParser p;
  std::mt19937 rng(7);
  for (int i = 0; i < 5000; ++i) {
    Bytes body(rng() % 10);
    for (auto& b : body) b = static_cast<Byte>(rng() % 8);  // mostly known types
    const SpecificMsgParser* specific = p.getParser(body);
    bool expected = false;
    for (const auto& kind : parser::sensorKinds()) {
      expected =
          expected || (!body.empty() && body[0] == kind.type && body.size() == kind.bodySize());
    }
    ASSERT_EQ(specific != nullptr, expected);
    if (specific) {
      EXPECT_NO_THROW(p.toString(specific->parse(1, body)));
    }
  }
}

TEST(Parse, ClimateFieldsAndLine) {
  const ParsedMsg m = parseBody({0x01, 0x08, 0x66, 0x11, 0xA8, 0x0B, 0xC2}, 77);
  EXPECT_EQ(m.kind, "climate");
  EXPECT_EQ(m.senderUID, 77U);
  ASSERT_EQ(m.fields.size(), 3U);
  EXPECT_EQ(m.fields[0].name, "temperature");
  EXPECT_DOUBLE_EQ(m.fields[0].value, 21.5);
  EXPECT_EQ(m.fields[1].name, "humidity");
  EXPECT_DOUBLE_EQ(m.fields[1].value, 45.2);
  EXPECT_EQ(m.fields[2].name, "battery_mv");
  EXPECT_DOUBLE_EQ(m.fields[2].value, 3010);
  EXPECT_EQ(SensorMsgParser().toString(m),
            "climate temperature=21.50 humidity=45.20 battery_mv=3010");
}

TEST(Parse, TemperaturesAreSignedAndOtherFieldsAreNot) {
  // -5.25 °C is 0xFDF3 as int16; 0xFFFF humidity is 655.35 %, not -0.01.
  EXPECT_EQ(line({0x01, 0xFD, 0xF3, 0xFF, 0xFF, 0xFF, 0xFF}),
            "climate temperature=-5.25 humidity=655.35 battery_mv=65535");
  EXPECT_EQ(line({0x01, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00}),
            "climate temperature=-327.68 humidity=0.00 battery_mv=0");
  EXPECT_EQ(line({0x03, 0xFF, 0xFB, 0x0C, 0x1C}), "water water_temperature=-0.05 battery_mv=3100");
  EXPECT_EQ(line({0x03, 0x7F, 0xFF, 0x00, 0x01}), "water water_temperature=327.67 battery_mv=1");
}

TEST(Parse, DistanceAndBattery) {
  EXPECT_EQ(line({0x02, 0xFF, 0xFE, 0x0B, 0xB8}), "distance distance_mm=65534 battery_mv=3000");
  EXPECT_EQ(line({0x04, 0x0E, 0x10}), "battery battery_mv=3600");
}

TEST(Parse, RefusesABodyItWasNotMadeFor) {
  SensorMsgParser p;
  const SpecificMsgParser* climate = p.getParser(Bytes{0x01, 0, 0, 0, 0, 0, 0});
  ASSERT_NE(climate, nullptr);
  EXPECT_THROW(climate->parse(1, Bytes{0x04, 0, 0}), std::invalid_argument);
  EXPECT_THROW(climate->parse(1, Bytes{0x01, 0, 0}), std::invalid_argument);
  EXPECT_THROW(climate->parse(1, Bytes{}), std::invalid_argument);
}
