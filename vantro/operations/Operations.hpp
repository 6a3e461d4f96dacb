#pragma once
// The gateway's operations side: its health report, the availability of its
// nodes and their announcement to Home Assistant (docs/health.md,
// docs/home-assistant.md).
//
// The session owns one instance for the whole process. The receive path tells
// it of the board's announcement and of every node reading; the MQTT callbacks
// of each connect and of Home Assistant's status; the task of each run
// (run()) publishes what is due: the health report every interval and after
// each connect, a node's "offline" once its timeout has passed, the discovery
// messages after each connect and whenever Home Assistant comes online. What
// is known of the nodes is kept in "nodes.json" in the status directory,
// written on a thread of its own at most once a minute and at the stop.
//
// Publications, all retained: a node's availability changes QoS 1, in order
// with the readings (through the outbox); what is published again after
// every connect (discovery messages QoS 1, the nodes' availability, the
// health report QoS 0) goes out at once, ahead of readings waiting in the
// outbox, and only while connected. Loop thread only.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "vantro/mqtt/MqttClient.hpp"
#include "vantro/operations/GatewayCounters.hpp"
#include "vantro/operations/NodeBook.hpp"
#include "vantro/operations/StateFileWriter.hpp"
#include "vantro/outbox/PublicationQueue.hpp"
#include "vantro/parser/SensorMsgParser.hpp"
#include "vantro/runtime/Event.hpp"
#include "vantro/runtime/EventLoop.hpp"

namespace vantro {

struct OperationsSettings {
  /// Between health reports; 0: no report.
  std::chrono::seconds healthInterval{60};
  /// Silence after which a node is marked offline; 0: no node availability.
  std::chrono::seconds nodeTimeout{std::chrono::hours(25)};
  bool haDiscovery = true;
  std::string haPrefix = "homeassistant";
};

class Operations {
 public:
  static constexpr std::chrono::seconds kSaveInterval{60};
  static constexpr const char* kNodesFile = "nodes.json";

  Operations(OperationsSettings settings, std::string statusDir,
             std::shared_ptr<GatewayCounters> counters);
  Operations(const Operations&) = delete;
  Operations& operator=(const Operations&) = delete;

  const OperationsSettings& settings() const { return settings_; }
  const NodeBook& nodes() const { return nodes_; }

  /// The board announced itself: its unique ID names the gateway's topics.
  void gatewayAnnounced(std::uint32_t uid, std::uint32_t firmwareRevision, int protocolVersion);
  /// A node reading about to be published: the node's "online" when due and,
  /// for a kind new to it, its discovery messages. Never throws: what fails is
  /// printed, and the reading is published all the same.
  void nodeReading(const ParsedMsg& msg) noexcept;
  /// Called in on_connect: counts a reconnect and has the run's task do what
  /// follows a connect once the client's callback is over.
  void connected();
  /// A message received; true when it was Home Assistant's status, which
  /// "online" (not retained) answers with the discovery messages.
  bool takeMessage(const std::string& topic, const Bytes& payload,
                   const MessageProperties& properties);
  /// The task of one run with `client`; `publications` is reported as the
  /// outbox. Reads nodes.json at the first run. Ends only when cancelled.
  Awaitable<void> run(std::shared_ptr<MqttClient> client,
                      std::shared_ptr<PublicationQueue> publications);
  /// Writes nodes.json if anything changed, and waits for it (at the stop).
  void saveNow();

 private:
  using Clock = std::chrono::steady_clock;

  Awaitable<void> loop();
  void wake();
  void load();
  void save();
  void afterConnect(MqttClient& client);
  Awaitable<void> announceAll();
  void announceNode(MqttClient& client, std::uint32_t uid);
  void publishHealth(MqttClient& client);
  /// In order with the readings (through the outbox), or `atOnce` ahead of them.
  void publishAvailability(MqttClient& client, std::uint32_t uid, NodeAvailability availability,
                           bool atOnce = false);
  void expireNodes(MqttClient& client);
  Duration untilNextExpiry() const;
  bool nodeAvailability() const { return settings_.nodeTimeout.count() > 0; }

  const OperationsSettings settings_;
  const std::string statusDir_;
  const std::shared_ptr<GatewayCounters> counters_;
  const Clock::time_point started_ = Clock::now();
  std::string gatewayUid_;
  std::optional<std::uint32_t> firmwareRevision_;
  std::optional<int> protocolVersion_;
  NodeBook nodes_;
  bool loaded_ = false;
  bool dirty_ = false;
  bool connectedBefore_ = false;
  bool connectPending_ = false;
  bool announcePending_ = false;
  std::weak_ptr<MqttClient> client_;
  std::weak_ptr<PublicationQueue> publications_;
  std::weak_ptr<Event> wake_;
  StateFileWriter writer_;
};

}  // namespace vantro
