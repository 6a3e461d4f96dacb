// The MQTT client across a lost or missing broker: reconnection, connecting in
// the background, publications kept while the broker is away and their limit,
// and shutdown after every task has been cancelled or during an attempt.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <set>

#include <fmt/format.h>

#include "tests/mqtt/MqttTestUtil.hpp"
#include "tests/support/Broker.hpp"
#include "tests/support/PrintCapture.hpp"
#include "tests/support/SilentListener.hpp"
#include "vantro/mqtt/MqttClient.hpp"
#include "vantro/runtime/EventLoop.hpp"

using namespace std::chrono_literals;
using vantro::Awaitable;
using vantro::Duration;
using vantro::EventLoop;
using vantro::MqttClient;
using vantro::test::Broker;
using vantro::test::eventually;
using vantro::test::Inbox;
using vantro::test::PrintCapture;

namespace {

constexpr std::uint32_t kExpiry = 3600;

TEST(MqttOutage, BrokerRestartInTheMiddleOfAQos1StreamLosesNothing) {
  // Room for everything queued for the subscriber while it is away.
  Broker broker({.extraConfig = {"max_queued_messages 100000"}});
  EventLoop loop;
  MqttClient sub(loop, "durable-sub", false, kExpiry);
  MqttClient pub(loop, "pub", false, kExpiry);
  Inbox inbox;
  inbox.attach(sub, "t/#");
  int pubConnects = 0, pubDisconnects = 0;
  std::vector<std::string> order;
  std::exception_ptr lostBecause;
  pub.on_connect = [&](MqttClient&, int, int, const std::string&) {
    ++pubConnects;
    order.push_back("connect");
  };
  pub.on_disconnect = [&](MqttClient&, int, std::exception_ptr exc) {
    ++pubDisconnects;
    order.push_back("disconnect");
    if (!lostBecause) lostBecause = exc;
  };
  constexpr int kCount = 600;
  std::size_t pendingWhileDown = 0;

  auto body = [&]() -> Awaitable<void> {
    co_await sub.connect(broker.host(), broker.port(), 60);
    co_await pub.connect(broker.host(), broker.port(), 60);
    co_await vantro::test::waitSubscribed(pub, inbox, "t/probe");
    for (int i = 0; i < kCount; ++i) {
      pub.publish("t/reading", static_cast<long long>(i), 1, false);
      if (i == kCount / 3) {
        broker.stop();  // SIGTERM: the broker saves the subscriber's session
        co_await vantro::sleep(100ms);
      }
      if (i == kCount / 2) {
        EXPECT_FALSE(pub.isConnected());
        pendingWhileDown = pub.pendingCount();
        broker.start();
      }
      co_await vantro::sleep(2ms);
    }
    EXPECT_TRUE(co_await eventually(
        [&] {
          std::set<std::string> seen;
          for (const auto& m : inbox.on("t/reading")) seen.insert(m.payload);
          return seen.size() == kCount && pub.pendingCount() == 0;
        },
        20s));
    co_await pub.disconnect();
    co_await sub.disconnect();
  };
  loop.runUntilComplete(body());

  std::set<std::string> seen;
  for (const auto& m : inbox.on("t/reading")) seen.insert(m.payload);
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kCount)) << broker.log();
  EXPECT_GE(pendingWhileDown, static_cast<std::size_t>(kCount / 2 - kCount / 3));
  EXPECT_EQ(pubConnects, 2);
  EXPECT_EQ(pubDisconnects, 2);  // the loss, then disconnect()
  EXPECT_EQ(order, (std::vector<std::string>{"connect", "disconnect", "connect", "disconnect"}));
  ASSERT_TRUE(lostBecause);
  EXPECT_THROW(std::rethrow_exception(lostBecause), std::runtime_error);
  EXPECT_EQ(inbox.connects, 2);  // the subscriber reconnected and subscribed again
}

