#include "vantro/protocol/TelvariSpeakV1/TxQueue.hpp"

namespace vantro {

void TxQueue::put(Job job) {
  std::unique_lock lock(mutex_);
  notFull_.wait(lock, [this] { return jobs_.size() < capacity_; });
  jobs_.push_back(std::move(job));
  notEmpty_.notify_one();
}

bool TxQueue::tryPut(Job& job) {
  std::lock_guard lock(mutex_);
  if (closed_ || jobs_.size() >= capacity_) return false;
  jobs_.push_back(std::move(job));
  notEmpty_.notify_one();
  return true;
}

void TxQueue::push(Job job) {
  std::lock_guard lock(mutex_);
  jobs_.push_back(std::move(job));
  notEmpty_.notify_one();
}

TxQueue::Job TxQueue::take() {
  Job job;
  std::function<void()> onTaken;
  {
    std::unique_lock lock(mutex_);
    ++waitingTakers_;
    notEmpty_.wait(lock, [this] { return !jobs_.empty() || closed_; });
    --waitingTakers_;
    if (jobs_.empty()) return {};
    job = std::move(jobs_.front());
    jobs_.pop_front();
    onTaken = onTaken_;
  }
  notFull_.notify_one();
  if (onTaken) onTaken();
  return job;
}

std::size_t TxQueue::close(const Job& release) {
  std::lock_guard lock(mutex_);
  closed_ = true;
  const std::size_t left = jobs_.size();
  if (waitingTakers_ > 0 && jobs_.empty()) jobs_.push_back(release);
  notEmpty_.notify_all();
  return left;
}

std::deque<TxQueue::Job> TxQueue::drain() {
  std::deque<Job> out;
  {
    std::lock_guard lock(mutex_);
    out.swap(jobs_);
  }
  notFull_.notify_all();
  return out;
}

void TxQueue::reopen() {
  std::lock_guard lock(mutex_);
  closed_ = false;
}

bool TxQueue::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

void TxQueue::setOnTaken(std::function<void()> onTaken) {
  std::lock_guard lock(mutex_);
  onTaken_ = std::move(onTaken);
}

std::size_t TxQueue::size() const {
  std::lock_guard lock(mutex_);
  return jobs_.size();
}

}  // namespace vantro
