// What the publisher sends: topic, flags and JSON body.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/RecordingMqttClient.hpp"
#include "vantro/parser/SensorKinds.hpp"
#include "vantro/parser/SensorMsgParser.hpp"

using namespace vantro;
using vantro::test::RecordingMqttClient;

namespace {

RecordingMqttClient::Publication publishBody(const Bytes& body, std::uint32_t uid, std::int64_t ts,
                                             int rssi) {
  RecordingMqttClient client;
  SensorMsgParser p;
  const SpecificMsgParser* specific = p.getParser(body);
  EXPECT_NE(specific, nullptr);
  if (!specific) return {};
  specific->getPublisher(client)->publish(uid, ts, specific->parse(uid, body), rssi);
  EXPECT_EQ(client.publications.size(), 1U);
  return client.publications.empty() ? RecordingMqttClient::Publication{} : client.publications[0];
}

}  // namespace

TEST(Publish, ClimateGoesToItsRetainedTopicAsOneJsonObject) {
  const auto pub = publishBody({0x01, 0x08, 0x66, 0x11, 0xA8, 0x0B, 0xC2}, 258, 1700000000123, -70);
  EXPECT_EQ(pub.topic, "sensor/258/climate");
  EXPECT_EQ(pub.qos, 1);
  EXPECT_TRUE(pub.retain);
  EXPECT_EQ(
      pub.payload,
      R"({"ts":1700000000123,"rssi":-70,"temperature":21.5,"humidity":45.2,"battery_mv":3010})");
}

TEST(Publish, NegativeTemperatureAndLargeUid) {
  const auto pub = publishBody({0x03, 0xFD, 0xF3, 0x0C, 0x1C}, 4294967295U, 0, 0);
  EXPECT_EQ(pub.topic, "sensor/4294967295/water");
  const auto j = nlohmann::json::parse(pub.payload);
  EXPECT_DOUBLE_EQ(j.at("water_temperature").get<double>(), -5.25);
  EXPECT_EQ(j.at("battery_mv").get<int>(), 3100);
  EXPECT_TRUE(j.at("battery_mv").is_number_integer());
  EXPECT_EQ(j.at("ts").get<std::int64_t>(), 0);
}

TEST(Publish, EveryKindPublishesTsRssiAndExactlyItsFields) {
  for (const parser::SensorKind& kind : parser::sensorKinds()) {
    Bytes body(kind.bodySize(), 0x01);
    body[0] = kind.type;
    const auto pub = publishBody(body, 9, 5, -100);
    EXPECT_EQ(pub.topic, "sensor/9/" + std::string(kind.kind));
    const auto j = nlohmann::json::parse(pub.payload);
    ASSERT_TRUE(j.is_object());
    EXPECT_EQ(j.size(), kind.fields.size() + 2) << pub.payload;
    EXPECT_EQ(j.at("ts").get<int>(), 5);
    EXPECT_EQ(j.at("rssi").get<int>(), -100);
    for (const parser::FieldSpec& f : kind.fields) {
      const std::string name(f.name);
      ASSERT_TRUE(j.contains(name)) << name;
      EXPECT_DOUBLE_EQ(j.at(name).get<double>(), f.decimals ? 2.57 : 257.0) << name;
    }
  }
}

TEST(Publish, PublisherUsesTheClientItWasGiven) {
  RecordingMqttClient a, b;
  SensorMsgParser p;
  const Bytes body{0x04, 0x0E, 0x10};
  const SpecificMsgParser* specific = p.getParser(body);
  ASSERT_NE(specific, nullptr);
  const ParsedMsg msg = specific->parse(3, body);
  specific->getPublisher(b)->publish(3, 1, msg, -1);
  EXPECT_TRUE(a.publications.empty());
  ASSERT_EQ(b.publications.size(), 1U);
  EXPECT_EQ(b.publications[0].payload, R"({"ts":1,"rssi":-1,"battery_mv":3600})");
}
