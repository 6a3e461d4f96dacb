// The gateway's operations topics end to end: the health report against the
// traffic the simulated board sent, node availability over a short timeout
// and across a restart, and the Home Assistant discovery messages.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <thread>

#include "tests/e2e/MqttTools.hpp"
#include "tests/e2e/Rig.hpp"

using namespace std::chrono_literals;
using nlohmann::json;
using vantro::test::jsonOn;
using vantro::test::publishMessage;
using vantro::test::retainedMessages;
using vantro::test::Rig;

namespace {

std::string context(Rig& rig) {
  return "--- gateway ---\n" + rig.gateway().output() + "--- board ---\n" + rig.board().output();
}

int countLines(const vantro::test::Process& p, const std::string& part) {
  int n = 0;
  for (const auto& l : p.lines()) n += l.find(part) != std::string::npos ? 1 : 0;
  return n;
}

// The first report on `topic` that the subscriber got and `accept` takes.
std::optional<json> waitForReport(Rig& rig, const std::string& topic,
                                  const std::function<bool(const json&)>& accept,
                                  std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    for (const json& j : jsonOn(rig.subscriber().lines(), topic)) {
      if (j.is_object() && accept(j)) return j;
    }
    std::this_thread::sleep_for(100ms);
  }
  return std::nullopt;
}

// Retained messages under `filter` once there are `n` of them.
std::map<std::string, std::string> waitForRetained(Rig& rig, const std::string& filter,
                                                   std::size_t n) {
  std::map<std::string, std::string> got;
  for (int i = 0; i < 15 && got.size() < n; ++i)
    got = retainedMessages(rig.broker().port(), filter);
  return got;
}

void replaceBoard(Rig& rig, std::vector<std::string> args) {
  rig.board().signal(SIGTERM);
  ASSERT_TRUE(rig.board().wait(10s).has_value());
  std::filesystem::remove(rig.linkPath());
  rig.startBoard(std::move(args));
}

TEST(Health, ReportCountsTheTrafficSentAndTheReconnect) {
  Rig rig;
  rig.startSubscriber("#");
  // Garbage (4 bytes) after every 7th of the 60 records: 8 times.
  rig.startBoard({"--protocol", "1", "--uid", "4242", "--fw-revision", "9", "--nodes", "3",
                  "--only-sd", "--rate", "200", "--count", "60", "--garbage-every", "7"});
  rig.startGateway({"--health-interval", "1", "--no-ha-discovery"});
  ASSERT_GE(rig.board().waitForLine("TRAFFIC DONE 60", 30s), 0) << context(rig);
  const auto report = waitForReport(
      rig, "gw/4242/health",
      [](const json& j) { return j["readings_published"] == 60 && j["outbox_depth"] == 0; }, 15s);
  ASSERT_TRUE(report) << context(rig);
  const json& r = *report;
  EXPECT_TRUE(r["version"].is_string());
  EXPECT_GE(r["uptime_s"].get<int>(), 0);
  EXPECT_EQ(r["firmware_revision"], 9);
  EXPECT_EQ(r["protocol_version"], 1);
  EXPECT_GE(r["records_read"].get<int>(), 60);
  EXPECT_EQ(r["readings_unparsed"], 0);
  EXPECT_EQ(r["garbage_bytes"], 32) << context(rig);
  EXPECT_EQ(r["decrypt_failures"], 0);
  EXPECT_EQ(r["serial_reopens"], 0);
  EXPECT_EQ(r["broker_reconnects"], 0);
  EXPECT_EQ(r["commands_executed"], 0);
  EXPECT_EQ(r["commands_refused"], 0);
  EXPECT_EQ(r["outbox_oldest_age_s"], 0);
  EXPECT_GT(r["last_record_ms"].get<std::int64_t>(), 0);
  EXPECT_LE(r["last_record_ms"].get<std::int64_t>(), r["ts"].get<std::int64_t>());
  EXPECT_TRUE(rig.received("homeassistant/").empty()) << "discovery is off";

  // The report is retained, and the next connection is counted.
  rig.broker().stop();
  rig.broker().start();
  json latest = json::object();
  for (int i = 0; i < 20 && latest.value("broker_reconnects", 0) != 1; ++i) {
    const auto retained = retainedMessages(rig.broker().port(), "gw/4242/health");
    if (retained.count("gw/4242/health")) latest = json::parse(retained.at("gw/4242/health"));
  }
  EXPECT_EQ(latest.value("broker_reconnects", 0), 1) << latest.dump() << "\n" << context(rig);
  EXPECT_EQ(latest.value("readings_published", 0), 60);
  rig.gateway().signal(SIGTERM);
  EXPECT_EQ(rig.gateway().wait(15s), 0) << context(rig);
}

