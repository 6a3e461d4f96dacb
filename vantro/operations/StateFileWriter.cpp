#include "vantro/operations/StateFileWriter.hpp"

#include <exception>
#include <utility>

#include "vantro/runtime/AtomicFile.hpp"
#include "vantro/runtime/Print.hpp"

namespace vantro {

StateFileWriter::StateFileWriter(std::string dir, std::string name)
    : dir_(std::move(dir)), name_(std::move(name)) {}

StateFileWriter::~StateFileWriter() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void StateFileWriter::submit(std::string content) {
  {
    const std::lock_guard lock(mutex_);
    pending_ = std::move(content);
    // Started at the first write: most sessions (tests) never write.
    if (!worker_.joinable()) worker_ = std::thread([this] { workerMain(); });
  }
  cv_.notify_all();
}

void StateFileWriter::flush() {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [this] { return !pending_ && !writing_; });
}

void StateFileWriter::workerMain() {
  std::unique_lock lock(mutex_);
  for (;;) {
    cv_.wait(lock, [this] { return pending_ || stopping_; });
    if (!pending_) return;
    const std::string content = std::move(*pending_);
    pending_.reset();
    writing_ = true;
    lock.unlock();
    try {
      const auto* data = reinterpret_cast<const Byte*>(content.data());
      writeFileAtomically(dir_, name_, ByteView(data, content.size()));
    } catch (const std::exception& e) {
      print("Cannot save {}/{}: {}", dir_, name_, e.what());
    }
    lock.lock();
    writing_ = false;
    cv_.notify_all();
  }
}

}  // namespace vantro
