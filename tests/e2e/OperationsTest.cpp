// Operating gateways over MQTT end to end: the availability topic and its
// will, TLS to the broker, and several gateways on one broker, each taking
// only its own commands.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "tests/e2e/Rig.hpp"
#include "tests/support/TestCa.hpp"

using namespace std::chrono_literals;
using vantro::test::Broker;
using vantro::test::Rig;
using vantro::test::TestCa;

namespace {

std::string context(Rig& rig) {
  return "--- gateway ---\n" + rig.gateway().output() + "--- board ---\n" + rig.board().output();
}

void stop(Rig& rig) {
  rig.gateway().signal(SIGTERM);
  EXPECT_EQ(rig.gateway().wait(15s), 0) << context(rig);
}

int countParts(vantro::test::Process& p, const std::string& part) {
  int n = 0;
  for (const auto& l : p.lines()) n += l.find(part) != std::string::npos ? 1 : 0;
  return n;
}

TEST(Availability, OnlineAtEveryConnectOfflineBeforeAStopAndAsTheWillOfAKilledGateway) {
  Rig rig;
  rig.startSubscriber("gw/+/status");
  rig.startBoard({"--protocol", "1", "--uid", "4242"});
  rig.startGateway();
  ASSERT_GE(rig.subscriber().waitForLine("gw/4242/status online", 15s), 0) << context(rig);

  // A broker that lost everything (killed, nothing saved) hears "online" again
  // after the reconnect, kept for later subscribers.
  const int connected = rig.gateway().waitForPart("Connected to MQTT broker.", 0ms);
  rig.broker().kill();
  rig.broker().start();
  ASSERT_GE(rig.gateway().waitForPart("Connected to MQTT broker.", 10s, connected + 1), 0)
      << context(rig);
  rig.startSubscriber("gw/+/status");
  ASSERT_GE(rig.subscriber().waitForLine("gw/4242/status online", 10s), 0) << context(rig);

  const int before = static_cast<int>(rig.subscriber().lines().size());
  stop(rig);
  EXPECT_GE(rig.subscriber().waitForLine("gw/4242/status offline", 5s, before), 0);

  // Killed: the broker publishes the will.
  rig.startBoard({"--protocol", "1", "--uid", "4242"});
  rig.startGateway();
  const int online = rig.subscriber().waitForLine("gw/4242/status online", 15s, before);
  ASSERT_GE(online, 0) << context(rig);
  rig.gateway().signal(SIGKILL);
  ASSERT_TRUE(rig.gateway().wait(5s).has_value());
  EXPECT_GE(rig.subscriber().waitForLine("gw/4242/status offline", 5s, online), 0);
}

TEST(Tls, ServerAndClientCertificatesWorkAndARefusedHandshakeIsPrintedAndRetried) {
  TestCa ca;
  TestCa otherCa("Other CA");
  const auto server = ca.issue("broker", {"DNS:localhost", "IP:127.0.0.1"});
  const auto client = ca.issue("gateway", {});
  Rig rig({.tls = Broker::TlsListener{ca.certFile(), server.certFile, server.keyFile}});
  rig.startSubscriber("sensor/#");

  rig.startBoard({"--protocol", "1"});
  rig.startGateway({"--tls", "--ca-file", otherCa.certFile()});
  const std::string failed = "MQTT connect to 127.0.0.1:" + std::to_string(rig.broker().tlsPort()) +
                             " failed: TLS handshake failed: certificate verify failed: ";
  ASSERT_GE(rig.gateway().waitForPart(failed, 10s), 0) << context(rig);
  // One line per attempt.
  ASSERT_GE(rig.gateway().waitForPart("; next attempt in 2 s", 5s), 0) << context(rig);
  EXPECT_EQ(countParts(rig.gateway(), "; next attempt in 1 s"), 1) << context(rig);
  stop(rig);

  rig.startBoard({"--protocol", "1"});
  rig.startGateway({"--tls", "--ca-file", ca.certFile()});
  ASSERT_GE(rig.gateway().waitForPart("Connected to MQTT broker.", 15s), 0) << context(rig);
  ASSERT_GE(rig.subscriber().waitForPart("sensor/", 10s), 0) << context(rig);
  stop(rig);

  // A broker that wants a client certificate, and a key the gateway cannot read.
  Rig strict({.tls = Broker::TlsListener{ca.certFile(), server.certFile, server.keyFile, true}});
  strict.startBoard({"--protocol", "1"});
  const std::string hidden = strict.dir().str() + "/hidden.key";
  std::filesystem::copy_file(client.keyFile, hidden);
  ::chmod(hidden.c_str(), ::geteuid() == 0 ? 0600 : 0);
  strict.startGateway(
      {"--tls", "--ca-file", ca.certFile(), "--cert-file", client.certFile, "--key-file", hidden});
  EXPECT_EQ(strict.gateway().wait(10s), 1) << context(strict);
  EXPECT_GE(strict.gateway().waitForLine(
                "Start-up failed: cannot read TLS key file " + hidden + ": Permission denied", 1s),
            0)
      << context(strict);
  EXPECT_EQ(strict.boardRx(), "") << "the board was touched";

  strict.startGateway({"--tls", "--ca-file", ca.certFile(), "--cert-file", client.certFile,
                       "--key-file", client.keyFile});
  ASSERT_GE(strict.gateway().waitForPart("Connected to MQTT broker.", 15s), 0) << context(strict);
  stop(strict);
}

TEST(SeveralGateways, EachTakesOnlyTheCommandsUnderItsOwnUid) {
  Rig a;
  Rig b(a);
  a.startSubscriber("gw/+/status");
  a.startBoard({"--protocol", "1", "--uid", "1111"});
  b.startBoard({"--protocol", "1", "--uid", "2222"});
  a.startGateway({"--command-scope", "own", "--client-id", "gw-a"});
  b.startGateway({"--command-scope", "own", "--client-id", "gw-b"});
  ASSERT_GE(a.gateway().waitForLine("Subscribing to gw/1111/tx/#", 15s), 0) << context(a);
  ASSERT_GE(b.gateway().waitForLine("Subscribing to gw/2222/tx/#", 15s), 0) << context(b);
  ASSERT_GE(a.subscriber().waitForLine("gw/1111/status online", 5s), 0) << context(a);
  ASSERT_GE(a.subscriber().waitForLine("gw/2222/status online", 5s), 0) << context(b);

  a.publish("gw/1111/tx/msg/12", R"({"msgtype": 11, "outputLevel": 300, "toid": 7})");
  a.publish("gw/2222/tx/msg/13", R"({"msgtype": 11, "outputLevel": 300, "toid": 9})");
  a.publish("tx/msg/14", R"({"msgtype": 11, "outputLevel": 300, "toid": 5})");
  a.publish("gw/2222/tx/msg/twelve", "{}");
  ASSERT_GE(a.gateway().waitForLine("Sent message to node with ID 7 of length 8", 5s), 0)
      << context(a);
  ASSERT_GE(b.gateway().waitForLine("Sent message to node with ID 9 of length 8", 5s), 0)
      << context(b);
  // Printed lines name the topic as published.
  EXPECT_GE(b.gateway().waitForPart("Rejected command on gw/2222/tx/msg/twelve: channel", 5s), 0);
  for (Rig* rig : {&a, &b}) {
    EXPECT_EQ(countParts(rig->gateway(), "Sent message to node"), 1) << context(*rig);
    EXPECT_EQ(countParts(rig->gateway(), "Disconnected from MQTT broker"), 0) << context(*rig);
    stop(*rig);
  }
}

}  // namespace
