#include "vantro/operations/Operations.hpp"

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <utility>
#include <vector>

#include "vantro/operations/Discovery.hpp"
#include "vantro/operations/HealthReport.hpp"
#include "vantro/runtime/AtomicFile.hpp"
#include "vantro/runtime/Print.hpp"

namespace vantro {
namespace {

using namespace std::chrono_literals;
// Longest wait of the task: the health report and the save look at the clock
// at least this often.
constexpr auto kLongestWait = 60s;
constexpr std::size_t kMaxNodesFile = 4 * 1024 * 1024;
constexpr std::string_view kOnline = "online";

std::int64_t wallMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::int64_t milliseconds(std::chrono::seconds s) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(s).count();
}

// Runs one step of the task; what it throws is printed, and the task goes on.
template <typename F>
void guarded(std::string_view what, F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    print("{} failed: {}", what, e.what());
  }
}

}  // namespace

Operations::Operations(OperationsSettings settings, std::string statusDir,
                       std::shared_ptr<GatewayCounters> counters)
    : settings_(std::move(settings)),
      statusDir_(std::move(statusDir)),
      counters_(std::move(counters)),
      writer_(statusDir_, kNodesFile) {}

void Operations::gatewayAnnounced(std::uint32_t uid, std::uint32_t firmwareRevision,
                                  int protocolVersion) {
  std::string text = std::to_string(uid);
  const bool changed = text != gatewayUid_ || firmwareRevision_ != firmwareRevision;
  gatewayUid_ = std::move(text);
  firmwareRevision_ = firmwareRevision;
  protocolVersion_ = protocolVersion;
  // A board announced before the connect is announced after it anyway.
  const std::shared_ptr<MqttClient> client = client_.lock();
  if (changed && settings_.haDiscovery && client && client->isConnected()) {
    announcePending_ = true;
    wake();
  }
}

void Operations::nodeReading(const ParsedMsg& msg) noexcept {
  try {
    const NodeBook::Change change = nodes_.reading(msg.senderUID, msg.kind, wallMs());
    dirty_ = true;
    const std::shared_ptr<MqttClient> client = client_.lock();
    if (!client) return;
    if (change.cameOnline && nodeAvailability()) {
      print("Node {} online", msg.senderUID);
      publishAvailability(*client, msg.senderUID, NodeAvailability::Online);
      wake();  // its timeout may come before the task's next look at the clock
    }
    if (change.newKind && settings_.haDiscovery && client->isConnected()) {
      print("Node {}: {} messages announced to Home Assistant", msg.senderUID, msg.kind);
      announceNode(*client, msg.senderUID);
    }
  } catch (const std::exception& e) {
    print("Node {}: {}", msg.senderUID, e.what());
  }
}

void Operations::connected() {
  if (connectedBefore_) ++counters_->brokerReconnects;
  connectedBefore_ = true;
  connectPending_ = true;
  wake();
}

bool Operations::takeMessage(const std::string& topic, const Bytes& payload,
                             const MessageProperties& properties) {
  if (!settings_.haDiscovery || topic != homeAssistantStatusTopic(settings_.haPrefix)) {
    return false;
  }
  // A retained "online" comes with every subscription, right after the
  // connect, which announces everything anyway.
  const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
  if (text == kOnline && !properties.retain) {
    print("Home Assistant is online: announcing the gateway and {} nodes", nodes_.nodes().size());
    announcePending_ = true;
    wake();
  }
  return true;
}

Awaitable<void> Operations::run(std::shared_ptr<MqttClient> client,
                                std::shared_ptr<PublicationQueue> publications) {
  // Bound at once, not when the task first runs: the receive loop may take
  // readings before that.
  client_ = client;
  publications_ = publications;
  if (!loaded_) load();
  return loop();
}

void Operations::saveNow() {
  save();
  writer_.flush();
}

void Operations::wake() {
  const std::shared_ptr<Event> event = wake_.lock();
  if (event) event->set();
}

