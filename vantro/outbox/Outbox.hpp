#pragma once
// The publications waiting for the broker, kept in one SQLite database (WAL
// journal) so that a killed daemon or a power cut does not lose them.
//
// Commits are not synced: they reach the operating system at once (a killed
// daemon loses nothing committed) and the disk at the next checkpoint, which a
// thread of its own runs with its own connection every sync interval (a power
// cut loses at most that interval). The loop thread that writes never waits
// for the disk.
//
// Rows are numbered in the order they were written; the numbers only grow for
// the life of the object, also when the table runs empty.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "vantro/outbox/Publication.hpp"
#include "vantro/outbox/Sqlite.hpp"

namespace vantro {

struct OutboxSettings {
  std::filesystem::path path;
  /// Budget of the rows' pages; above it the oldest are dropped.
  std::uint64_t maxBytes = 100ULL * 1024 * 1024;
  std::chrono::milliseconds syncInterval{5000};
  /// After a fault of the disk, how long publications wait in memory before
  /// the outbox is tried again.
  std::chrono::milliseconds retryInterval{60000};
};

struct StoredPublication {
  std::int64_t id = 0;
  Publication publication;
};

class OutboxSync;

/// The outbox is locked for a moment by its sync thread: try again soon.
bool isBusy(const std::exception& e);

class Outbox {
 public:
  /// Rows dropped at a time when the budget is exceeded.
  static constexpr std::size_t kDropChunk = 1000;

  /// Opens or creates the database (mode 0600). A file that SQLite reports as
  /// not a database or damaged is moved aside to "{path}.corrupt-{unix time}"
  /// with a printed line, and a new one is created. Throws
  /// sqlite::SqliteError for every other fault (read-only or full file system,
  /// I/O error).
  explicit Outbox(OutboxSettings settings);
  /// Stops the sync thread; closing the database checkpoints it.
  ~Outbox();
  Outbox(const Outbox&) = delete;
  Outbox& operator=(const Outbox&) = delete;

  /// Moves a damaged database and its journal aside with a printed line.
  static void moveAside(const std::filesystem::path& path, const std::string& why);

  /// In one transaction: appends `added` in order and deletes the rows
  /// numbered in `removed`. Returns the number of the first appended row (the
  /// others follow it). Throws sqlite::SqliteError; nothing is written then.
  /// A write never waits for the lock: while the sync thread holds it, this
  /// throws at once with SQLITE_BUSY (isBusy()).
  std::int64_t write(std::span<const Publication> added, std::span<const std::int64_t> removed);
  /// Up to `limit` rows numbered above `afterId`, oldest first.
  std::vector<StoredPublication> load(std::int64_t afterId, std::size_t limit);
  /// While the rows take more than the budget, drops the oldest numbered above
  /// `afterId` in chunks of kDropChunk. Returns how many were dropped.
  std::size_t enforceBudget(std::int64_t afterId);

  /// Rows appended from now on are numbered above `id` at least.
  void numberAfter(std::int64_t id) { nextId_ = std::max(nextId_, id + 1); }
  std::size_t count() const { return count_; }
  /// When the oldest row was made (milliseconds since the epoch), 0 if none.
  std::int64_t oldestCreatedMs();
  /// Bytes of the pages that hold rows.
  std::uint64_t usedBytes();
  const OutboxSettings& settings() const { return settings_; }

 private:
  void open();
  void closeDatabase();

  OutboxSettings settings_;
  std::unique_ptr<sqlite::Database> db_;
  std::unique_ptr<sqlite::Statement> insert_;
  std::unique_ptr<sqlite::Statement> remove_;
  std::unique_ptr<sqlite::Statement> select_;
  std::unique_ptr<sqlite::Statement> pageCount_;
  std::unique_ptr<sqlite::Statement> freeCount_;
  std::uint64_t pageSize_ = 4096;
  std::int64_t nextId_ = 1;
  std::size_t count_ = 0;
  std::unique_ptr<OutboxSync> sync_;
};

}  // namespace vantro
