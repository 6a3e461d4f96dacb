#include "vantro/bridge/State.hpp"

#include <utility>

namespace vantro {

std::string statusDir = "/var/telvari-gateway";
std::shared_ptr<TelvariSpeakV1> myProtocol;
std::shared_ptr<SerialLink> ser;
std::map<std::string, Bytes> txMsgQueue;
NodeIdTable uid2id;
std::map<std::string, std::shared_ptr<IntelHex>> ihexCache;
nlohmann::json flashUpdateStatus = nlohmann::json::object();
PeerModeReply peerModeReply;

void releaseLoopBoundState() {
  myProtocol.reset();
  ser.reset();
}

int NodeIdTable::get(std::uint32_t uid) const {
  std::lock_guard lock(mutex_);
  const auto it = map_.find(uid);
  return it == map_.end() ? 255 : it->second;
}

void NodeIdTable::set(std::uint32_t uid, int nodeId) {
  std::lock_guard lock(mutex_);
  map_[uid] = nodeId;
}

std::map<std::uint32_t, int> NodeIdTable::snapshot() const {
  std::lock_guard lock(mutex_);
  return map_;
}

void NodeIdTable::clear() {
  std::lock_guard lock(mutex_);
  map_.clear();
}

void PeerModeReply::expect() {
  std::lock_guard lock(mutex_);
  awaiting_ = true;
  delivered_ = false;
  reply_.clear();
}

bool PeerModeReply::awaiting() const {
  std::lock_guard lock(mutex_);
  return awaiting_;
}

void PeerModeReply::deliver(Bytes reply) {
  {
    std::lock_guard lock(mutex_);
    // A reply nobody waits for (it came after the time-out) is dropped.
    if (!awaiting_) return;
    awaiting_ = false;
    delivered_ = true;
    reply_ = std::move(reply);
  }
  cv_.notify_all();
}

Bytes PeerModeReply::wait(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  cv_.wait_for(lock, timeout, [this] { return delivered_; });
  Bytes out = delivered_ ? std::move(reply_) : Bytes{};
  awaiting_ = false;
  delivered_ = false;
  reply_.clear();
  return out;
}

}  // namespace vantro
