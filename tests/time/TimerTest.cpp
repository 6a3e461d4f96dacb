#include "vantro/time/Timer/Timer.hpp"

#include <memory>
#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/support/PrintCapture.hpp"
#include "tests/time/ManualClock.hpp"

namespace vantro {
namespace {

using test::ManualClock;

TEST(Timer, FiresOnceAtALaterTurnNotInTheConstructor) {
  EventLoop loop;
  int calls = 0;
  auto body = [&]() -> Awaitable<void> {
    Timer t(0, [&] { ++calls; });
    EXPECT_EQ(calls, 0);
    co_await t.task()->wait();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(t.task()->state(), Task::State::Finished);
    // Cancelling a timer that has fired changes nothing.
    t.cancel();
    t.cancel();
    co_await ManualClock::settle();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(t.task()->state(), Task::State::Finished);
  };
  loop.runUntilComplete(body());
}

TEST(Timer, WaitsForItsTimeoutOnTheClock) {
  EventLoop loop;
  ManualClock clock;
  int calls = 0;
  auto body = [&]() -> Awaitable<void> {
    Timer t(
        2.5, [&] { ++calls; }, clock);
    EXPECT_EQ(t.timeout(), 2.5);
    co_await clock.advance(2.4);
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(t.done());
    co_await clock.advance(0.1);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(t.done());
    co_await clock.advance(100);
    EXPECT_EQ(calls, 1);
  };
  loop.runUntilComplete(body());
}

TEST(Timer, CancelledTimerNeverCalls) {
  EventLoop loop;
  ManualClock clock;
  int calls = 0;
  auto body = [&]() -> Awaitable<void> {
    // Cancelled before its task has even started.
    Timer early(
        0, [&] { ++calls; }, clock);
    early.cancel();
    // Cancelled while sleeping.
    Timer sleeping(
        10, [&] { ++calls; }, clock);
    co_await clock.advance(5);
    EXPECT_EQ(clock.sleeping(), 1u);
    sleeping.cancel();
    sleeping.cancel();
    co_await clock.advance(100);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(early.task()->state(), Task::State::Cancelled);
    EXPECT_EQ(sleeping.task()->state(), Task::State::Cancelled);
    EXPECT_EQ(clock.sleeping(), 0u);
  };
  loop.runUntilComplete(body());
}

TEST(Timer, CallbackErrorIsPrintedAndEndsTheTask) {
  EventLoop loop;
  test::PrintCapture printed;
  auto body = [&]() -> Awaitable<void> {
    Timer t(0, [] { throw std::runtime_error("callback broke"); });
    co_await t.task()->wait();
    EXPECT_EQ(t.task()->state(), Task::State::Failed);
    if (!t.task()->error()) co_return;
    try {
      std::rethrow_exception(t.task()->error());
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "callback broke");
    }
  };
  loop.runUntilComplete(body());
  EXPECT_EQ(printed.lines(),
            std::vector<std::string>{"Timer job after 0 s failed: callback broke"});
}

TEST(Timer, OwnerMayReplaceTheFiringTimerFromItsCallback) {
  // The pattern of a self-re-arming owner: the callback destroys the Timer
  // whose task is running it.
  EventLoop loop;
  ManualClock clock;
  std::unique_ptr<Timer> current;
  int calls = 0;
  std::function<void()> rearm = [&] {
    ++calls;
    current = std::make_unique<Timer>(1, rearm, clock);
  };
  auto body = [&]() -> Awaitable<void> {
    current = std::make_unique<Timer>(1, rearm, clock);
    co_await clock.advance(3);
    EXPECT_EQ(calls, 3);
    current->cancel();
    co_await clock.advance(3);
    EXPECT_EQ(calls, 3);
  };
  loop.runUntilComplete(body());
}

TEST(Timer, AsynchronousWorkOfTheCallbackIsNotAwaited) {
  EventLoop loop;
  ManualClock clock;
  TaskPtr started;
  auto work = [&]() -> Awaitable<void> { co_await clock.sleep(50); };
  auto body = [&]() -> Awaitable<void> {
    Timer t(
        1, [&] { started = EventLoop::running()->spawn(work()); }, clock);
    co_await clock.advance(1);
    EXPECT_TRUE(t.done());
    EXPECT_TRUE(started);
    if (!started) co_return;
    EXPECT_FALSE(started->done());
    co_await clock.advance(50);
    EXPECT_TRUE(started->done());
  };
  loop.runUntilComplete(body());
}

TEST(Timer, NeedsARunningLoop) {
  EXPECT_THROW(Timer(1, [] {}), std::logic_error);
}

}  // namespace
}  // namespace vantro
