#include "vantro/commands/PeerModeReply.hpp"

#include <utility>

namespace vantro {

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
