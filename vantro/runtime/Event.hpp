#pragma once
// An asyncio-like event: set(), clear(), isSet(), wait(). Loop thread only.
#include <list>

#include <asio/any_io_executor.hpp>
#include <asio/steady_timer.hpp>

#include "vantro/runtime/EventLoop.hpp"

namespace vantro {

class Event {
 public:
  explicit Event(asio::any_io_executor ex) : ex_(std::move(ex)) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  /// Sets the flag and wakes every waiter.
  void set();
  void clear() { set_ = false; }
  bool isSet() const { return set_; }

  /// Returns once the event is set (at once if it is). Throws Cancelled when the
  /// waiting task is cancelled.
  Awaitable<void> wait();
  /// As wait(), for at most `timeout`; true when the event was set.
  Awaitable<bool> waitFor(Duration timeout);

 private:
  asio::any_io_executor ex_;
  bool set_ = false;
  unsigned generation_ = 0;
  std::list<asio::steady_timer*> waiters_;
};

}  // namespace vantro
