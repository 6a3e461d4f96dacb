#pragma once
// Shared pieces of the MQTT client tests: a recorder of received messages and
// waits for a condition on the running loop.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "vantro/mqtt/MqttClient.hpp"
#include "vantro/runtime/EventLoop.hpp"

namespace vantro::test {

struct Received {
  std::string topic;
  std::string payload;
  int qos;
  bool retain;
};

/// Records every message a client receives; subscribes to `filter` on every connect.
struct Inbox {
  std::vector<Received> messages;
  int connects = 0;

  void attach(MqttClient& client, std::string filter) {
    client.on_message = [this](MqttClient&, const std::string& topic, const Bytes& payload, int qos,
                               const MessageProperties& props) {
      messages.push_back({topic, toString(payload), qos, props.retain});
    };
    client.on_connect = [this, filter](MqttClient& c, int, int, const std::string&) {
      ++connects;
      c.subscribe({{filter, 1}});
    };
  }

  std::vector<Received> on(const std::string& topic) const {
    std::vector<Received> out;
    for (const auto& m : messages) {
      if (m.topic == topic) out.push_back(m);
    }
    return out;
  }
};

/// Polls `done` on the loop until it holds or `limit` passes; returns whether it held.
inline Awaitable<bool> eventually(std::function<bool()> done,
                                  Duration limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) co_return false;
    co_await sleep(std::chrono::milliseconds(5));
  }
  co_return true;
}

/// Returns once `inbox`'s subscription is in force at the broker: probes on
/// `probeTopic` from `publisher` until one arrives.
inline Awaitable<void> waitSubscribed(MqttClient& publisher, Inbox& inbox,
                                      const std::string& probeTopic) {
  for (int i = 0; i < 100; ++i) {
    publisher.publish(probeTopic, std::string_view("probe"), 0, false);
    if (co_await eventually([&] { return !inbox.on(probeTopic).empty(); },
                            std::chrono::milliseconds(50))) {
      co_return;
    }
  }
  throw std::runtime_error("subscription never came into force");
}

}  // namespace vantro::test
