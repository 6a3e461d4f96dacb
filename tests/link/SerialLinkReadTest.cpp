#include <numeric>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>

#include "tests/link/LinkTestSupport.hpp"
#include "vantro/runtime/Errors.hpp"

namespace vantro::test {
namespace {

// The board sending `text` after `delay`. Parameters live in the coroutine frame.
Awaitable<void> writeLater(Pty& pty, Duration delay, std::string text) {
  co_await sleep(delay);
  pty.write(text);
}

Bytes allByteValues() {
  Bytes b(256);
  std::iota(b.begin(), b.end(), Byte{0});
  return b;
}

TEST(SerialLinkRead, NothingArrivingReturnsEmptyAfterTheOneSecondTimeout) {
  LinkFixture f(SerialLink::kDefaultReadTimeout);
  Bytes got{1};
  double elapsed = 0;
  f.run([&]() -> Awaitable<void> {
    const auto start = Clock::now();
    got = co_await f.link.read_async(1);
    elapsed = secondsSince(start);
  }());
  EXPECT_TRUE(got.empty());
  EXPECT_GE(elapsed, 0.95);
  EXPECT_LT(elapsed, 3.0);
}

TEST(SerialLinkRead, FewerBytesThanAskedComeBackAtTheTimeout) {
  LinkFixture f;
  f.pty.write("abc");
  Bytes got;
  double elapsed = 0;
  f.run([&]() -> Awaitable<void> {
    const auto start = Clock::now();
    got = co_await f.link.read_async(10);
    elapsed = secondsSince(start);
  }());
  EXPECT_EQ(toString(got), "abc");
  EXPECT_GE(elapsed, 0.95 * kShortTimeout.count() / 1000.0);
}

TEST(SerialLinkRead, EveryReadGetsItsOwnFullTimeOutAfterEarlierOnesCompleted) {
  // The deadline of a read that completed must not cut a later one short.
  LinkFixture f;
  Bytes first, silent, last;
  double silentElapsed = 0;
  f.run([&]() -> Awaitable<void> {
    f.pty.write("a");
    first = co_await f.link.read_async(1);
    co_await sleep(kShortTimeout / 2);
    const auto start = Clock::now();
    silent = co_await f.link.read_async(1);
    silentElapsed = secondsSince(start);
    f.pty.write("b");
    last = co_await f.link.read_async(1);
  }());
  EXPECT_EQ(toString(first), "a");
  EXPECT_TRUE(silent.empty());
  EXPECT_GE(silentElapsed, 0.95 * kShortTimeout.count() / 1000.0);
  EXPECT_EQ(toString(last), "b");
}

TEST(SerialLinkRead, ReadTakesAtMostNAndLeavesTheRestInOrder) {
  LinkFixture f;
  Bytes first, second;
  double elapsed = 0;
  f.run([&]() -> Awaitable<void> {
    f.pty.write("12345");
    auto start = Clock::now();
    // The second part arrives while the read waits.
    auto writer = f.loop.spawn(writeLater(f.pty, 50ms, "6789ABCD"));
    first = co_await f.link.read_async(10);
    elapsed = secondsSince(start);
    second = co_await f.link.read_async(10);
    EXPECT_TRUE(co_await writer->waitFor(3s));
  }());
  EXPECT_EQ(toString(first), "123456789A");
  EXPECT_LT(elapsed, 0.9 * kShortTimeout.count() / 1000.0) << "a complete read waited";
  EXPECT_EQ(toString(second), "BCD");
}

TEST(SerialLinkRead, OneByteReadsSeeTheStreamInOrder) {
  LinkFixture f;
  f.pty.write("HL\x02rest");
  std::string got;
  f.run([&]() -> Awaitable<void> {
    for (int i = 0; i < 7; ++i) got += toString(co_await f.link.read_async(1));
    got += toString(co_await f.link.read_async(0));
  }());
  EXPECT_EQ(got, "HL\x02rest");
}

TEST(SerialLinkRead, ReadlineReturnsOneLineWithItsLineEnd) {
  LinkFixture f;
  f.pty.write("abc\r\nsecond line\r\ntail");
  Bytes first, second, tail, none;
  double tailElapsed = 0;
  f.run([&]() -> Awaitable<void> {
    first = co_await f.link.readline_async();
    second = co_await f.link.readline_async();
    const auto start = Clock::now();
    tail = co_await f.link.readline_async();
    tailElapsed = secondsSince(start);
    none = co_await f.link.readline_async();
  }());
  EXPECT_EQ(toString(first), "abc\r\n");
  EXPECT_EQ(toString(second), "second line\r\n");
  EXPECT_EQ(toString(tail), "tail");
  EXPECT_GE(tailElapsed, 0.95 * kShortTimeout.count() / 1000.0);
  EXPECT_TRUE(none.empty());
}

TEST(SerialLinkRead, ReadlineCompletesWhenTheLineEndArrivesLater) {
  LinkFixture f;
  Bytes line;
  f.run([&]() -> Awaitable<void> {
    f.pty.write("LG partial ");
    auto writer = f.loop.spawn(writeLater(f.pty, 50ms, "end\r\nnext"));
    line = co_await f.link.readline_async();
    EXPECT_TRUE(co_await writer->waitFor(3s));
    EXPECT_EQ(toString(co_await f.link.read_async(4)), "next");
  }());
  EXPECT_EQ(toString(line), "LG partial end\r\n");
}

TEST(SerialLinkRead, AllByteValuesPassUnchangedBothWays) {
  LinkFixture f;
  const Bytes all = allByteValues();
  f.pty.write(all);
  Bytes got;
  f.run([&]() -> Awaitable<void> { got = co_await f.link.read_async(all.size()); }());
  EXPECT_EQ(got, all);

  f.link.writeCommand(all);
  EXPECT_EQ(f.pty.read(all.size(), 2s), all);
}

TEST(SerialLinkRead, BlockingReadSharesTheBufferWithAsyncReads) {
  LinkFixture f;
  f.pty.write("\r\nPM\x01\x02\x03");
  f.run([&]() -> Awaitable<void> {
    // Fills the read-ahead buffer with everything, takes only the line.
    EXPECT_EQ(toString(co_await f.link.readline_async()), "\r\n");
  }());
  EXPECT_EQ(toString(f.link.read(2)), "PM");
  EXPECT_EQ(f.link.read(3), (Bytes{1, 2, 3}));
  const auto start = Clock::now();
  EXPECT_TRUE(f.link.read(3).empty());
  EXPECT_GE(secondsSince(start), 0.95 * kShortTimeout.count() / 1000.0);
}

TEST(SerialLinkRead, BlockingReadWaitsForLateBytes) {
  LinkFixture f;
  std::thread board([&] {
    std::this_thread::sleep_for(50ms);
    f.pty.write("r");
    std::this_thread::sleep_for(30ms);
    f.pty.write("st");
  });
  const Bytes got = f.link.read(3);
  board.join();
  EXPECT_EQ(toString(got), "rst");
}

TEST(SerialLinkRead, CancelledReadRaisesCancelledPromptlyAndLosesNoBytes) {
  LinkFixture f(SerialLink::kDefaultReadTimeout);
  f.pty.write("SD");
  TaskPtr reader;
  double cancelledAfter = -1;
  Bytes later;
  f.run([&]() -> Awaitable<void> {
    auto body = [&]() -> Awaitable<void> { co_await f.link.read_async(5); };
    reader = f.loop.spawn(body());
    co_await sleep(100ms);  // the reader now waits, "SD" sits in the buffer
    const auto start = Clock::now();
    reader->cancel();
    EXPECT_TRUE(co_await reader->waitFor(3s));
    cancelledAfter = secondsSince(start);
    f.pty.write("\x05xy");
    later = co_await f.link.read_async(5);
  }());
  EXPECT_EQ(reader->state(), Task::State::Cancelled);
  EXPECT_GE(cancelledAfter, 0.0);
  EXPECT_LT(cancelledAfter, 0.5);
  EXPECT_EQ(toString(later), "SD\x05xy");
}

TEST(SerialLinkRead, CancelledReadlineRaisesCancelled) {
  LinkFixture f(SerialLink::kDefaultReadTimeout);
  bool sawCancelled = false;
  f.run([&]() -> Awaitable<void> {
    auto body = [&]() -> Awaitable<void> {
      try {
        co_await f.link.readline_async();
      } catch (const Cancelled&) {
        sawCancelled = true;
        throw;
      }
    };
    auto reader = f.loop.spawn(body());
    co_await sleep(50ms);
    reader->cancel();
    EXPECT_TRUE(co_await reader->waitFor(500ms));
  }());
  EXPECT_TRUE(sawCancelled);
}

TEST(SerialLinkRead, CloseEndsPendingReadsWithAnError) {
  LinkFixture f(SerialLink::kDefaultReadTimeout);
  std::exception_ptr error;
  double elapsed = -1;
  f.run([&]() -> Awaitable<void> {
    const auto start = Clock::now();
    auto body = [&]() -> Awaitable<void> {
      try {
        co_await f.link.read_async(1);
      } catch (...) {
        error = std::current_exception();
      }
      elapsed = secondsSince(start);
    };
    auto reader = f.loop.spawn(body());
    co_await sleep(50ms);
    f.link.close();
    EXPECT_TRUE(co_await reader->waitFor(3s));
  }());
  ASSERT_TRUE(error);
  EXPECT_THROW(std::rethrow_exception(error), std::system_error);
  EXPECT_LT(elapsed, 0.5);
}

TEST(SerialLinkRead, FarEndClosingMakesReadsRaiseInsteadOfReturningEmpty) {
  LinkFixture f(SerialLink::kDefaultReadTimeout);
  std::exception_ptr asyncError;
  double elapsed = -1;
  f.run([&]() -> Awaitable<void> {
    const auto start = Clock::now();
    auto body = [&]() -> Awaitable<void> {
      try {
        co_await f.link.read_async(1);
      } catch (...) {
        asyncError = std::current_exception();
      }
      elapsed = secondsSince(start);
    };
    auto reader = f.loop.spawn(body());
    co_await sleep(50ms);
    f.pty.closeMaster();
    EXPECT_TRUE(co_await reader->waitFor(3s));
  }());
  ASSERT_TRUE(asyncError);
  try {
    std::rethrow_exception(asyncError);
  } catch (const std::system_error& e) {
    EXPECT_NE(std::string(e.what()).find(f.link.path()), std::string::npos) << e.what();
  }
  EXPECT_LT(elapsed, 0.5) << "the hang-up was only noticed at the time-out";

  // Every later read keeps failing at once, async, line and blocking alike.
  bool lineThrew = false;
  f.run([&]() -> Awaitable<void> {
    try {
      co_await f.link.readline_async();
    } catch (const std::system_error&) {
      lineThrew = true;
    }
  }());
  EXPECT_TRUE(lineThrew);
  const auto start = Clock::now();
  EXPECT_THROW(f.link.read(1), std::system_error);
  EXPECT_LT(secondsSince(start), 0.5);
}

}  // namespace
}  // namespace vantro::test
