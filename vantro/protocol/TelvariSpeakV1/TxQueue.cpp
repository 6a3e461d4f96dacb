#include "vantro/protocol/TelvariSpeakV1/TxQueue.hpp"

namespace vantro {

void TxQueue::put(Job job) {
  std::unique_lock lock(mutex_);
  notFull_.wait(lock, [this] { return jobs_.size() < capacity_; });
  jobs_.push_back(std::move(job));
  notEmpty_.notify_one();
}

TxQueue::Job TxQueue::take() {
  std::unique_lock lock(mutex_);
  notEmpty_.wait(lock, [this] { return !jobs_.empty(); });
  Job job = std::move(jobs_.front());
  jobs_.pop_front();
  notFull_.notify_one();
  return job;
}

std::size_t TxQueue::size() const {
  std::lock_guard lock(mutex_);
  return jobs_.size();
}

}  // namespace vantro