TEST(MqttOutage, FullQueueDropsTheOldestWithAPrintedLine) {
  Broker broker;
  EventLoop loop;
  vantro::test::PrintCapture printed;
  MqttClient sub(loop, "sub", true, 0);
  MqttClient pub(loop, "pub", false, kExpiry);
  pub.setMaxOfflineMessages(3);
  Inbox inbox;
  inbox.attach(sub, "q/#");
  // Made before the first connect: kept, up to the limit.
  for (int i = 0; i < 5; ++i) pub.publish("q/n", static_cast<long long>(i), 1, false);

  auto body = [&]() -> Awaitable<void> {
    co_await sub.connect(broker.host(), broker.port(), 60);
    // The limit holds once the pass that made them is over.
    EXPECT_EQ(pub.pendingCount(), 3u);
    std::size_t dropLines = 0;
    for (const auto& line : printed.lines()) {
      if (line.find("dropped the oldest") != std::string::npos) ++dropLines;
    }
    EXPECT_EQ(dropLines, 2u);
    EXPECT_TRUE(printed.containsPart("q/n"));
    MqttClient prober(loop, "prober", true, 0);
    co_await prober.connect(broker.host(), broker.port(), 60);
    co_await vantro::test::waitSubscribed(prober, inbox, "q/probe");
    co_await prober.disconnect();
    co_await pub.connect(broker.host(), broker.port(), 60);
    EXPECT_TRUE(co_await eventually([&] { return inbox.on("q/n").size() >= 3; }));
    EXPECT_TRUE(co_await eventually([&] { return pub.pendingCount() == 0; }));
    co_await pub.disconnect();
    co_await sub.disconnect();
  };
  loop.runUntilComplete(body());
  std::vector<std::string> got;
  for (const auto& m : inbox.on("q/n")) got.push_back(m.payload);
  EXPECT_EQ(got, (std::vector<std::string>{"2", "3", "4"}));
}