TEST(Health, DecryptFailuresCountedAndDuplicatesNotPublished) {
  Rig rig;
  rig.startSubscriber("gw/#");
  rig.startBoard({"--protocol", "1", "--uid", "77", "--rate", "200", "--count", "80", "--mix",
                  "sd=10,si=2,sx=3,lg=1"});
  rig.startGateway({"--health-interval", "1"});
  ASSERT_GE(rig.board().waitForLine("TRAFFIC DONE 80", 30s), 0) << context(rig);
  const auto report = waitForReport(
      rig, "gw/77/health", [](const json& j) { return j["readings_published"] == 80; }, 15s);
  ASSERT_TRUE(report) << context(rig);
  const int failures = countLines(rig.gateway(), "Decrypt Failed");
  EXPECT_GT(failures, 0);
  EXPECT_EQ((*report)["decrypt_failures"], failures);
  EXPECT_GT(countLines(rig.gateway(), "Duplicate msg"), 0);
  EXPECT_EQ((*report)["readings_unparsed"], 0);
  rig.gateway().signal(SIGTERM);
  EXPECT_EQ(rig.gateway().wait(15s), 0) << context(rig);
}

TEST(NodeAvailability, OfflineAfterTheTimeoutAndOnlineAtTheNextReading) {
  Rig rig;
  rig.startSubscriber("sensor/1000/availability");
  // One reading every 4 s against a timeout of 2 s.
  rig.startBoard({"--protocol", "1", "--nodes", "1", "--only-sd", "--rate", "0.25"});
  rig.startGateway({"--node-timeout", "2"});
  auto& sub = rig.subscriber();
  const int online = sub.waitForLine("sensor/1000/availability online", 20s);
  ASSERT_GE(online, 0) << context(rig);
  const int offline = sub.waitForLine("sensor/1000/availability offline", 10s, online + 1);
  ASSERT_GE(offline, 0) << context(rig);
  EXPECT_GE(sub.waitForLine("sensor/1000/availability online", 10s, offline + 1), 0)
      << context(rig);
  EXPECT_GE(rig.gateway().waitForLine("Node 1000 offline: nothing heard for 2 s", 1s), 0);
  rig.gateway().signal(SIGTERM);
  EXPECT_EQ(rig.gateway().wait(15s), 0) << context(rig);
}

TEST(NodeAvailability, SilentNodeGoesOfflineAfterARestartAndStaysAnnounced) {
  Rig rig;
  rig.startBoard({"--protocol", "1", "--nodes", "1", "--only-sd", "--count", "2", "--rate", "20",
                  "--battery-every", "2"});
  rig.startGateway({"--node-timeout", "6"});
  ASSERT_GE(rig.board().waitForLine("TRAFFIC DONE 2", 20s), 0) << context(rig);
  ASSERT_GE(rig.gateway().waitForPart("Node 1000 online", 10s), 0) << context(rig);
  ASSERT_EQ(waitForRetained(rig, "homeassistant/#", 5).size(), 5u) << context(rig);
  rig.gateway().signal(SIGTERM);
  ASSERT_EQ(rig.gateway().wait(15s), 0) << context(rig);

  // Written at the stop.
  std::ifstream in(rig.statusDir() + "/nodes.json");
  const json nodes = json::parse(in, nullptr, false);
  ASSERT_TRUE(nodes.is_object()) << context(rig);
  EXPECT_EQ(nodes["nodes"][0]["uid"], 1000);
  EXPECT_EQ(nodes["nodes"][0]["availability"], "online");
  EXPECT_EQ(nodes["nodes"][0]["kinds"], json::parse(R"(["climate","battery"])"));

  // Home Assistant's configurations gone: the restarted gateway has to know
  // the node's kinds from its file to announce them again.
  for (const auto& [topic, payload] : retainedMessages(rig.broker().port(), "homeassistant/#")) {
    publishMessage(rig.broker().port(), topic, "", true);
  }
  ASSERT_TRUE(retainedMessages(rig.broker().port(), "homeassistant/#").empty());

  // A board whose node stays silent.
  replaceBoard(rig, {"--protocol", "1", "--nodes", "1", "--mix", "lg=1", "--rate", "2"});
  rig.startSubscriber("sensor/1000/availability");
  rig.startGateway({"--node-timeout", "6"});
  EXPECT_GE(rig.subscriber().waitForLine("sensor/1000/availability offline", 20s), 0)
      << context(rig);
  EXPECT_EQ(countLines(rig.gateway(), "Node 1000 online"), 0);
  const auto announced = waitForRetained(rig, "homeassistant/#", 5);
  EXPECT_EQ(announced.size(), 5u) << context(rig);
  EXPECT_TRUE(announced.count("homeassistant/sensor/vantro_1000_battery_mv/config"));
  rig.gateway().signal(SIGTERM);
  EXPECT_EQ(rig.gateway().wait(15s), 0) << context(rig);
}

