#pragma once
// The publications that wait for the broker, oldest first: what the MQTT
// client has not handed to the broker yet, and what it has handed but the
// broker has not acknowledged.
//
// With an outbox, a publication is committed to it (commit(), one
// transaction for all that came in since the last one) before the client may
// hand it over, and its row is deleted once the broker has acknowledged it
// (with the next commit). Only a small window of rows is in memory; the rest
// waits on disk. Without one, or while the disk fails, publications wait in
// memory up to a limit, beyond which the oldest are dropped. A failed outbox
// is tried again every minute; what waited in memory then moves into it.
//
// Order: a publication is never handed over before an older one, also after a
// restart (the rows are numbered as they were written). When the disk fails
// while older rows still wait on it, the newer ones kept in memory go first.
//
// Loop thread only.
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vantro/outbox/Outbox.hpp"
#include "vantro/outbox/Publication.hpp"

namespace vantro {

class PublicationQueue {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kMaxInMemory = 100000;
  /// Acknowledged rows deleted at the latest once this many have come together.
  static constexpr std::size_t kRemovalBatch = 1000;
  /// Rows read from disk at a time.
  static constexpr std::size_t kLoadChunk = 256;

  /// A publication handed over: done() takes its ticket.
  struct Handed {
    std::uint64_t ticket;
    const Publication& publication;
  };

  explicit PublicationQueue(std::size_t maxInMemory = kMaxInMemory);
  ~PublicationQueue();
  PublicationQueue(const PublicationQueue&) = delete;
  PublicationQueue& operator=(const PublicationQueue&) = delete;

  /// Keeps publications in the outbox from now on. Prints one line with the
  /// number found waiting in it, or, when it cannot be opened, one line with
  /// the reason (publications then wait in memory until a later attempt works).
  void useOutbox(const OutboxSettings& settings);
  bool usesOutbox() const { return outboxSettings_.has_value(); }
  /// The outbox is open (not failed).
  bool outboxOpen() const { return outbox_ != nullptr; }

  /// A new publication; handed out only after the next commit().
  void add(Publication publication);
  /// Commits what add() took and the acknowledged rows in one transaction.
  void commit();
  /// New publications wait for commit(), or enough acknowledged rows do.
  bool commitDue() const;
  /// The outbox was locked for a moment (its sync thread starts the journal
  /// over): commit() and next() should be called again shortly.
  bool retryWanted() const;

  /// The oldest committed publication not handed over yet; valid until done()
  /// or giveBack() for its ticket.
  std::optional<Handed> next();
  /// The broker acknowledged it, or it was given up.
  void done(std::uint64_t ticket);
  /// Handed over but never acknowledged (their client is gone): they are
  /// handed out again, from the oldest.
  void giveBack(const std::vector<std::uint64_t>& tickets);

  /// Publications not acknowledged: waiting, committed or not, and handed.
  std::size_t size() const;
  std::size_t handedCount() const { return handed_.size(); }
  /// When the oldest waiting publication was made (ms since the epoch), 0 if none.
  std::int64_t oldestCreatedMs();
  /// Lowers the in-memory limit (tests).
  void setMaxInMemory(std::size_t count) { maxInMemory_ = count; }

 private:
  struct Entry {
    std::int64_t rowId = 0;  // 0: kept in memory only
    Publication publication;
  };

  void openOutbox();
  long long retrySeconds() const;
  void writeToOutbox(std::vector<Publication> added);
  void outboxFailed(const std::exception& e);
  void keepInMemory(std::vector<Publication> added);
  void forgetRows();
  bool loadFromDisk();

  std::size_t maxInMemory_;
  std::optional<OutboxSettings> outboxSettings_;
  std::unique_ptr<Outbox> outbox_;
  Clock::time_point retryAt_{};
  std::string lastFailure_;

  std::vector<Publication> uncommitted_;
  std::vector<std::int64_t> removals_;  // acknowledged rows still on disk
  std::deque<Entry> ready_;             // committed rows read ahead from disk, oldest first
  std::int64_t cursor_ = 0;             // rows up to this one are in ready_ or handed
  std::int64_t highestRow_ = 0;         // the highest row number written
  bool moreOnDisk_ = false;             // rows beyond the cursor wait on disk
  std::deque<Entry> memory_;            // waiting without an outbox
  std::map<std::uint64_t, Entry> handed_;
  std::uint64_t nextTicket_ = 1;
  bool retryWanted_ = false;
};

}  // namespace vantro
