#pragma once
// First-in-first-out queue of transmit jobs: the hand-over between the
// event-loop thread and the transmit worker.
//
// The queue is bounded for producers that may wait (put) or that keep their
// own backlog and retry (tryPut). The event-loop thread must never wait for
// the worker, because the worker may itself wait for the loop (a peer-mode
// reply arrives through the receive loop): its few jobs of its own go in with
// push, which never blocks. Node commands reach the queue only through
// tryPut, so the bound holds for them.
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

  /// Appends `job`, waiting while the queue is full. Not for the loop thread.
  void put(Job job);
  /// Appends `job` if there is room; false (and `job` untouched) when full or closed.
  bool tryPut(Job& job);
  /// Appends `job` whatever the queue holds. Never blocks.
  void push(Job job);
  /// Takes the first job, waiting while there is none. After close() it
  /// returns an empty job instead of waiting.
  Job take();
  /// Ends the waiting of take() for good: a taker waiting on an empty queue is
  /// released with the do-nothing job `release`, later takes of an empty queue
  /// return at once. Returns the number of jobs still queued (not counting
  /// `release`), which close() leaves in place for whoever drains them.
  std::size_t close(const Job& release);
  /// Removes and returns every queued job.
  std::deque<Job> drain();
  /// Opens a closed queue again (the next run's worker takes from it).
  void reopen();
  bool closed() const;
  /// Called on the taking thread after each take, outside the lock: room freed.
  void setOnTaken(std::function<void()> onTaken);

  std::size_t size() const;
  std::size_t capacity() const { return capacity_; }

 private:
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable notEmpty_;
  std::condition_variable notFull_;
  std::deque<Job> jobs_;
  std::function<void()> onTaken_;
  int waitingTakers_ = 0;
  bool closed_ = false;
};

}  // namespace vantro