void Operations::load() {
  loaded_ = true;
  const std::string path = (std::filesystem::path(statusDir_) / kNodesFile).string();
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return;
  try {
    const Bytes text = readSmallFile(path, kMaxNodesFile);
    NodeBook loaded = NodeBook::fromJson(
        std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
    // run() reads it before the receive loop starts: nothing was heard yet.
    if (nodes_.nodes().empty()) nodes_ = std::move(loaded);
  } catch (const std::exception& e) {
    print("Ignoring {}: {}", path, e.what());
  }
}

void Operations::save() {
  if (!dirty_) return;
  dirty_ = false;
  writer_.submit(nodes_.toJson());
}

Awaitable<void> Operations::loop() {
  auto wake = std::make_shared<Event>(co_await asio::this_coro::executor);
  wake_ = wake;
  const bool health = settings_.healthInterval.count() > 0;
  Clock::time_point nextHealth = Clock::now() + settings_.healthInterval;
  Clock::time_point nextSave = Clock::now() + kSaveInterval;
  for (;;) {
    wake->clear();
    const std::shared_ptr<MqttClient> client = client_.lock();
    if (!client) co_return;
    if (connectPending_) {
      connectPending_ = false;
      if (health) nextHealth = Clock::now();
      guarded("After the connect", [&] { afterConnect(*client); });
    }
    if (announcePending_) {
      announcePending_ = false;
      co_await announceAll();
    }
    const Clock::time_point now = Clock::now();
    if (health && now >= nextHealth) {
      nextHealth = now + settings_.healthInterval;
      guarded("Health report", [&] { publishHealth(*client); });
    }
    if (nodeAvailability()) guarded("Node availability", [&] { expireNodes(*client); });
    if (now >= nextSave) {
      nextSave = now + kSaveInterval;
      save();
    }
    Duration wait = std::min<Duration>(kLongestWait, nextSave - now);
    if (health) wait = std::min<Duration>(wait, nextHealth - now);
    if (nodeAvailability()) wait = std::min(wait, untilNextExpiry());
    co_await wake->waitFor(std::max(wait, Duration::zero()));
  }
}

void Operations::afterConnect(MqttClient& client) {
  if (settings_.haDiscovery) {
    print("Subscribing to {}", homeAssistantStatusTopic(settings_.haPrefix));
    client.subscribe({{homeAssistantStatusTopic(settings_.haPrefix), 1}});
    announcePending_ = true;
  }
  // A broker that lost its retained messages has the nodes' states again. The
  // changes waiting in the outbox follow, the last of them being the state
  // now, so the retained state ends up right either way.
  if (nodeAvailability()) {
    for (const auto& [uid, node] : nodes_.nodes()) {
      if (node.availability != NodeAvailability::Unknown) {
        publishAvailability(client, uid, node.availability, true);
      }
    }
  }
}

Awaitable<void> Operations::announceAll() {
  if (gatewayUid_.empty()) co_return;
  std::shared_ptr<MqttClient> client = client_.lock();
  if (!client || !client->isConnected()) co_return;
  guarded("Discovery", [&] {
    const DiscoveryMessage m =
        gatewayDiscovery({settings_.haPrefix, gatewayUid_, nodeAvailability()}, firmwareRevision_);
    client->publishAtOnce(m.topic, m.payload, 1, true);
  });
  std::vector<std::uint32_t> uids;
  for (const auto& [uid, node] : nodes_.nodes()) uids.push_back(uid);
  for (const std::uint32_t uid : uids) {
    guarded("Discovery", [&] { announceNode(*client, uid); });
    // One node per pass, so that the board is read between them.
    co_await sleep(Duration::zero());
    client = client_.lock();
    if (!client || !client->isConnected()) co_return;
  }
}

void Operations::announceNode(MqttClient& client, std::uint32_t uid) {
  const NodeRecord* node = nodes_.find(uid);
  if (!node || gatewayUid_.empty()) return;
  for (const DiscoveryMessage& m :
       nodeDiscovery({settings_.haPrefix, gatewayUid_, nodeAvailability()}, uid, node->kinds)) {
    client.publishAtOnce(m.topic, m.payload, 1, true);
  }
}

void Operations::publishHealth(MqttClient& client) {
  if (gatewayUid_.empty() || !client.isConnected()) return;
  HealthFigures f;
  f.nowMs = wallMs();
  f.uptimeSeconds =
      std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started_).count();
  f.firmwareRevision = firmwareRevision_;
  f.protocolVersion = protocolVersion_;
  if (const std::shared_ptr<PublicationQueue> queue = publications_.lock()) {
    f.outboxDepth = queue->size();
    f.outboxOldestMs = queue->oldestCreatedMs();
  }
  client.publish(healthTopic(gatewayUid_), healthJson(f, *counters_), 0, true);
}

void Operations::publishAvailability(MqttClient& client, std::uint32_t uid,
                                     NodeAvailability availability, bool atOnce) {
  const std::string topic = nodeAvailabilityTopic(uid);
  if (atOnce) {
    client.publishAtOnce(topic, availabilityText(availability), 1, true);
  } else {
    client.publish(topic, availabilityText(availability), 1, true);
  }
}

void Operations::expireNodes(MqttClient& client) {
  for (const std::uint32_t uid : nodes_.expire(wallMs(), milliseconds(settings_.nodeTimeout))) {
    dirty_ = true;
    print("Node {} offline: nothing heard for {} s", uid, settings_.nodeTimeout.count());
    publishAvailability(client, uid, NodeAvailability::Offline);
  }
}

Duration Operations::untilNextExpiry() const {
  const std::optional<std::int64_t> at = nodes_.nextExpiry(milliseconds(settings_.nodeTimeout));
  if (!at) return kLongestWait;
  return std::chrono::milliseconds(std::max<std::int64_t>(0, *at - wallMs()));
}

}  // namespace vantro
