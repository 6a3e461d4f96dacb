#pragma once
// Node UID to network id, learnt from received messages. One table per
// gateway: the protocol object fills it on the event-loop thread, the node
// commands read it (also from the transmit worker), hence the lock.
#include <cstdint>
#include <map>
#include <mutex>

namespace vantro {

class NodeIdTable {
 public:
  /// Network id answered for a node the gateway has not heard from.
  static constexpr int kUnknownNode = 255;

  /// The network id of `uid`, or kUnknownNode when it is not known.
  int get(std::uint32_t uid) const {
    std::lock_guard lock(mutex_);
    const auto it = map_.find(uid);
    return it == map_.end() ? kUnknownNode : it->second;
  }
  void set(std::uint32_t uid, int nodeId) {
    std::lock_guard lock(mutex_);
    map_[uid] = nodeId;
  }
  std::map<std::uint32_t, int> snapshot() const {
    std::lock_guard lock(mutex_);
    return map_;
  }
  bool empty() const {
    std::lock_guard lock(mutex_);
    return map_.empty();
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::uint32_t, int> map_;
};

}  // namespace vantro
