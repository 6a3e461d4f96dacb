// Events, time-outs, the first of several tasks, the worker pool.
#include <gtest/gtest.h>

#include <chrono>

#include "vantro/runtime/Event.hpp"
#include "vantro/runtime/EventLoop.hpp"
#include "vantro/runtime/WorkerPool.hpp"

using namespace std::chrono_literals;
using vantro::Awaitable;
using vantro::EventLoop;

namespace {

TEST(Event, WakesEveryWaiterAndStaysSet) {
  EventLoop loop;
  vantro::Event ev(loop.executor());
  int woken = 0;
  for (int i = 0; i < 3; ++i) {
    loop.spawn([&]() -> Awaitable<void> {
      co_await ev.wait();
      ++woken;
    });
  }
  loop.spawn([&]() -> Awaitable<void> {
    co_await vantro::sleep(5ms);
    EXPECT_FALSE(ev.isSet());
    ev.set();
    co_await ev.wait();  // set: returns at once
    ++woken;
  });
  loop.run();
  EXPECT_EQ(woken, 4);
  EXPECT_TRUE(ev.isSet());
}

TEST(Event, WaitForTimesOutWithFalse) {
  EventLoop loop;
  vantro::Event ev(loop.executor());
  bool result = true;
  loop.runUntilComplete([&]() -> Awaitable<void> { result = co_await ev.waitFor(20ms); }());
  EXPECT_FALSE(result);
}

TEST(WaitFor, TimeOutCancelsTheTaskAndRaises) {
  EventLoop loop;
  bool timedOut = false;
  vantro::TaskPtr slow;
  loop.runUntilComplete([&]() -> Awaitable<void> {
    slow = loop.spawn(vantro::sleep(10s));
    try {
      co_await vantro::waitFor(slow, 30ms);
    } catch (const vantro::TimeoutError&) {
      timedOut = true;
    }
  }());
  EXPECT_TRUE(timedOut);
  EXPECT_TRUE(slow->cancelled());
}

TEST(WaitFor, RethrowsTheTaskError) {
  EventLoop loop;
  EXPECT_THROW(loop.runUntilComplete([&]() -> Awaitable<void> {
    co_await vantro::withTimeout(
        []() -> Awaitable<void> {
          co_await vantro::sleep(1ms);
          throw std::runtime_error("inner");
        }(),
        1s);
  }()),
               std::runtime_error);
}

TEST(WaitFirst, ReturnsTheFirstFinishedAndLeavesTheOthers) {
  EventLoop loop;
  vantro::TaskPtr first;
  vantro::TaskPtr a, b;
  loop.runUntilComplete([&]() -> Awaitable<void> {
    a = loop.spawn(vantro::sleep(500ms));
    b = loop.spawn(vantro::sleep(10ms));
    std::vector<vantro::TaskPtr> both{a, b};
    first = co_await vantro::waitFirst(std::move(both));
  }());
  EXPECT_EQ(first, b);
  EXPECT_FALSE(a->done());
}

TEST(WorkerPool, RunsOnTheWorkerAndResumesOnTheLoopThread) {
  EventLoop loop;
  vantro::WorkerPool pool(loop.executor());
  std::thread::id workerId, resumedOn;
  int value = 0;
  loop.runUntilComplete([&]() -> Awaitable<void> {
    value = co_await pool.run([&] {
      workerId = std::this_thread::get_id();
      return 21 * 2;
    });
    resumedOn = std::this_thread::get_id();
  }());
  EXPECT_EQ(value, 42);
  EXPECT_NE(workerId, std::this_thread::get_id());
  EXPECT_EQ(resumedOn, std::this_thread::get_id());
}

TEST(WorkerPool, ErrorsReachTheAwaitingTask) {
  EventLoop loop;
  vantro::WorkerPool pool(loop.executor());
  EXPECT_THROW(loop.runUntilComplete([&]() -> Awaitable<void> {
    co_await pool.run([] { throw std::invalid_argument("bad"); });
  }()),
               std::invalid_argument);
}

TEST(WorkerPool, RunsCallsOneAtATimeInOrderAndRefusesAfterShutdown) {
  EventLoop loop;
  vantro::WorkerPool pool(loop.executor());
  std::vector<int> order;
  std::mutex m;
  for (int i = 0; i < 5; ++i) {
    pool.submit([&, i] {
      std::lock_guard lock(m);
      order.push_back(i);
    });
  }
  pool.shutdown(true);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_THROW(pool.submit([] {}), std::runtime_error);
}

}  // namespace
