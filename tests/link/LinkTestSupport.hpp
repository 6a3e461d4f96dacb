#pragma once
// Shared bits of the serial link tests: a link on a fresh pseudo-terminal and a
// way to run one coroutine to its end.
#include <chrono>
#include <memory>

#include "tests/support/Pty.hpp"
#include "vantro/link/SerialLink.hpp"
#include "vantro/runtime/EventLoop.hpp"

namespace vantro::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

/// Short enough to keep the suite quick, long enough for a loaded machine.
constexpr std::chrono::milliseconds kShortTimeout{300};

struct LinkFixture {
  explicit LinkFixture(std::chrono::milliseconds readTimeout = kShortTimeout)
      : link(loop.context(), pty.slavePath(), 115200, readTimeout) {}

  /// Runs `body` as a task until it ends, rethrowing its error.
  void run(Awaitable<void> body) { loop.runUntilComplete(std::move(body)); }

  Pty pty;
  EventLoop loop;
  SerialLink link;
};

inline double secondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

}  // namespace vantro::test
