#pragma once
// Hand-over of the three-byte reply to "PM" from the receive loop (the only
// reader of the serial link) to the peer-mode command on the transmit worker.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "vantro/runtime/Bytes.hpp"

namespace vantro {

class PeerModeReply {
 public:
  /// Worker: announce that a reply is awaited (before writing "PM").
  void expect();
  /// Receive loop: true while a reply is awaited.
  bool awaiting() const;
  /// Receive loop: hands over the reply bytes (the marker "PM" and the third byte).
  void deliver(Bytes reply);
  /// Worker: waits for the reply for at most `timeout`; returns what was
  /// delivered, or nothing on time-out. Ends the expectation either way.
  Bytes wait(std::chrono::milliseconds timeout);

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool awaiting_ = false;
  bool delivered_ = false;
  Bytes reply_;
};

}  // namespace vantro
