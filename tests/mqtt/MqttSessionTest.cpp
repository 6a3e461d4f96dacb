// The MQTT client against a real broker: connecting, subscribing, receiving,
// retained messages, refused and unreachable brokers, cancelled connects.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <iterator>

#include "tests/mqtt/MqttTestUtil.hpp"
#include "tests/support/Broker.hpp"
#include "vantro/mqtt/MqttClient.hpp"
#include "vantro/runtime/EventLoop.hpp"

using namespace std::chrono_literals;
using vantro::Awaitable;
using vantro::Bytes;
using vantro::ByteView;
using vantro::EventLoop;
using vantro::MqttClient;
using vantro::test::Broker;
using vantro::test::eventually;
using vantro::test::Inbox;

namespace {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// The message of what `body` throws, or "" if it returns.
std::string errorOf(EventLoop& loop, Awaitable<void> body) {
  try {
    loop.runUntilComplete(std::move(body));
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

TEST(MqttSession, ConnectsSubscribesAndReceivesEveryKindOfPayload) {
  Broker broker;
  EventLoop loop;
  MqttClient sub(loop, "sub", true, 0);
  MqttClient pub(loop, "pub", true, 0);
  Inbox inbox;
  inbox.attach(sub, "t/#");
  int flags = -1, rc = -1;
  std::string props;
  auto onConnect = sub.on_connect;
  sub.on_connect = [&](MqttClient& c, int f, int r, const std::string& p) {
    flags = f;
    rc = r;
    props = p;
    onConnect(c, f, r, p);
  };
  Bytes binary;
  for (int i = 0; i < 256; ++i) binary.push_back(static_cast<vantro::Byte>(i));
  // Larger than what the client peeks at once: it arrives in pieces.
  Bytes large(100000);
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<vantro::Byte>(i * 7);
  // Many packets in one read of the socket, some cut at the end of a peek.
  constexpr std::size_t kBurst = 300;

  auto body = [&]() -> Awaitable<void> {
    co_await sub.connect(broker.host(), broker.port(), 60);
    // connect() returns after on_connect has run.
    EXPECT_EQ(inbox.connects, 1);
    EXPECT_TRUE(sub.isConnected());
    co_await pub.connect(broker.host(), broker.port(), 60);
    co_await vantro::test::waitSubscribed(pub, inbox, "t/probe");
    pub.publish("t/bin", ByteView(binary), 1, false);
    pub.publish("t/int", -42LL, 0, false);
    pub.publish("t/text", std::string_view("hello"), 1, false);
    pub.publish("t/empty", std::string_view(), 1, false);
    pub.publish("other", std::string_view("not subscribed"), 1, false);
    pub.publish("t/large", ByteView(large), 1, false);
    for (std::size_t i = 0; i < kBurst; ++i) {
      pub.publish("t/burst", static_cast<long long>(i), 1, false);
    }
    EXPECT_TRUE(co_await eventually([&] {
      for (auto* t : {"t/bin", "t/int", "t/text", "t/empty", "t/large"}) {
        if (inbox.on(t).empty()) return false;
      }
      return inbox.on("t/burst").size() == kBurst;
    }));
    EXPECT_TRUE(co_await eventually([&] { return pub.pendingCount() == 0; }));
    co_await pub.disconnect();
    co_await sub.disconnect();
  };
  loop.runUntilComplete(body());

  EXPECT_EQ(rc, 0);
  EXPECT_EQ(flags, 0);  // clean session: nothing was kept
  EXPECT_EQ(props.front(), '{');
  EXPECT_NE(props.find("topic-alias-maximum"), std::string::npos) << props;
  ASSERT_EQ(inbox.on("t/bin").size(), 1u);
  EXPECT_EQ(vantro::toBytes(inbox.on("t/bin")[0].payload), binary);
  EXPECT_EQ(inbox.on("t/bin")[0].qos, 1);
  EXPECT_FALSE(inbox.on("t/bin")[0].retain);
  ASSERT_EQ(inbox.on("t/int").size(), 1u);
  EXPECT_EQ(inbox.on("t/int")[0].payload, "-42");
  EXPECT_EQ(inbox.on("t/int")[0].qos, 0);
  ASSERT_EQ(inbox.on("t/text").size(), 1u);
  EXPECT_EQ(inbox.on("t/text")[0].payload, "hello");
  ASSERT_EQ(inbox.on("t/empty").size(), 1u);
  EXPECT_EQ(inbox.on("t/empty")[0].payload, "");
  EXPECT_TRUE(inbox.on("other").empty());
  ASSERT_EQ(inbox.on("t/large").size(), 1u);
  EXPECT_EQ(vantro::toBytes(inbox.on("t/large")[0].payload), large);
  ASSERT_EQ(inbox.on("t/burst").size(), kBurst);
  for (std::size_t i = 0; i < kBurst; ++i) {
    EXPECT_EQ(inbox.on("t/burst")[i].payload, std::to_string(i));
  }
  EXPECT_FALSE(sub.isConnected());
}

TEST(MqttSession, ShortestMessageWakesTheLoopAndALoneAcknowledgementIsReadAnyway) {
  Broker broker;
  EventLoop loop;
  MqttClient sub(loop, "quiet", true, 0);
  MqttClient pub(loop, "loud", true, 0);
  Inbox inbox;
  inbox.attach(sub, "t/#");
  std::vector<std::chrono::steady_clock::duration> delays;
  auto body = [&]() -> Awaitable<void> {
    co_await sub.connect(broker.host(), broker.port(), 60);
    co_await pub.connect(broker.host(), broker.port(), 60);
    co_await vantro::test::waitSubscribed(pub, inbox, "t/probe");
    // Its acknowledgement alone does not wake the loop; it is read all the same.
    sub.publish("x/y", 1LL, 1, false);
    EXPECT_TRUE(co_await eventually([&] { return sub.pendingCount() == 0; }, 5s));
    // QoS 0 on "t/a" without payload: 8 bytes, the least a command can be.
    for (int i = 0; i < 5; ++i) {
      const std::size_t before = inbox.on("t/a").size();
      const auto sent = std::chrono::steady_clock::now();
      pub.publish("t/a", std::string_view(), 0, false);
      EXPECT_TRUE(co_await eventually([&] { return inbox.on("t/a").size() > before; }));
      delays.push_back(std::chrono::steady_clock::now() - sent);
    }
    co_await pub.disconnect();
    co_await sub.disconnect();
  };
  loop.runUntilComplete(body());
  // At once, not with the housekeeping once a second.
  for (const auto d : delays) EXPECT_LT(d, 500ms);
}

TEST(MqttSession, RetainedQos1MessageReachesALaterSubscriberWithTheRetainFlag) {
  Broker broker;
  EventLoop loop;
  MqttClient pub(loop, "pub", true, 0);
  MqttClient late(loop, "late", true, 0);
  Inbox inbox;
  inbox.attach(late, "gw/#");
  auto body = [&]() -> Awaitable<void> {
    co_await pub.connect(broker.host(), broker.port(), 60);
    pub.publish("gw/7/firmware/revision", 123LL, 1, true);
    EXPECT_TRUE(co_await eventually([&] { return pub.pendingCount() == 0; }));
    co_await late.connect(broker.host(), broker.port(), 60);
    EXPECT_TRUE(co_await eventually([&] { return !inbox.messages.empty(); }));
    pub.publish("gw/7/firmware/revision", 124LL, 1, true);
    EXPECT_TRUE(co_await eventually([&] { return inbox.messages.size() >= 2; }));
    co_await pub.disconnect();
    co_await late.disconnect();
  };
  loop.runUntilComplete(body());
  ASSERT_EQ(inbox.messages.size(), 2u);
  EXPECT_EQ(inbox.messages[0].payload, "123");
  EXPECT_TRUE(inbox.messages[0].retain);
  EXPECT_EQ(inbox.messages[0].qos, 1);
  // Delivered live to an existing subscription: not flagged retained.
  EXPECT_EQ(inbox.messages[1].payload, "124");
  EXPECT_FALSE(inbox.messages[1].retain);
}

TEST(MqttSession, RefusedCredentialsGiveTheBrokersReason) {
  Broker broker({.users = {{"alice", "secret"}, {"bob", "hunter2"}}});
  EventLoop loop;

  MqttClient wrong(loop, "wrong", false, 3600);
  wrong.set_auth_credentials("alice", "not-the-password");
  bool connectCalled = false, disconnectCalled = false;
  wrong.on_connect = [&](MqttClient&, int, int, const std::string&) { connectCalled = true; };
  wrong.on_disconnect = [&](MqttClient&, int, std::exception_ptr) { disconnectCalled = true; };
  const std::string refused = errorOf(loop, wrong.connect(broker.host(), broker.port(), 60));
  // Mosquitto's MQTT 5 answer to a wrong password is "not authorized".
  EXPECT_NE(lower(refused).find("not authorized"), std::string::npos) << refused;
  EXPECT_NE(refused.find("user name and password"), std::string::npos) << refused;
  EXPECT_NE(refused.find(std::to_string(broker.port())), std::string::npos) << refused;
  EXPECT_FALSE(connectCalled);
  EXPECT_FALSE(disconnectCalled);
  EXPECT_FALSE(wrong.isConnected());

  MqttClient anonymous(loop, "anon", false, 3600);
  const std::string anon = errorOf(loop, anonymous.connect(broker.host(), broker.port(), 60));
  EXPECT_NE(lower(anon).find("not authorized"), std::string::npos) << anon;
  EXPECT_EQ(anon.find("user name and password"), std::string::npos) << anon;

  MqttClient right(loop, "right", false, 3600);
  right.set_auth_credentials("bob", "hunter2");
  auto body = [&]() -> Awaitable<void> {
    co_await right.connect(broker.host(), broker.port(), 60);
    EXPECT_TRUE(right.isConnected());
    co_await right.disconnect();
  };
  loop.runUntilComplete(body());

  // A failed attempt leaves the client ready for another one.
  wrong.set_auth_credentials("alice", "secret");
  auto retry = [&]() -> Awaitable<void> {
    co_await wrong.connect(broker.host(), broker.port(), 60);
    EXPECT_TRUE(connectCalled);
    co_await wrong.disconnect();
  };
  loop.runUntilComplete(retry());
}

TEST(MqttSession, UnreachableBrokerFailsAtOnceAndStaysDisconnected) {
  EventLoop loop;
  MqttClient client(loop, "lonely", false, 3600);
  const int port = vantro::test::freeLoopbackPort();
  const auto start = std::chrono::steady_clock::now();
  const std::string err = errorOf(loop, client.connect("127.0.0.1", port, 60));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_NE(lower(err).find("connection refused"), std::string::npos) << err;
  EXPECT_NE(err.find(std::to_string(port)), std::string::npos) << err;
  EXPECT_FALSE(client.isConnected());
  // No reconnection was scheduled: the loop has nothing left to do.
  const auto idle = std::chrono::steady_clock::now();
  loop.runFor(3s);
  EXPECT_LT(std::chrono::steady_clock::now() - idle, 1s);
}

TEST(MqttSession, CancellingAWaitingConnectGivesCancelled) {
  // A listener that never accepts: TCP connects, no CONNACK ever comes.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(fd, 4), 0);
  ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  const int port = ntohs(addr.sin_port);

  EventLoop loop;
  MqttClient client(loop, "patient", false, 3600);
  bool cancelled = false;
  auto attempt = [&]() -> Awaitable<void> {
    try {
      co_await client.connect("127.0.0.1", port, 60);
    } catch (const vantro::Cancelled&) {
      cancelled = true;
      throw;
    }
  };
  auto body = [&]() -> Awaitable<void> {
    auto task = loop.spawn(attempt(), "connect");
    co_await vantro::sleep(200ms);
    EXPECT_FALSE(task->done());
    task->cancel();
    EXPECT_TRUE(co_await task->waitFor(1s));
    EXPECT_EQ(task->state(), vantro::Task::State::Cancelled);
  };
  loop.runUntilComplete(body());
  ::close(fd);
  EXPECT_TRUE(cancelled);
  EXPECT_FALSE(client.isConnected());
}

TEST(MqttSession, PublishRejectsBadArgumentsAndQos0IsDroppedWhileDisconnected) {
  EventLoop loop;
  MqttClient client(loop, "args", false, 3600);
  EXPECT_THROW(client.publish("t/a", 1LL, 3, false), std::invalid_argument);
  EXPECT_THROW(client.publish("t/#", 1LL, 1, false), std::invalid_argument);
  EXPECT_THROW(client.publish("t/+/x", 1LL, 1, false), std::invalid_argument);
  EXPECT_THROW(client.publish("", 1LL, 1, false), std::invalid_argument);
  EXPECT_THROW(client.publish(std::string("t/\xff"), 1LL, 1, false), std::invalid_argument);
  client.publish("t/a", 1LL, 0, false);
  EXPECT_EQ(client.pendingCount(), 0u);
  client.publish("t/a", 1LL, 1, false);
  EXPECT_EQ(client.pendingCount(), 1u);
}

std::size_t openDescriptors() {
  const auto fds = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<std::size_t>(std::distance(begin(fds), end(fds)));
}

TEST(MqttSession, StreamOfQos1PublicationsIsFullyAcknowledged) {
  Broker broker;
  EventLoop loop;
  MqttClient pub(loop, "bulk", true, 0);
  // No wake-up socket pair beside a client: the library would write to it
  // with each publication, and nobody reads it.
  const std::size_t before = openDescriptors();
  {
    MqttClient idle(loop, "idle", true, 0);
    EXPECT_EQ(openDescriptors(), before);
  }
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0) << "others still get their pairs";
  ::close(pair[0]);
  ::close(pair[1]);
  constexpr int kCount = 20000;
  std::chrono::steady_clock::duration took{};
  // Acknowledgements that come one at a time do not wake the loop while
  // nothing waits for them; here they gate the stream and must.
  auto body = [&]() -> Awaitable<void> {
    co_await pub.connect(broker.host(), broker.port(), 60);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kCount; ++i) pub.publish("bulk/x", static_cast<long long>(i), 1, false);
    EXPECT_TRUE(co_await eventually([&] { return pub.pendingCount() == 0; }, 30s))
        << pub.pendingCount() << " still pending";
    took = std::chrono::steady_clock::now() - start;
    co_await pub.disconnect();
  };
  loop.runUntilComplete(body());
  std::cout << "[ info ] " << kCount << " QoS 1 publications acknowledged in "
            << std::chrono::duration<double>(took).count() << " s\n";
}

}  // namespace
