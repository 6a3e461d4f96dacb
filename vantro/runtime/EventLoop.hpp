#pragma once
// The event loop of the daemon: one asio io_context run on one thread, with a
// registry of every live task so that a run can be torn down by cancelling all
// of them, whoever created them.
//
// Cancellation model (like asyncio's): Task::cancel() raises vantro::Cancelled
// at the task's current await. Every await of the runtime, the serial link and
// the MQTT client checks for it; the request is consumed when Cancelled is
// thrown, so a task that catches Cancelled can go on awaiting (for clean-up).
// Raw asio operations awaited inside a task must go through cancellable() (or
// check throwIfCancelled() afterwards), so that cancellation surfaces as
// Cancelled and not as asio's operation_aborted.
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/io_context.hpp>

#include "vantro/runtime/Errors.hpp"

namespace vantro {

using Duration = std::chrono::steady_clock::duration;
template <typename T = void>
using Awaitable = asio::awaitable<T>;

class EventLoop;

/// A coroutine running on the event loop.
class Task : public std::enable_shared_from_this<Task> {
 public:
  enum class State { Running, Finished, Cancelled, Failed };

  Task(EventLoop& loop, std::uint64_t id, std::string name);
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  std::uint64_t id() const { return id_; }
  const std::string& name() const { return name_; }
  State state() const { return state_; }
  bool done() const { return state_ != State::Running; }
  bool cancelled() const { return state_ == State::Cancelled; }
  /// The error that ended the task (State::Failed), else nullptr.
  std::exception_ptr error() const { return error_; }

  /// Requests cancellation and returns at once. Cancelled is raised at the
  /// task's current await, or at its start if it has not run yet. No effect on
  /// a task that is done.
  void cancel();

  /// Waits until the task is done, whatever its outcome (the outcome is not
  /// rethrown; see error()). Throws Cancelled if the waiting task is cancelled.
  Awaitable<void> wait();
  /// As wait(), for at most `timeout`; true when the task is done.
  Awaitable<bool> waitFor(Duration timeout);

  /// Calls `f` on the loop thread once the task is done (at once if it is).
  void onDone(std::function<void()> f);

 private:
  friend class EventLoop;
  void finish(std::exception_ptr e);

  EventLoop& loop_;
  std::uint64_t id_;
  std::string name_;
  State state_ = State::Running;
  bool cancelRequested_ = false;
  bool started_ = false;
  std::exception_ptr error_;
  asio::cancellation_signal signal_;
  std::vector<std::function<void()>> onDone_;
};

using TaskPtr = std::shared_ptr<Task>;

class EventLoop {
 public:
  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  asio::io_context& context() { return io_; }
  asio::any_io_executor executor() { return io_.get_executor(); }

  /// Starts `body` as a task; it begins at the loop's next turn.
  TaskPtr spawn(Awaitable<void> body, std::string name = {});

  /// Starts `f()` as a task and keeps the callable alive until the task is
  /// done. Use this for capturing lambdas: a coroutine lambda keeps its captures
  /// in the closure object, so `spawn([&]() -> Awaitable<void> {...}())` would
  /// leave the coroutine with dangling captures once the temporary closure goes.
  template <typename F>
  requires std::is_invocable_r_v<Awaitable<void>, F&> TaskPtr spawn(F f, std::string name = {}) {
    auto holder = std::make_shared<F>(std::move(f));
    return spawn(
        [](std::shared_ptr<F> h) -> Awaitable<void> { co_await (*h)(); }(std::move(holder)),
        std::move(name));
  }

  /// Every task that has not finished yet, in creation order.
  std::vector<TaskPtr> allTasks() const;

  /// Runs the loop on the calling thread until no work is left.
  void run();
  /// Runs `main` as a task and the loop until that task is done; rethrows its error.
  void runUntilComplete(Awaitable<void> main);
  /// Runs the loop for at most `d` (tests).
  void runFor(Duration d);

  /// Runs `f` on the loop thread once the handler now running has returned,
  /// before the loop waits again or runs the next one (work collected over one
  /// pass and done once: a commit, a flush). Lines printed during a pass are
  /// written after these functions have run. Loop thread only.
  void atEndOfPass(std::function<void()> f);

  /// True on the thread that is running this loop.
  bool inLoopThread() const { return std::this_thread::get_id() == loopThread_; }
  /// The loop running on the calling thread, or nullptr.
  static EventLoop* running();

 private:
  friend class Task;
  class PassScope;
  void endPass();

  asio::io_context io_;
  std::vector<std::function<void()>> endOfPass_;
  std::map<std::uint64_t, TaskPtr> tasks_;
  std::uint64_t nextId_ = 1;
  std::thread::id loopThread_;
};

/// Throws Cancelled (and consumes the request) if the current task has been
/// asked to cancel.
Awaitable<void> throwIfCancelled();

/// Sleeps for `d`. Cancellation ends the sleep at once with Cancelled.
Awaitable<void> sleep(Duration d);

/// Like asyncio.wait_for: waits for `task` for at most `timeout`. On time-out
/// the task is cancelled, awaited, and TimeoutError is thrown. A task that
/// failed has its error rethrown; a task cancelled by someone else gives Cancelled.
Awaitable<void> waitFor(TaskPtr task, Duration timeout);

/// Runs `body` as its own task and waits for it as waitFor() does.
Awaitable<void> withTimeout(Awaitable<void> body, Duration timeout, std::string name = {});

/// Waits until the first of `tasks` is done and returns it (the others go on).
Awaitable<TaskPtr> waitFirst(std::vector<TaskPtr> tasks);

}  // namespace vantro
