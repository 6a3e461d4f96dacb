#pragma once
// The traffic generator: what the board forwards from its radio once the host
// has woken it with "TC". A fixed set of simulated nodes (UID 1000 + i, node
// id 10 + i) send sensor messages; among them the board reports duplicates,
// decrypt failures, statistics, log lines and peer states to persist, in a
// mix given by weights. Everything is deterministic for a given seed.
#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

#include "sim/Records.hpp"

namespace sim {

constexpr std::uint32_t kFirstNodeUid = 1000;
constexpr Byte kFirstNodeId = 10;

/// Relative weights of the record kinds.
struct Mix {
  unsigned sd = 80;  // node message
  unsigned si = 5;   // duplicate of the last node message
  unsigned sx = 3;   // decrypt failure
  unsigned st = 4;   // statistics
  unsigned lg = 4;   // log line
  unsigned sp = 4;   // peer state to persist
};

/// Parses "sd=80,si=5,..." (kinds not named get weight 0). Throws
/// std::invalid_argument naming the bad part.
Mix parseMix(std::string_view text);

struct TrafficSettings {
  unsigned nodes = 4;
  Mix mix;
  std::uint32_t seed = 1;
  bool dated = false;  // protocol 2: SD, SI and SX carry a date record
  /// When not 0, every node message is a distance reading carrying a number
  /// that starts here and grows by one per "SD" (distance_mm the low 16 bits,
  /// battery_mv the high 16), so that a test can tell which readings arrived
  /// and in what order.
  std::uint32_t sequenceValues = 0;
  /// When not 0, every N-th message of a node (by its message counter) is a
  /// battery message, so that every node sends two kinds.
  unsigned batteryEvery = 0;
};

class Traffic {
 public:
  explicit Traffic(const TrafficSettings& settings);

  struct Record {
    Bytes bytes;
    bool nodeData = false;  // an "SD" record
    std::uint64_t seq = 0;  // 1-based number of the "SD" record
    std::uint32_t uid = 0;
  };

  /// The next record. `date` is the board's clock for dated records; the
  /// gateway's own node id is the recipient of failed messages.
  Record next(const DateTime& date, Byte gatewayNodeId);

  /// Takes a peer's state from "PS", so that its "SP" records continue from it.
  void setPeer(const PeerState& state);
  /// The board restarted: its local start-up counter grows.
  void rebooted() { ++localStartups_; }
  bool knowsNodeId(Byte nodeId) const;
  std::uint64_t nodeDataSent() const { return sdCount_; }

 private:
  struct Node {
    std::uint32_t uid;
    Byte nodeId;
    Byte rssi;
    PeerState peer;
  };

  Node& pickNode();
  Record nodeMessage(const DateTime& date);
  Bytes body(const Node& n);

  TrafficSettings settings_;
  std::vector<Node> nodes_;
  std::mt19937 rng_;
  std::discrete_distribution<int> kinds_;
  std::uint64_t sdCount_ = 0;
  std::uint32_t sxCount_ = 0;
  std::uint32_t lgCount_ = 0;
  std::uint32_t localStartups_ = 1;
  NodeData lastNodeData_;
  bool haveLast_ = false;
};

}  // namespace sim
