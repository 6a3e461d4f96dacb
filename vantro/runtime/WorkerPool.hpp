#pragma once
// A pool of exactly one worker thread to which blocking calls are handed from the
// event loop and awaited without blocking it.
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>

#include <asio/any_io_executor.hpp>
#include <asio/post.hpp>

#include "vantro/runtime/Event.hpp"
#include "vantro/runtime/EventLoop.hpp"

namespace vantro {

class WorkerPool {
 public:
  /// Starts the worker. `loop` is the executor on which awaiting tasks resume.
  explicit WorkerPool(asio::any_io_executor loop);
  /// Shuts down and joins (see shutdown()).
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  /// Queues `f` for the worker. Thread-safe. Throws std::runtime_error after shutdown().
  void submit(std::function<void()> f);

  /// Hands `f` to the worker and waits for its result on the loop; the error `f`
  /// throws is rethrown here. If the awaiting task is cancelled, Cancelled is
  /// raised at once and `f` goes on to its end on the worker (its result dropped).
  template <typename F>
  Awaitable<std::invoke_result_t<F>> run(F f);

  /// Refuses new work, lets the worker finish what is queued, and if `wait`
  /// blocks the calling thread until the worker thread has ended. Idempotent.
  void shutdown(bool wait = true);

  bool inWorkerThread() const { return std::this_thread::get_id() == worker_.get_id(); }

 private:
  void workerMain();

  asio::any_io_executor loop_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  std::thread worker_;
};

namespace detail {

template <typename R>
struct PoolCall {
  explicit PoolCall(asio::any_io_executor ex) : done(std::move(ex)) {}
  Event done;
  std::exception_ptr error;
  std::conditional_t<std::is_void_v<R>, bool, std::optional<R>> value{};
};

template <typename R>
Awaitable<R> awaitPoolCall(std::shared_ptr<PoolCall<R>> call) {
  co_await call->done.wait();
  if (call->error) std::rethrow_exception(call->error);
  if constexpr (!std::is_void_v<R>) co_return std::move(*call->value);
}

}  // namespace detail

// Not a coroutine itself: g++ 12 mishandles a capturing lambda passed as a
// temporary to a coroutine whose await then throws (it is destroyed twice), so
// the callable is consumed here and only a shared pointer enters the coroutine.
template <typename F>
Awaitable<std::invoke_result_t<F>> WorkerPool::run(F f) {
  using R = std::invoke_result_t<F>;
  auto call = std::make_shared<detail::PoolCall<R>>(loop_);
  submit([call, f = std::move(f), loop = loop_]() mutable {
    try {
      if constexpr (std::is_void_v<R>) {
        f();
      } else {
        call->value.emplace(f());
      }
    } catch (...) {
      call->error = std::current_exception();
    }
    asio::post(loop, [call] { call->done.set(); });
  });
  return detail::awaitPoolCall<R>(std::move(call));
}

}  // namespace vantro