TEST(HomeAssistant, NodeWithTwoKindsIsAnnouncedAndAnnouncedAgainWhenHomeAssistantComesOnline) {
  Rig rig;
  // Node 1000 sends climate, then battery messages.
  rig.startBoard({"--protocol", "1", "--uid", "4242", "--fw-revision", "9", "--nodes", "1",
                  "--only-sd", "--count", "4", "--rate", "20", "--battery-every", "2"});
  rig.startGateway();
  ASSERT_GE(rig.board().waitForLine("TRAFFIC DONE 4", 20s), 0) << context(rig);
  const auto retained = waitForRetained(rig, "homeassistant/#", 5);
  const std::string sensor = "homeassistant/sensor/vantro_1000_";
  const std::set<std::string> expected{sensor + "temperature/config", sensor + "humidity/config",
                                       sensor + "battery_mv/config", sensor + "rssi/config",
                                       "homeassistant/binary_sensor/vantro_gw_4242/config"};
  std::set<std::string> topics;
  for (const auto& [topic, payload] : retained) topics.insert(topic);
  ASSERT_EQ(topics, expected) << context(rig);

  const std::map<std::string, std::vector<std::string>> looks{
      {"temperature", {"temperature", "°C"}},
      {"humidity", {"humidity", "%"}},
      {"battery_mv", {"voltage", "mV"}},
      {"rssi", {"signal_strength", "dBm"}}};
  for (const auto& [field, look] : looks) {
    const json j = json::parse(retained.at(sensor + field + "/config"));
    SCOPED_TRACE(field);
    EXPECT_EQ(j["unique_id"], "vantro_1000_" + field);
    EXPECT_EQ(j["state_topic"], "sensor/1000/climate");
    EXPECT_EQ(j["value_template"], "{{ value_json." + field + " }}");
    EXPECT_EQ(j["device_class"], look[0]);
    EXPECT_EQ(j["unit_of_measurement"], look[1]);
    EXPECT_EQ(j["state_class"], "measurement");
    EXPECT_EQ(j.value("entity_category", ""), field == "rssi" ? "diagnostic" : "");
    EXPECT_EQ(j["availability"], json::parse(R"([{"topic":"gw/4242/status"},
                                                  {"topic":"sensor/1000/availability"}])"));
    EXPECT_EQ(j["availability_mode"], "all");
    EXPECT_FALSE(j.contains("expire_after"));
    EXPECT_EQ(j["device"], json::parse(R"({"identifiers":["vantro_1000"],"name":"Node 1000",
        "model":"climate, battery","via_device":"vantro_gw_4242"})"));
  }
  const json gw = json::parse(retained.at("homeassistant/binary_sensor/vantro_gw_4242/config"));
  EXPECT_EQ(gw["state_topic"], "gw/4242/status");
  EXPECT_EQ(gw["payload_on"], "online");
  EXPECT_EQ(gw["payload_off"], "offline");
  EXPECT_EQ(gw["device_class"], "connectivity");
  EXPECT_EQ(gw["device"]["identifiers"], json::parse(R"(["vantro_gw_4242"])"));
  EXPECT_EQ(gw["device"]["sw_version"], "9");

  // Home Assistant restarts: everything comes again.
  rig.startSubscriber("homeassistant/+/+/config");
  ASSERT_GE(rig.subscriber().waitForPart("vantro_gw_4242/config", 5s), 0);
  std::this_thread::sleep_for(300ms);
  const auto before = rig.received("homeassistant/").size();
  EXPECT_EQ(before, 5u);
  publishMessage(rig.broker().port(), "homeassistant/status", "online");
  ASSERT_GE(rig.gateway().waitForLine(
                "Home Assistant is online: announcing the gateway and 1 nodes", 10s),
            0)
      << context(rig);
  std::set<std::string> again;
  for (int i = 0; i < 50 && again.size() < expected.size(); ++i) {
    const auto lines = rig.received("homeassistant/");
    for (std::size_t k = before; k < lines.size(); ++k)
      again.insert(lines[k].substr(0, lines[k].find(' ')));
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(again, expected) << context(rig);
  rig.gateway().signal(SIGTERM);
  EXPECT_EQ(rig.gateway().wait(15s), 0) << context(rig);
}

}  // namespace
