#pragma once
// What the gateway knows of each node beyond its readings: when it was last
// heard, the availability last published for it, and the message kinds it
// has sent (in the order first seen). It decides when a node goes online or
// offline and survives a restart as a small JSON file in the status directory:
//   {"nodes":[{"uid":1000,"last_seen_ms":1700000000123,"availability":"online",
//              "kinds":["climate","battery"]}]}
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantro {

enum class NodeAvailability { Unknown, Online, Offline };

struct NodeRecord {
  std::int64_t lastSeenMs = 0;
  /// The availability last published (or read from the file).
  NodeAvailability availability = NodeAvailability::Unknown;
  /// Heard since this process started.
  bool heardSinceStart = false;
  std::vector<std::string> kinds;
};

class NodeBook {
 public:
  struct Change {
    /// First reading since the start, or the first after the node went offline.
    bool cameOnline = false;
    /// A message kind this node had never sent.
    bool newKind = false;
  };

  /// A reading of `kind` from node `uid` at `nowMs` (ms since the epoch).
  Change reading(std::uint32_t uid, const std::string& kind, std::int64_t nowMs);
  /// Marks offline, and returns, the nodes online whose last reading is
  /// `timeoutMs` or more before `nowMs`.
  std::vector<std::uint32_t> expire(std::int64_t nowMs, std::int64_t timeoutMs);
  /// When the first node online times out (ms since the epoch); none when no
  /// node is online.
  std::optional<std::int64_t> nextExpiry(std::int64_t timeoutMs) const;

  const std::map<std::uint32_t, NodeRecord>& nodes() const { return nodes_; }
  const NodeRecord* find(std::uint32_t uid) const;

  /// The file's text.
  std::string toJson() const;
  /// Reads the file's text (nothing heard since the start). Throws
  /// std::runtime_error saying what is wrong with it.
  static NodeBook fromJson(std::string_view text);

 private:
  std::map<std::uint32_t, NodeRecord> nodes_;
};

std::string_view availabilityText(NodeAvailability a);

}  // namespace vantro
