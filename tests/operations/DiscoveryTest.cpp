// Home Assistant discovery messages: which entities a node gets, and the keys
// Home Assistant reads from them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "vantro/operations/Discovery.hpp"

namespace vantro {
namespace {

using nlohmann::json;

const DiscoveryContext kContext{"ha", "4242", true};

json payloadOf(const std::vector<DiscoveryMessage>& messages, const std::string& topic) {
  for (const DiscoveryMessage& m : messages) {
    if (m.topic == topic) return json::parse(m.payload);
  }
  ADD_FAILURE() << "no message on " << topic;
  return json::object();
}

TEST(Discovery, NodeWithTwoKindsGetsOneEntityPerFieldFedByTheFirstKindThatCarriesIt) {
  const auto messages = nodeDiscovery(kContext, 1000, {"climate", "battery"});
  std::vector<std::string> topics;
  for (const DiscoveryMessage& m : messages) topics.push_back(m.topic);
  EXPECT_EQ(topics,
            (std::vector<std::string>{
                "ha/sensor/vantro_1000_temperature/config", "ha/sensor/vantro_1000_humidity/config",
                "ha/sensor/vantro_1000_battery_mv/config", "ha/sensor/vantro_1000_rssi/config"}));

  const json t = payloadOf(messages, "ha/sensor/vantro_1000_temperature/config");
  EXPECT_EQ(t["unique_id"], "vantro_1000_temperature");
  EXPECT_EQ(t["state_topic"], "sensor/1000/climate");
  EXPECT_EQ(t["value_template"], "{{ value_json.temperature }}");
  EXPECT_EQ(t["unit_of_measurement"], "°C");
  EXPECT_EQ(t["device_class"], "temperature");
  EXPECT_EQ(t["state_class"], "measurement");
  EXPECT_FALSE(t.contains("entity_category"));
  EXPECT_FALSE(t.contains("expire_after"));
  EXPECT_EQ(t["availability_mode"], "all");
  EXPECT_EQ(t["availability"], json::parse(R"([{"topic":"gw/4242/status"},
                                                {"topic":"sensor/1000/availability"}])"));
  EXPECT_EQ(t["device"], json::parse(R"({"identifiers":["vantro_1000"],"name":"Node 1000",
      "model":"climate, battery","via_device":"vantro_gw_4242"})"));

  const json b = payloadOf(messages, "ha/sensor/vantro_1000_battery_mv/config");
  EXPECT_EQ(b["state_topic"], "sensor/1000/climate");
  EXPECT_EQ(b["device_class"], "voltage");
  EXPECT_EQ(b["unit_of_measurement"], "mV");
  const json r = payloadOf(messages, "ha/sensor/vantro_1000_rssi/config");
  EXPECT_EQ(r["device_class"], "signal_strength");
  EXPECT_EQ(r["unit_of_measurement"], "dBm");
  EXPECT_EQ(r["entity_category"], "diagnostic");
  EXPECT_EQ(r["value_template"], "{{ value_json.rssi }}");
  // Every entity carries the same device, so that Home Assistant keeps one.
  for (const DiscoveryMessage& m : messages)
    EXPECT_EQ(json::parse(m.payload)["device"], t["device"]);
}

TEST(Discovery, KindOrderAvailabilityAndUnknownKinds) {
  // Battery seen first: it feeds the battery voltage and the signal strength.
  const auto batteryFirst = nodeDiscovery(kContext, 7, {"battery", "distance"});
  EXPECT_EQ(payloadOf(batteryFirst, "ha/sensor/vantro_7_battery_mv/config")["state_topic"],
            "sensor/7/battery");
  EXPECT_EQ(payloadOf(batteryFirst, "ha/sensor/vantro_7_rssi/config")["state_topic"],
            "sensor/7/battery");
  const json d = payloadOf(batteryFirst, "ha/sensor/vantro_7_distance_mm/config");
  EXPECT_EQ(d["state_topic"], "sensor/7/distance");
  EXPECT_EQ(d["device_class"], "distance");
  EXPECT_EQ(d["unit_of_measurement"], "mm");

  // Without a node timeout only the gateway's status says whether it is there.
  const auto noTimeout = nodeDiscovery({"ha", "4242", false}, 7, {"water"});
  EXPECT_EQ(payloadOf(noTimeout, "ha/sensor/vantro_7_water_temperature/config")["availability"],
            json::parse(R"([{"topic":"gw/4242/status"}])"));

  // A kind from another build's file is left out; nothing known, nothing sent.
  EXPECT_EQ(nodeDiscovery(kContext, 7, {"rain", "water"}).size(), 3u);
  EXPECT_TRUE(nodeDiscovery(kContext, 7, {"rain"}).empty());
}

TEST(Discovery, GatewayIsAConnectivitySensorOnItsStatus) {
  const DiscoveryMessage m = gatewayDiscovery(kContext, 7);
  EXPECT_EQ(m.topic, "ha/binary_sensor/vantro_gw_4242/config");
  const json j = json::parse(m.payload);
  EXPECT_EQ(j["state_topic"], "gw/4242/status");
  EXPECT_EQ(j["payload_on"], "online");
  EXPECT_EQ(j["payload_off"], "offline");
  EXPECT_EQ(j["device_class"], "connectivity");
  EXPECT_EQ(j["device"]["identifiers"], json::parse(R"(["vantro_gw_4242"])"));
  EXPECT_EQ(j["device"]["sw_version"], "7");
  EXPECT_FALSE(j.contains("availability"));
}

}  // namespace
}  // namespace vantro
