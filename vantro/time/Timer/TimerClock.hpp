#pragma once
// The time source of Timer. The daemon uses the event loop's own sleep; tests
// install a clock they advance by hand, so that schedules of minutes can be
// checked without waiting.
#include "vantro/runtime/EventLoop.hpp"

namespace vantro {

class TimerClock {
 public:
  virtual ~TimerClock() = default;
  /// Suspends the calling task for `seconds` (0 or less: until the loop's next
  /// turn). Cancellation of the task ends the wait at once with Cancelled.
  virtual Awaitable<void> sleep(double seconds) = 0;
};

/// The real clock: vantro::sleep on the running event loop.
TimerClock& systemTimerClock();

}  // namespace vantro
