#include "vantro/runtime/EventLoop.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "vantro/runtime/Event.hpp"
#include "vantro/runtime/Print.hpp"

namespace vantro {
namespace {
thread_local EventLoop* tRunning = nullptr;

// Sets the loop of the current thread for the duration of a run.
class RunningScope {
 public:
  explicit RunningScope(EventLoop* loop) : previous_(tRunning) { tRunning = loop; }
  ~RunningScope() { tRunning = previous_; }
  RunningScope(const RunningScope&) = delete;
  RunningScope& operator=(const RunningScope&) = delete;

 private:
  EventLoop* previous_;
};
}  // namespace

Task::Task(EventLoop& loop, std::uint64_t id, std::string name)
    : loop_(loop), id_(id), name_(std::move(name)) {}

void Task::cancel() {
  if (done()) return;
  cancelRequested_ = true;
  // Before the first resumption no slot handler is installed yet; the flag is
  // checked when the body starts.
  if (started_) signal_.emit(asio::cancellation_type::terminal);
}

void Task::finish(std::exception_ptr e) {
  if (!e) {
    state_ = State::Finished;
  } else if (isCancellation(e)) {
    state_ = State::Cancelled;
  } else {
    state_ = State::Failed;
    error_ = e;
  }
  auto callbacks = std::move(onDone_);
  onDone_.clear();
  for (auto& f : callbacks) f();
}

void Task::onDone(std::function<void()> f) {
  if (done()) {
    f();
  } else {
    onDone_.push_back(std::move(f));
  }
}

Awaitable<void> Task::wait() {
  if (done()) co_return;
  Event ev(loop_.executor());
  auto self = shared_from_this();
  // The callback may outlive this frame if the waiter is cancelled; it only
  // touches the event through a flag shared with this frame.
  auto alive = std::make_shared<Event*>(&ev);
  onDone([alive] {
    if (*alive) (*alive)->set();
  });
  try {
    co_await ev.wait();
  } catch (...) {
    *alive = nullptr;
    throw;
  }
  *alive = nullptr;
}

Awaitable<bool> Task::waitFor(Duration timeout) {
  if (done()) co_return true;
  Event ev(loop_.executor());
  auto self = shared_from_this();
  auto alive = std::make_shared<Event*>(&ev);
  onDone([alive] {
    if (*alive) (*alive)->set();
  });
  bool ended = false;
  try {
    ended = co_await ev.waitFor(timeout);
  } catch (...) {
    *alive = nullptr;
    throw;
  }
  *alive = nullptr;
  co_return ended || done();
}

EventLoop::EventLoop() = default;

EventLoop::~EventLoop() {
  // Destroying the context destroys the frames of tasks that never finished.
  tasks_.clear();
}

TaskPtr EventLoop::spawn(Awaitable<void> body, std::string name) {
  auto task = std::make_shared<Task>(*this, nextId_++, std::move(name));
  tasks_.emplace(task->id(), task);
  auto launcher = [](TaskPtr t, Awaitable<void> b) -> Awaitable<void> {
    // Cancellation is reported by the runtime's own awaits as Cancelled; asio
    // must not turn every later await of a cancelled task into an error.
    co_await asio::this_coro::throw_if_cancelled(false);
    // co_spawn runs the body inline when called on the loop thread; a task
    // starts at the loop's next turn, never inside spawn().
    co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
    t->started_ = true;
    if (t->cancelRequested_) throw Cancelled();
    co_await std::move(b);
  };
  asio::co_spawn(
      io_, launcher(task, std::move(body)),
      asio::bind_cancellation_slot(task->signal_.slot(), [this, task](std::exception_ptr e) {
        tasks_.erase(task->id());
        task->finish(e);
      }));
  return task;
}

std::vector<TaskPtr> EventLoop::allTasks() const {
  std::vector<TaskPtr> out;
  out.reserve(tasks_.size());
  for (const auto& [id, t] : tasks_) out.push_back(t);
  return out;
}

// One run of the loop on the calling thread: lines printed on it are held for
// the end of each pass, and written also when the run ends by an exception.
class EventLoop::PassScope {
 public:
  explicit PassScope(EventLoop& loop) : loop_(loop), running_(&loop) {
    loop.loopThread_ = std::this_thread::get_id();
    loop.io_.restart();
    holdPrinted(true);
  }
  ~PassScope() {
    holdPrinted(false);
    flushPrinted();
  }
  PassScope(const PassScope&) = delete;
  PassScope& operator=(const PassScope&) = delete;

