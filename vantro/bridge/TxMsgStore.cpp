#include "vantro/bridge/TxMsgStore.hpp"

#include "vantro/runtime/Print.hpp"

namespace vantro {
namespace {
// One line per this many evicted topics.
constexpr std::size_t kEvictionReportEvery = 1000;
}  // namespace

void TxMsgStore::erase(std::map<std::string, Entry>::iterator it) {
  bytes_ -= it->first.size() + it->second.payload.size();
  order_.erase(it->second.age);
  entries_.erase(it);
}

bool TxMsgStore::store(const std::string& topic, const Bytes& payload) {
  if (auto it = entries_.find(topic); it != entries_.end()) erase(it);
  if (payload.size() > limits_.maxPayload) return false;
  const std::size_t cost = topic.size() + payload.size();
  while (!entries_.empty() &&
         (entries_.size() >= limits_.maxTopics || bytes_ + cost > limits_.maxBytes)) {
    erase(entries_.find(order_.front()));
    if (evicted_++ % kEvictionReportEvery == 0) {
      print("Command store full: {} oldest topics evicted so far (at most {} topics, {} bytes)",
            evicted_, limits_.maxTopics, limits_.maxBytes);
    }
  }
  order_.push_back(topic);
  entries_.emplace(topic, Entry{payload, std::prev(order_.end())});
  bytes_ += cost;
  return true;
}

const Bytes* TxMsgStore::find(const std::string& topic) const {
  const auto it = entries_.find(topic);
  return it == entries_.end() ? nullptr : &it->second.payload;
}

}  // namespace vantro
