#pragma once
// Bounded first-in-first-out queue of transmit jobs: the hand-over between the
// event-loop thread and the transmit worker. Adding to a full queue blocks the
// adding thread; taking from an empty queue blocks the taking thread. Neither
// side has a time-out.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace vantro {

class TxQueue {
 public:
  using Job = std::function<void()>;
  explicit TxQueue(std::size_t capacity) : capacity_(capacity) {}

  void put(Job job);
  Job take();
  std::size_t size() const;
  std::size_t capacity() const { return capacity_; }

 private:
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable notEmpty_;
  std::condition_variable notFull_;
  std::deque<Job> jobs_;
};

}  // namespace vantro
