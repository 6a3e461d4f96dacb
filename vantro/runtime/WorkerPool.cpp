#include "vantro/runtime/WorkerPool.hpp"

#include <stdexcept>

namespace vantro {

WorkerPool::WorkerPool(asio::any_io_executor loop)
    : loop_(std::move(loop)), worker_([this] { workerMain(); }) {}

WorkerPool::~WorkerPool() {
  shutdown(true);
  if (worker_.joinable()) worker_.detach();  // destroyed by a job on its own worker
}

void WorkerPool::submit(std::function<void()> f) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) throw std::runtime_error("worker pool is shut down");
    queue_.push_back(std::move(f));
  }
  cv_.notify_one();
}

void WorkerPool::shutdown(bool wait) {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (wait && worker_.joinable() && !inWorkerThread()) worker_.join();
}

void WorkerPool::workerMain() {
  for (;;) {
    std::function<void()> f;
    {
      std::unique_lock lock(mutex_);
      cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      f = std::move(queue_.front());
      queue_.pop_front();
    }
    f();
  }
}

}  // namespace vantro
