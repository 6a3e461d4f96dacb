#pragma once
// A one-shot delayed call: runs a callback once, `timeout` seconds after the
// Timer was made, as a task on the running event loop. It never repeats;
// cancel() stops it before it fires.
#include <functional>
#include <memory>

#include "vantro/runtime/EventLoop.hpp"
#include "vantro/time/Timer/TimerClock.hpp"

namespace vantro {

class Timer {
 public:
  /// Starts the timer's task on the event loop running on this thread (throws
  /// std::logic_error if there is none). The task begins at the loop's next
  /// turn; the callback never runs inside the constructor.
  Timer(double timeout, std::function<void()> callback, TimerClock& clock = systemTimerClock());
  /// Destroying the Timer does not stop its task: the task keeps its own copy of
  /// the callback, and only cancel() stops a pending timer. An owner whose
  /// callback refers to itself must cancel before it goes.
  ~Timer() = default;
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  /// Requests cancellation of the task and returns at once. A timer still
  /// sleeping ends cancelled without calling the callback; after the callback
  /// has run, or a second time, it has no effect.
  void cancel();

  /// True once the task has ended: fired, cancelled or failed.
  bool done() const { return _task->done(); }
  double timeout() const { return _timeout; }
  const TaskPtr& task() const { return _task; }

 private:
  // The task's body: sleep, then call the callback once on the loop thread. An
  // exception of the callback is printed (one line) and ends the task with it.
  static Awaitable<void> _job(double timeout, std::shared_ptr<const std::function<void()>> callback,
                              TimerClock& clock);

  double _timeout;
  std::shared_ptr<const std::function<void()>> _callback;
  TaskPtr _task;
};

}  // namespace vantro
