#include "vantro/time/Timer/TimerClock.hpp"

#include <chrono>

namespace vantro {
namespace {

class SystemTimerClock final : public TimerClock {
 public:
  Awaitable<void> sleep(double seconds) override {
    const auto d = std::chrono::duration<double>(seconds > 0 ? seconds : 0.0);
    co_await vantro::sleep(std::chrono::duration_cast<Duration>(d));
  }
};

}  // namespace

TimerClock& systemTimerClock() {
  static SystemTimerClock clock;
  return clock;
}

}  // namespace vantro