  // Runs one handler and ends its pass; false when no work is left.
  bool runOne() {
    const bool ran = loop_.io_.run_one() != 0;
    loop_.endPass();
    return ran;
  }

 private:
  EventLoop& loop_;
  RunningScope running_;
};

void EventLoop::atEndOfPass(std::function<void()> f) {
  endOfPass_.push_back(std::move(f));
}

void EventLoop::endPass() {
  // A function may queue another (a commit that prints): all run now.
  while (!endOfPass_.empty()) {
    std::vector<std::function<void()>> due;
    due.swap(endOfPass_);
    for (auto& f : due) f();
  }
  flushPrinted();
}

void EventLoop::run() {
  PassScope pass(*this);
  while (pass.runOne()) {
  }
}

void EventLoop::runUntilComplete(Awaitable<void> main) {
  auto task = spawn(std::move(main), "main");
  {
    PassScope pass(*this);
    while (!task->done() && pass.runOne()) {
    }
  }
  if (task->state() == Task::State::Failed) std::rethrow_exception(task->error());
  if (task->state() == Task::State::Cancelled) throw Cancelled();
}

void EventLoop::runFor(Duration d) {
  PassScope pass(*this);
  const auto deadline = std::chrono::steady_clock::now() + d;
  while (!io_.stopped()) {
    if (io_.run_one_until(deadline) == 0) break;
    endPass();
  }
  endPass();
}

EventLoop* EventLoop::running() {
  return tRunning;
}

Awaitable<void> throwIfCancelled() {
  auto cs = co_await asio::this_coro::cancellation_state;
  if (cs.cancelled() != asio::cancellation_type::none) {
    co_await asio::this_coro::reset_cancellation_state();
    throw Cancelled();
  }
}

Awaitable<void> sleep(Duration d) {
  co_await throwIfCancelled();
  asio::steady_timer timer(co_await asio::this_coro::executor, d);
  asio::error_code ec;
  co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  co_await throwIfCancelled();
}

Awaitable<void> waitFor(TaskPtr task, Duration timeout) {
  bool ended = false;
  try {
    ended = co_await task->waitFor(timeout);
  } catch (const Cancelled&) {
    // The waiter itself is cancelled: so is what it waited for.
    task->cancel();
    throw;
  }
  if (!ended) {
    task->cancel();
    co_await task->wait();
    throw TimeoutError("timed out");
  }
  if (task->state() == Task::State::Failed) std::rethrow_exception(task->error());
  if (task->state() == Task::State::Cancelled) throw Cancelled();
}

Awaitable<void> withTimeout(Awaitable<void> body, Duration timeout, std::string name) {
  auto* loop = EventLoop::running();
  if (!loop) throw std::logic_error("withTimeout needs a running event loop");
  auto task = loop->spawn(std::move(body), std::move(name));
  co_await waitFor(task, timeout);
}

Awaitable<TaskPtr> waitFirst(std::vector<TaskPtr> tasks) {
  if (tasks.empty()) throw std::invalid_argument("waitFirst needs at least one task");
  for (auto& t : tasks) {
    if (t->done()) co_return t;
  }
  auto ev = std::make_shared<Event>(co_await asio::this_coro::executor);
  for (auto& t : tasks) {
    std::weak_ptr<Event> weak = ev;
    t->onDone([weak] {
      if (auto e = weak.lock()) e->set();
    });
  }
  co_await ev->wait();
  for (auto& t : tasks) {
    if (t->done()) co_return t;
  }
  throw std::logic_error("waitFirst woke without a finished task");
}

}  // namespace vantro
