#pragma once
// A TimerClock that only moves when the test advances it. advance() wakes the
// due sleepers one at a time, earliest first, and lets the loop run what they
// start (new timers included) before looking for the next one. Work that
// leaves the loop thread (a command on a worker) is awaited through
// afterWake, which the test sets.
#include <algorithm>
#include <functional>
#include <list>
#include <memory>
#include <vector>

#include <asio/post.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "vantro/runtime/Event.hpp"
#include "vantro/time/Timer/TimerClock.hpp"

namespace vantro::test {

class ManualClock final : public TimerClock {
 public:
  Awaitable<void> sleep(double seconds) override {
    auto w = std::make_shared<Sleeper>(co_await asio::this_coro::executor);
    w->due = now_ + std::max(0.0, seconds);
    requested_.push_back(seconds);
    sleepers_.push_back(w);
    // Removes the sleeper when its task is cancelled (or the frame goes).
    struct Unlist {
      ManualClock* clock;
      std::shared_ptr<Sleeper> w;
      ~Unlist() { clock->sleepers_.remove(w); }
    } unlist{this, w};
    co_await w->woken.wait();
  }

  /// Moves the clock on by `seconds`, waking every sleeper due by then.
  Awaitable<void> advance(double seconds) {
    const double target = now_ + seconds;
    co_await settle();
    while (true) {
      // Earliest due first; among equals, the one that started sleeping first.
      auto it = std::min_element(sleepers_.begin(), sleepers_.end(),
                                 [](const auto& a, const auto& b) { return a->due < b->due; });
      if (it == sleepers_.end() || (*it)->due > target) break;
      auto w = *it;
      sleepers_.erase(it);
      now_ = w->due;
      w->woken.set();
      co_await settle();
      if (afterWake) co_await afterWake();
    }
    now_ = target;
  }

  /// Lets the loop run for a few turns (tasks just started or woken).
  static Awaitable<void> settle() {
    auto ex = co_await asio::this_coro::executor;
    for (int i = 0; i < 32; ++i) co_await asio::post(ex, asio::use_awaitable);
  }

  /// Awaited after each wake-up and its settling, when set.
  std::function<Awaitable<void>()> afterWake;

  double now() const { return now_; }
  /// How many tasks sleep on this clock now.
  std::size_t sleeping() const { return sleepers_.size(); }
  /// Every duration asked of sleep(), in order.
  const std::vector<double>& requested() const { return requested_; }

 private:
  struct Sleeper {
    explicit Sleeper(asio::any_io_executor ex) : woken(std::move(ex)) {}
    double due = 0;
    Event woken;
  };
  double now_ = 0;
  std::list<std::shared_ptr<Sleeper>> sleepers_;
  std::vector<double> requested_;
};

}  // namespace vantro::test
