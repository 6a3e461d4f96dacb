#pragma once
// The last payload received on each MQTT topic under "tx/", for an embedding
// program that reads commands itself. Bounded in topics and bytes: anyone
// allowed to publish under "tx/" could otherwise grow the gateway without end.
// When full, the topic written longest ago goes first. Loop thread only.
#include <cstddef>
#include <list>
#include <map>
#include <string>

#include "vantro/runtime/Bytes.hpp"

namespace vantro {

struct TxMsgLimits {
  std::size_t maxTopics = 1000;
  std::size_t maxBytes = 4 * 1024 * 1024;  // topics and payloads together
  std::size_t maxPayload = 64 * 1024;      // larger payloads are not kept
};

class TxMsgStore {
 public:
  using Limits = TxMsgLimits;
  explicit TxMsgStore(Limits limits = {}) : limits_(limits) {}

  /// Keeps `payload` as the last one of `topic`; false (and nothing kept, an
  /// earlier payload of the topic dropped) when it is above the payload limit.
  bool store(const std::string& topic, const Bytes& payload);
  /// The last payload of `topic`, or nullptr.
  const Bytes* find(const std::string& topic) const;
  std::size_t size() const { return entries_.size(); }
  std::size_t bytes() const { return bytes_; }
  std::size_t evicted() const { return evicted_; }

 private:
  struct Entry {
    Bytes payload;
    std::list<std::string>::iterator age;
  };
  void erase(std::map<std::string, Entry>::iterator it);

  Limits limits_;
  std::map<std::string, Entry> entries_;
  std::list<std::string> order_;  // oldest write first
  std::size_t bytes_ = 0;
  std::size_t evicted_ = 0;
};

}  // namespace vantro