TEST(MqttOutage, DisconnectWorksAfterEveryTaskWasCancelled) {
  Broker broker;
  EventLoop loop;
  MqttClient sub(loop, "sub", true, 0);
  MqttClient pub(loop, "pub", false, kExpiry);
  Inbox inbox;
  inbox.attach(sub, "s/#");
  int disconnectPacket = -1;
  bool disconnectHadError = true;
  pub.on_disconnect = [&](MqttClient&, int packet, std::exception_ptr exc) {
    disconnectPacket = packet;
    disconnectHadError = exc != nullptr;
  };

  auto setup = [&]() -> Awaitable<void> {
    co_await sub.connect(broker.host(), broker.port(), 60);
    co_await pub.connect(broker.host(), broker.port(), 60);
    co_await vantro::test::waitSubscribed(pub, inbox, "s/probe");
  };
  loop.runUntilComplete(setup());

  bool sawCancelled = false;
  auto sleeper = [&]() -> Awaitable<void> { co_await vantro::sleep(1h); };
  auto shutdown = [&]() -> Awaitable<void> {
    loop.spawn(sleeper(), "sleeper");
    co_await vantro::sleep(10ms);
    // The last reading goes out just before the shutdown.
    pub.publish("s/last", std::string_view("bye"), 1, false);
    for (auto& task : loop.allTasks()) task->cancel();  // this one too
    try {
      co_await vantro::sleep(1s);
    } catch (const vantro::Cancelled&) {
      sawCancelled = true;
    }
    for (auto& task : loop.allTasks()) task->cancel();
    co_await pub.disconnect();
    EXPECT_FALSE(pub.isConnected());
  };
  loop.runUntilComplete(shutdown());
  EXPECT_TRUE(sawCancelled);
  EXPECT_EQ(disconnectPacket, 0);
  EXPECT_FALSE(disconnectHadError);
  EXPECT_EQ(pub.pendingCount(), 0u);

  auto check = [&]() -> Awaitable<void> {
    EXPECT_TRUE(co_await eventually([&] { return !inbox.on("s/last").empty(); }, 5s));
    co_await sub.disconnect();
  };
  loop.runUntilComplete(check());
  // Nothing of either client is left running on the loop.
  const auto start = std::chrono::steady_clock::now();
  loop.runFor(3s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

std::vector<std::string> linesStartingWith(const PrintCapture& printed, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& line : printed.lines()) {
    if (line.rfind(prefix, 0) == 0) out.push_back(line);
  }
  return out;
}

TEST(MqttOutage, BackgroundConnectPrintsEachFailedAttemptBacksOffAndDeliversOldestFirst) {
  Broker broker;
  const std::string prefix = fmt::format("MQTT connect to 127.0.0.1:{} failed: ", broker.port());
  EventLoop loop;
  PrintCapture printed;
  MqttClient sub(loop, "bg-sub", false, kExpiry);
  MqttClient pub(loop, "bg-pub", false, kExpiry);
  Inbox inbox;
  inbox.attach(sub, "bg/#");
  int pubConnects = 0;
  pub.on_connect = [&](MqttClient&, int, int, const std::string&) { ++pubConnects; };

  auto body = [&]() -> Awaitable<void> {
    // The subscriber's durable session outlives the broker's restart.
    co_await sub.connect(broker.host(), broker.port(), 60);
    MqttClient prober(loop, "bg-prober", true, 0);
    co_await prober.connect(broker.host(), broker.port(), 60);
    co_await vantro::test::waitSubscribed(prober, inbox, "bg/probe");
    co_await prober.disconnect();
    co_await sub.disconnect();
    broker.stop();

    for (int i = 0; i < 5; ++i) pub.publish("bg/n", static_cast<long long>(i), 1, false);
    pub.connectInBackground("127.0.0.1", broker.port(), 60);
    EXPECT_FALSE(pub.isConnected());
    // Attempts at 0, 1 and 3 s fail; the next one waits 4 s, for the broker.
    EXPECT_TRUE(
        co_await eventually([&] { return linesStartingWith(printed, prefix).size() >= 3; }, 10s));
    broker.start();
    EXPECT_TRUE(co_await eventually([&] { return pub.isConnected(); }, 10s));
    EXPECT_TRUE(co_await eventually([&] { return pub.pendingCount() == 0; }, 5s));
    co_await sub.connect(broker.host(), broker.port(), 60);
    EXPECT_TRUE(co_await eventually([&] { return inbox.on("bg/n").size() >= 5; }, 5s));
    co_await pub.disconnect();
    co_await sub.disconnect();
  };
  loop.runUntilComplete(body());

  EXPECT_EQ(linesStartingWith(printed, prefix),
            (std::vector<std::string>{prefix + "connection refused; next attempt in 1 s",
                                      prefix + "connection refused; next attempt in 2 s",
                                      prefix + "connection refused; next attempt in 4 s"}));
  EXPECT_EQ(pubConnects, 1);
  std::vector<std::string> got;
  for (const auto& m : inbox.on("bg/n")) got.push_back(m.payload);
  EXPECT_EQ(got, (std::vector<std::string>{"0", "1", "2", "3", "4"}));
}

TEST(MqttOutage, UnansweredBrokerNeverHoldsTheLoopAndAStopEndsTheAttemptAtOnce) {
  vantro::test::SilentListener silent;
  const std::string prefix = fmt::format("MQTT connect to localhost:{} failed: ", silent.port());
  EventLoop loop;
  PrintCapture printed;
  MqttClient pub(loop, "silent-pub", false, kExpiry);
  Duration longestGap{};
  bool ticking = true;
  // Measures how long the loop thread goes without running a 100 ms timer.
  auto ticker = [&]() -> Awaitable<void> {
    auto last = std::chrono::steady_clock::now();
    while (ticking) {
      co_await vantro::sleep(100ms);
      const auto now = std::chrono::steady_clock::now();
      longestGap = std::max<Duration>(longestGap, now - last);
      last = now;
    }
  };
  Duration stopTook{};
  auto body = [&]() -> Awaitable<void> {
    auto probe = loop.spawn(ticker(), "ticker");
    // "localhost" goes through the look-up thread; its addresses are tried in
    // turn, and the one on which the listener sits never answers.
    pub.connectInBackground("localhost", silent.port(), 60);
    EXPECT_TRUE(
        co_await eventually([&] { return !linesStartingWith(printed, prefix).empty(); }, 15s));
    // The next attempt starts after 1 s and hangs as well; the stop ends it.
    co_await vantro::sleep(2s);
    EXPECT_FALSE(pub.isConnected());
    const auto start = std::chrono::steady_clock::now();
    co_await pub.disconnect();
    stopTook = std::chrono::steady_clock::now() - start;
    ticking = false;
    co_await probe->wait();
  };
  loop.runUntilComplete(body());

  std::cout << "[ info ] longest loop gap "
            << std::chrono::duration<double, std::milli>(longestGap).count()
            << " ms; stop during the attempt took "
            << std::chrono::duration<double, std::milli>(stopTook).count() << " ms\n";
  EXPECT_LT(longestGap, 1s);
  EXPECT_LT(stopTook, 1s);
  EXPECT_EQ(linesStartingWith(printed, prefix),
            std::vector<std::string>{prefix + "no answer within 10 s; next attempt in 1 s"});
  // Nothing of the client is left running on the loop.
  const auto idle = std::chrono::steady_clock::now();
  loop.runFor(3s);
  EXPECT_LT(std::chrono::steady_clock::now() - idle, 1s);
}

}  // namespace
