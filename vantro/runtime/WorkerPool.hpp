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

template <typename F>
Awaitable<std::invoke_result_t<F>> WorkerPool::run(F f) {
  using R = std::invoke_result_t<F>;
  struct Shared {
    explicit Shared(asio::any_io_executor ex) : done(std::move(ex)) {}
    Event done;
    std::exception_ptr error;
    std::conditional_t<std::is_void_v<R>, bool, std::optional<R>> value{};
  };
  auto shared = std::make_shared<Shared>(loop_);
  submit([shared, f = std::move(f), loop = loop_]() mutable {
    try {
      if constexpr (std::is_void_v<R>) {
        f();
      } else {
        shared->value.emplace(f());
      }
    } catch (...) {
      shared->error = std::current_exception();
    }
    asio::post(loop, [shared] { shared->done.set(); });
  });
  co_await shared->done.wait();
  if (shared->error) std::rethrow_exception(shared->error);
  if constexpr (!std::is_void_v<R>) co_return std::move(*shared->value);
}

}  // namespace vantro
