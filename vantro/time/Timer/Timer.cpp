#include "vantro/time/Timer/Timer.hpp"

#include <stdexcept>

#include "vantro/runtime/Print.hpp"

namespace vantro {

Timer::Timer(double timeout, std::function<void()> callback, TimerClock& clock)
    : _timeout(timeout),
      _callback(std::make_shared<const std::function<void()>>(std::move(callback))) {
  EventLoop* loop = EventLoop::running();
  if (loop == nullptr) throw std::logic_error("Timer needs a running event loop");
  _task = loop->spawn(_job(_timeout, _callback, clock), "Timer");
}

void Timer::cancel() {
  if (!_task->done()) _task->cancel();
}

Awaitable<void> Timer::_job(double timeout, std::shared_ptr<const std::function<void()>> callback,
                            TimerClock& clock) {
  co_await clock.sleep(timeout);
  // The owner may replace or destroy this Timer from inside the callback (a
  // syncer re-arms itself there); `callback` is held by this frame, not by it.
  std::exception_ptr failure;
  try {
    (*callback)();
  } catch (...) {
    failure = std::current_exception();
  }
  if (!failure) co_return;
  // Nobody awaits a timer's task: without this line the error would vanish.
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    print("Timer job after {} s failed: {}", timeout, e.what());
  } catch (...) {
    print("Timer job after {} s failed", timeout);
  }
  std::rethrow_exception(failure);
}

}  // namespace vantro
