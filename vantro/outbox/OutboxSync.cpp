#include "vantro/outbox/OutboxSync.hpp"

#include <memory>

#include <sqlite3.h>

#include "vantro/runtime/Print.hpp"

namespace vantro {

OutboxSync::OutboxSync(std::filesystem::path path, std::chrono::milliseconds interval)
    : path_(std::move(path)), interval_(interval), thread_([this] { run(); }) {}

OutboxSync::~OutboxSync() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

void OutboxSync::run() {
  std::uint64_t synced = 0;
  std::unique_lock lock(mutex_);
  for (;;) {
    cv_.wait_for(lock, interval_, [this] { return stopping_; });
    const bool last = stopping_;
    const std::uint64_t seen = commits_.load(std::memory_order_relaxed);
    if (seen != synced) {
      lock.unlock();
      checkpoint(path_.string());
      synced = seen;
      lock.lock();
    }
    if (last) return;
  }
}

void OutboxSync::checkpoint(const std::string& path) {
  try {
    if (!db_) {
      db_ = std::make_unique<sqlite::Database>(path, sqlite::Database::Mode::Existing);
      db_->exec("PRAGMA busy_timeout=1000; PRAGMA synchronous=NORMAL");
    }
    // The journal is synced before its pages are copied, the database after.
    int frames = 0;
    int copied = 0;
    db_->check(sqlite3_wal_checkpoint_v2(db_->handle(), nullptr, SQLITE_CHECKPOINT_PASSIVE, &frames,
                                         &copied),
               "checkpoint");
    // Commits that came during it keep the journal from starting over, and
    // under steady traffic that is always so: it would grow for ever. Once it
    // is long, a checkpoint that holds writers off for the few frames left
    // lets the next commit start it from the beginning.
    if (frames > kRestartFrames) {
      db_->check(sqlite3_wal_checkpoint_v2(db_->handle(), nullptr, SQLITE_CHECKPOINT_RESTART,
                                           nullptr, nullptr),
                 "checkpoint");
    }
    checkpoints_.fetch_add(1);
    if (!lastError_.empty()) {
      print("Outbox {}: syncing to disk works again", path);
      lastError_.clear();
    }
  } catch (const std::exception& e) {
    db_.reset();
    // A full disk fails the writer's next commit too, which reports it.
    const auto* sqliteError = dynamic_cast<const sqlite::SqliteError*>(&e);
    const bool full = sqliteError && sqliteError->code() == SQLITE_FULL;
    if (lastError_ != e.what() && !full)
      print("Outbox {}: cannot sync to disk: {}", path, e.what());
    lastError_ = e.what();
  }
}

}  // namespace vantro
