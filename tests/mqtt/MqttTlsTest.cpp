// The MQTT client's connection set-up against a real broker: TLS with
// certificates made for the test (the name checked, the reasons of refused
// handshakes, client certificates, the files checked when loaded) and the will.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/mqtt/MqttTestUtil.hpp"
#include "tests/support/Broker.hpp"
#include "tests/support/TestCa.hpp"
#include "vantro/mqtt/MqttClient.hpp"
#include "vantro/mqtt/TlsCredentials.hpp"
#include "vantro/runtime/EventLoop.hpp"

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using vantro::Awaitable;
using vantro::EventLoop;
using vantro::MqttClient;
using vantro::TlsCredentials;
using vantro::test::Broker;
using vantro::test::TestCa;

namespace {

// What connecting `client` to `port` throws; "" when it connects.
std::string connectError(EventLoop& loop, MqttClient& client, const std::string& host, int port) {
  try {
    loop.runUntilComplete(client.connect(host, port, 60));
  } catch (const std::exception& e) {
    return e.what();
  }
  loop.runUntilComplete(client.disconnect());
  return "";
}

std::string loadError(const vantro::TlsSettings& settings) {
  try {
    TlsCredentials::load(settings);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

Broker tlsBroker(const TestCa& ca, const TestCa::Issued& server, bool requireCertificate = false) {
  return Broker({.tls = Broker::TlsListener{ca.certFile(), server.certFile, server.keyFile,
                                            requireCertificate}});
}

TEST(MqttTls, CertificateMustNameTheConfiguredHostNotTheAddressConnectedTo) {
  TestCa ca;
  const Broker broker = tlsBroker(ca, ca.issue("localhost", {"DNS:localhost"}));
  const auto trusted = TlsCredentials::load({.caFile = ca.certFile()});
  EventLoop loop;
  MqttClient client(loop, "tls-name", true, 0);
  client.setTls(trusted);
  // "localhost" is looked up and its addresses connected to: the certificate
  // names the host, not the addresses.
  EXPECT_EQ(connectError(loop, client, "localhost", broker.tlsPort()), "");
  EXPECT_THAT(connectError(loop, client, "127.0.0.1", broker.tlsPort()),
              HasSubstr("TLS handshake failed: certificate verify failed: IP address mismatch (the "
                        "broker's certificate is not made out to 127.0.0.1)"));

  MqttClient insecure(loop, "tls-insecure", true, 0);
  insecure.setTls(TlsCredentials::load({.caFile = ca.certFile(), .insecure = true}));
  EXPECT_EQ(connectError(loop, insecure, "127.0.0.1", broker.tlsPort()), "");
}

// A wrong CA, a required client certificate and the retries are end to end
// (Tls.*); here the other reasons.
TEST(MqttTls, RefusedHandshakesNameTheReason) {
  TestCa ca;
  const Broker outdated = tlsBroker(ca, ca.issue("expired", {"IP:127.0.0.1"}, 0));
  const Broker strict = tlsBroker(ca, ca.issue("server", {"IP:127.0.0.1"}), true);
  std::this_thread::sleep_for(1100ms);  // the expired certificate's last second has passed
  EventLoop loop;
  MqttClient client(loop, "no-cert", true, 0);
  client.setTls(TlsCredentials::load({.caFile = ca.certFile()}));
  EXPECT_THAT(connectError(loop, client, "127.0.0.1", outdated.tlsPort()),
              HasSubstr("certificate verify failed: certificate has expired (/CN=expired)"));
  // The broker's alert or, when the write of CONNECT fails first, the hint.
  EXPECT_THAT(connectError(loop, client, "127.0.0.1", strict.tlsPort()),
              ::testing::AnyOf(HasSubstr("certificate required"),
                               HasSubstr("does it want a client certificate")));
}

TEST(TlsCredentials, FilesAreCheckedWhenLoaded) {
  TestCa ca;
  const auto one = ca.issue("one", {});
  const auto two = ca.issue("two", {});
  const std::string missing = ca.dir() + "/missing.pem";
  EXPECT_EQ(loadError({.caFile = missing}),
            "cannot read TLS CA file " + missing + ": No such file or directory");
  EXPECT_EQ(loadError({.caFile = one.keyFile}),
            "TLS CA file " + one.keyFile + ": holds no PEM certificate");
  EXPECT_EQ(
      loadError({.caFile = ca.certFile(), .certFile = one.certFile, .keyFile = two.keyFile}),
      "TLS key file " + two.keyFile + " does not belong to the certificate in " + one.certFile);
}

// A stop with publications still unacknowledged (the broker does not read)
// asks the broker to publish the will.
TEST(MqttWill, StandsInForALastWordThatMayNotHaveGotThrough) {
  Broker broker;
  EventLoop loop;
  MqttClient watcher(loop, "watcher", true, 0);
  vantro::test::Inbox inbox;
  inbox.attach(watcher, "status/#");
  MqttClient cut(loop, "cut", true, 0);
  cut.setWill("status/cut", "offline", 1, false);
  EXPECT_THROW(cut.setWill("status/#", "offline", 1, false), std::invalid_argument);
  loop.runUntilComplete([&]() -> Awaitable<void> {
    co_await watcher.connect(broker.host(), broker.port(), 60);
    co_await cut.connect(broker.host(), broker.port(), 60);
    co_await vantro::test::waitSubscribed(cut, inbox, "status/probe");
    broker.pause();
    cut.publish("status/cut", std::string_view("bye"), 1, false);
    co_await cut.disconnect(MqttClient::WillAtDisconnect::PublishIfUndelivered);
    broker.resume();
    EXPECT_TRUE(
        co_await vantro::test::eventually([&] { return inbox.on("status/cut").size() >= 2; }));
    co_await watcher.disconnect();
  }());
  ASSERT_EQ(inbox.on("status/cut").size(), 2u);
  EXPECT_EQ(inbox.on("status/cut")[1].payload, "offline");
}

}  // namespace
