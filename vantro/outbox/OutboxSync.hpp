#pragma once
// Brings the outbox's commits to the disk: a thread of its own, with its own
// connection, runs a checkpoint (which syncs the journal and the database) at
// every interval in which something was committed. The writer never waits for
// it: a passive checkpoint copies what is committed and leaves writers alone.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "vantro/outbox/Sqlite.hpp"

namespace vantro {

class OutboxSync {
 public:
  /// Journal frames (pages) beyond which the journal is started over.
  static constexpr int kRestartFrames = 1000;

  OutboxSync(std::filesystem::path path, std::chrono::milliseconds interval);
  /// Runs a last checkpoint of what was committed, then ends the thread.
  /// Its connection closes then, before the writer's.
  ~OutboxSync();
  OutboxSync(const OutboxSync&) = delete;
  OutboxSync& operator=(const OutboxSync&) = delete;

  /// Something was committed; thread-safe and cheap.
  void committed() { commits_.fetch_add(1, std::memory_order_relaxed); }
  /// Checkpoints completed so far.
  std::uint64_t checkpoints() const { return checkpoints_.load(); }

 private:
  void run();
  void checkpoint(const std::string& path);

  const std::filesystem::path path_;
  const std::chrono::milliseconds interval_;
  std::atomic<std::uint64_t> commits_{0};
  std::atomic<std::uint64_t> checkpoints_{0};
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stopping_ = false;
  // The thread's own: its connection, and the last failure (printed once).
  std::unique_ptr<sqlite::Database> db_;
  std::string lastError_;
  std::thread thread_;
};

}  // namespace vantro
