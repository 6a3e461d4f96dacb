// Tasks: start, outcome, cancellation at every kind of await, the sweep of all tasks.
#include <gtest/gtest.h>

#include <chrono>

#include "vantro/runtime/Event.hpp"
#include "vantro/runtime/EventLoop.hpp"
#include "vantro/runtime/WorkerPool.hpp"

using namespace std::chrono_literals;
using vantro::Awaitable;
using vantro::Cancelled;
using vantro::EventLoop;
using vantro::Task;

namespace {

TEST(Task, StartsAtTheNextTurnNotInsideSpawn) {
  EventLoop loop;
  bool ran = false;
  auto t = loop.spawn([&]() -> Awaitable<void> {
    ran = true;
    co_return;
  });
  EXPECT_FALSE(ran);
  loop.run();
  EXPECT_TRUE(ran);
  EXPECT_EQ(t->state(), Task::State::Finished);
  EXPECT_TRUE(loop.allTasks().empty());
}

TEST(Task, SpawnedFromATaskStartsAfterTheSpawnerYields) {
  EventLoop loop;
  std::vector<int> order;
  loop.runUntilComplete([&]() -> Awaitable<void> {
    loop.spawn([&]() -> Awaitable<void> {
      order.push_back(2);
      co_return;
    });
    order.push_back(1);
    co_await vantro::sleep(1ms);
  }());
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(Task, FailureIsKeptWithTheTask) {
  EventLoop loop;
  auto t = loop.spawn([]() -> Awaitable<void> {
    throw std::runtime_error("boom");
    co_return;
  }());
  loop.run();
  ASSERT_EQ(t->state(), Task::State::Failed);
  EXPECT_THROW(std::rethrow_exception(t->error()), std::runtime_error);
}

TEST(Task, CancelBeforeStartNeverRunsTheBody) {
  EventLoop loop;
  bool ran = false;
  auto t = loop.spawn([&]() -> Awaitable<void> {
    ran = true;
    co_return;
  });
  t->cancel();
  loop.run();
  EXPECT_FALSE(ran);
  EXPECT_TRUE(t->cancelled());
}

// Cancels `victim` from another task after a short while and reports what the
// victim saw.
template <typename Body>
void expectCancelledAt(Body body) {
  EventLoop loop;
  bool sawCancelled = false;
  bool after = false;
  auto victim = loop.spawn([&]() -> Awaitable<void> {
    try {
      co_await body(loop);
    } catch (const Cancelled&) {
      sawCancelled = true;
      throw;
    }
    after = true;
  });
  loop.spawn([&]() -> Awaitable<void> {
    co_await vantro::sleep(20ms);
    victim->cancel();
  });
  const auto start = std::chrono::steady_clock::now();
  loop.run();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(sawCancelled);
  EXPECT_FALSE(after);
  EXPECT_TRUE(victim->cancelled());
}

TEST(Cancellation, ReachesASleep) {
  expectCancelledAt([](EventLoop&) -> Awaitable<void> { co_await vantro::sleep(10s); });
}

TEST(Cancellation, ReachesAnEventWait) {
  expectCancelledAt([](EventLoop& loop) -> Awaitable<void> {
    vantro::Event ev(loop.executor());
    co_await ev.wait();
  });
}

TEST(Cancellation, ReachesAnEventWaitWithTimeOut) {
  expectCancelledAt([](EventLoop& loop) -> Awaitable<void> {
    vantro::Event ev(loop.executor());
    co_await ev.waitFor(10s);
  });
}

TEST(Cancellation, ReachesAJoinOfAnotherTask) {
  expectCancelledAt([](EventLoop& loop) -> Awaitable<void> {
    auto other = loop.spawn(vantro::sleep(300ms));
    co_await other->wait();
  });
}

TEST(Cancellation, ReachesAPoolCallWhileTheCallGoesOn) {
  std::atomic<bool> finished{false};
  {
    EventLoop loop;
    vantro::WorkerPool pool(loop.executor());
    bool sawCancelled = false;
    auto victim = loop.spawn([&]() -> Awaitable<void> {
      try {
        co_await pool.run([&] {
          std::this_thread::sleep_for(200ms);
          finished = true;
        });
      } catch (const Cancelled&) {
        sawCancelled = true;
      }
    });
    loop.spawn([&]() -> Awaitable<void> {
      co_await vantro::sleep(20ms);
      victim->cancel();
    });
    const auto start = std::chrono::steady_clock::now();
    loop.run();
    EXPECT_TRUE(sawCancelled);
    pool.shutdown(true);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
  }
  EXPECT_TRUE(finished);
}

TEST(Cancellation, ReachesANestedCoroutine) {
  expectCancelledAt([](EventLoop&) -> Awaitable<void> {
    auto inner = []() -> Awaitable<void> { co_await vantro::sleep(10s); };
    co_await inner();
  });
}

TEST(Cancellation, IsConsumedSoCleanUpCanStillAwait) {
  EventLoop loop;
  bool cleanedUp = false;
  auto t = loop.spawn([&]() -> Awaitable<void> {
    try {
      co_await vantro::sleep(10s);
    } catch (const Cancelled&) {
    }
    co_await vantro::sleep(10ms);
    cleanedUp = true;
  });
  loop.spawn([&]() -> Awaitable<void> {
    co_await vantro::sleep(10ms);
    t->cancel();
  });
  loop.run();
  EXPECT_TRUE(cleanedUp);
  EXPECT_EQ(t->state(), Task::State::Finished);
}

TEST(Cancellation, OfADoneTaskHasNoEffect) {
  EventLoop loop;
  auto t = loop.spawn([]() -> Awaitable<void> { co_return; }());
  loop.run();
  t->cancel();
  EXPECT_EQ(t->state(), Task::State::Finished);
}

TEST(Sweep, CancelsEveryTaskWhoeverCreatedItIncludingTheSweeper) {
  EventLoop loop;
  std::vector<vantro::TaskPtr> created;
  for (int i = 0; i < 5; ++i) created.push_back(loop.spawn(vantro::sleep(30s), "sleeper"));
  bool disconnected = false;
  loop.spawn([&]() -> Awaitable<void> {
    co_await vantro::sleep(5ms);
    for (auto& t : loop.allTasks()) {
      if (t->done()) continue;
      t->cancel();
      try {
        co_await t->waitFor(100ms);
      } catch (...) {
      }
    }
    // The sweeper's own cancellation was absorbed by its own wait: it can go on.
    co_await vantro::sleep(1ms);
    disconnected = true;
  });
  const auto start = std::chrono::steady_clock::now();
  loop.run();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_TRUE(disconnected);
  for (auto& t : created) EXPECT_TRUE(t->cancelled());
  EXPECT_TRUE(loop.allTasks().empty());
}

TEST(Sweep, TasksNeverResumedLeakNothingWhenTheLoopGoes) {
  // Run under ASan: frames of tasks still suspended are destroyed with the loop.
  auto loop = std::make_unique<EventLoop>();
  auto t = loop->spawn(vantro::sleep(30s));
  loop->runFor(10ms);
  EXPECT_FALSE(t->done());
  loop.reset();
}

}  // namespace
