#include "vantro/outbox/PublicationQueue.hpp"

#include <algorithm>

#include "vantro/runtime/Print.hpp"

namespace vantro {
namespace {

std::int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool isCorrupt(const std::exception& e) {
  const auto* sqliteError = dynamic_cast<const sqlite::SqliteError*>(&e);
  return sqliteError && sqliteError->corrupt();
}

}  // namespace

PublicationQueue::PublicationQueue(std::size_t maxInMemory) : maxInMemory_(maxInMemory) {}

PublicationQueue::~PublicationQueue() {
  // What was acknowledged leaves the outbox; what is still waiting stays.
  if (outbox_ && !removals_.empty()) {
    try {
      outbox_->write({}, removals_);
    } catch (const std::exception& e) {
      print("Outbox {}: cannot record the last acknowledgements: {}",
            outboxSettings_->path.string(), e.what());
    }
  }
}

long long PublicationQueue::retrySeconds() const {
  return std::chrono::duration_cast<std::chrono::seconds>(outboxSettings_->retryInterval).count();
}

void PublicationQueue::useOutbox(const OutboxSettings& settings) {
  outboxSettings_ = settings;
  openOutbox();
  if (outbox_) {
    print("Outbox {}: {} readings waiting for the broker", settings.path.string(),
          outbox_->count());
  }
}

void PublicationQueue::openOutbox() {
  try {
    outbox_ = std::make_unique<Outbox>(*outboxSettings_);
    outbox_->numberAfter(highestRow_);
    moreOnDisk_ = outbox_->count() > 0;
  } catch (const std::exception& e) {
    outbox_.reset();
    retryAt_ = Clock::now() + outboxSettings_->retryInterval;
    if (lastFailure_ != e.what()) {
      print("Outbox {} unavailable: {}; readings wait in memory, next attempt in {} s",
            outboxSettings_->path.string(), e.what(), retrySeconds());
    }
    lastFailure_ = e.what();
  }
}

void PublicationQueue::add(Publication publication) {
  if (publication.createdMs == 0) publication.createdMs = nowMs();
  uncommitted_.push_back(std::move(publication));
}

bool PublicationQueue::commitDue() const {
  return !uncommitted_.empty() || removals_.size() >= kRemovalBatch;
}

bool PublicationQueue::retryWanted() const {
  return retryWanted_;
}

void PublicationQueue::commit() {
  retryWanted_ = false;
  if (!outbox_ && outboxSettings_ && Clock::now() >= retryAt_) {
    openOutbox();
    if (outbox_ && !lastFailure_.empty()) {
      print("Outbox {} works again; {} readings move into it from memory",
            outboxSettings_->path.string(), memory_.size());
      lastFailure_.clear();
    }
  }
  std::vector<Publication> added;
  if (outbox_) {
    // What waited in memory is older than what came since: it goes first.
    added.reserve(memory_.size() + uncommitted_.size());
    for (Entry& e : memory_) added.push_back(std::move(e.publication));
    memory_.clear();
  }
  for (Publication& p : uncommitted_) added.push_back(std::move(p));
  uncommitted_.clear();
  if (outbox_) {
    writeToOutbox(std::move(added));
  } else {
    keepInMemory(std::move(added));
  }
}

void PublicationQueue::writeToOutbox(std::vector<Publication> added) {
  if (added.empty() && removals_.empty()) return;
  std::int64_t first = 0;
  try {
    first = outbox_->write(added, removals_);
  } catch (const std::exception& e) {
    if (isBusy(e)) {
      // Not handed out before they are committed: they wait, in order.
      uncommitted_.insert(uncommitted_.begin(), std::make_move_iterator(added.begin()),
                          std::make_move_iterator(added.end()));
      retryWanted_ = true;
      return;
    }
    outboxFailed(e);
    if (!outbox_) {
      keepInMemory(std::move(added));
      return;
    }
    // A damaged file was replaced by a new one: once more, after what was
    // read ahead from the old one.
    std::vector<Publication> retry;
    for (Entry& waiting : memory_) retry.push_back(std::move(waiting.publication));
    memory_.clear();
    for (Publication& p : added) retry.push_back(std::move(p));
    added = std::move(retry);
    try {
      first = outbox_->write(added, removals_);
    } catch (const std::exception& again) {
      outboxFailed(again);
      keepInMemory(std::move(added));
      return;
    }
  }
  removals_.clear();
  const auto count = static_cast<std::int64_t>(added.size());
  if (count > 0) highestRow_ = first + count - 1;
  // Fresh rows stay in memory for the hand-over unless older ones wait on
  // disk or the read-ahead is full; then they are read back in turn.
  if (!moreOnDisk_ && ready_.size() + added.size() <= 2 * kLoadChunk) {
    for (std::int64_t i = 0; i < count; ++i) {
      ready_.push_back(Entry{first + i, std::move(added[static_cast<std::size_t>(i)])});
    }
    if (count > 0) cursor_ = highestRow_;
  } else if (count > 0) {
    moreOnDisk_ = true;
  }
  try {
    outbox_->enforceBudget(cursor_);
  } catch (const std::exception& e) {
    if (!isBusy(e)) outboxFailed(e);
  }
}

void PublicationQueue::outboxFailed(const std::exception& e) {
  const std::string path = outboxSettings_->path.string();
  outbox_.reset();
  if (isCorrupt(e)) {
    forgetRows();
    try {
      Outbox::moveAside(outboxSettings_->path, e.what());
      openOutbox();
      return;
    } catch (const std::exception& moveFailure) {
      return outboxFailed(moveFailure);
    }
  }
  retryAt_ = Clock::now() + outboxSettings_->retryInterval;
  if (lastFailure_ != e.what()) {
    print("Outbox {} failed: {}; readings wait in memory, next attempt in {} s", path, e.what(),
          retrySeconds());
  }
  lastFailure_ = e.what();
}

void PublicationQueue::forgetRows() {
  // The rows' numbers mean nothing in a new file: what was read ahead waits
  // in memory, ahead of what waited there already.
  for (auto it = ready_.rbegin(); it != ready_.rend(); ++it) {
    memory_.push_front(Entry{0, std::move(it->publication)});
  }
  ready_.clear();
  for (auto& [ticket, entry] : handed_) entry.rowId = 0;
  removals_.clear();
  cursor_ = 0;
  highestRow_ = 0;
  moreOnDisk_ = false;
}

void PublicationQueue::keepInMemory(std::vector<Publication> added) {
  for (Publication& p : added) memory_.push_back(Entry{0, std::move(p)});
  while (memory_.size() > maxInMemory_) {
    print("MQTT publication queue full ({} messages): dropped the oldest, on topic {}",
          maxInMemory_, memory_.front().publication.topic);
    memory_.pop_front();
  }
}

bool PublicationQueue::loadFromDisk() {
  retryWanted_ = false;
  std::vector<StoredPublication> rows;
  try {
    rows = outbox_->load(cursor_, kLoadChunk);
  } catch (const std::exception& e) {
    if (isBusy(e)) {
      retryWanted_ = true;
    } else {
      outboxFailed(e);
    }
    return false;
  }
  if (rows.size() < kLoadChunk) moreOnDisk_ = false;
  for (StoredPublication& row : rows) {
    cursor_ = row.id;
    ready_.push_back(Entry{row.id, std::move(row.publication)});
  }
  return !rows.empty();
}

std::optional<PublicationQueue::Handed> PublicationQueue::next() {
  if (ready_.empty() && moreOnDisk_ && outbox_) loadFromDisk();
  std::deque<Entry>* source = !ready_.empty() ? &ready_ : !memory_.empty() ? &memory_ : nullptr;
  if (!source) return std::nullopt;
  const auto [it, inserted] = handed_.emplace(nextTicket_++, std::move(source->front()));
  source->pop_front();
  return Handed{it->first, it->second.publication};
}

void PublicationQueue::done(std::uint64_t ticket) {
  const auto it = handed_.find(ticket);
  if (it == handed_.end()) return;
  if (it->second.rowId != 0 && outboxSettings_) {
    removals_.push_back(it->second.rowId);
    // While the outbox is away the list is bounded; a row it loses is only
    // sent once more.
    if (removals_.size() > maxInMemory_) removals_.erase(removals_.begin());
  }
  handed_.erase(it);
}

void PublicationQueue::giveBack(const std::vector<std::uint64_t>& tickets) {
  std::vector<std::uint64_t> sorted(tickets);
  std::sort(sorted.begin(), sorted.end(), std::greater<>());
  // Newest first to the front: the oldest ends up in front, ahead of the
  // entries handed out after it.
  for (const std::uint64_t ticket : sorted) {
    const auto it = handed_.find(ticket);
    if (it == handed_.end()) continue;
    (it->second.rowId != 0 ? ready_ : memory_).push_front(std::move(it->second));
    handed_.erase(it);
  }
}

std::size_t PublicationQueue::size() const {
  if (outbox_) {
    const std::size_t stored = outbox_->count();
    const std::size_t acknowledged = std::min(removals_.size(), stored);
    return stored - acknowledged + uncommitted_.size() + memory_.size();
  }
  return uncommitted_.size() + ready_.size() + memory_.size() + handed_.size();
}

std::int64_t PublicationQueue::oldestCreatedMs() {
  std::int64_t oldest = 0;
  const auto consider = [&oldest](std::int64_t ms) {
    if (ms != 0 && (oldest == 0 || ms < oldest)) oldest = ms;
  };
  if (!handed_.empty()) consider(handed_.begin()->second.publication.createdMs);
  if (!ready_.empty()) consider(ready_.front().publication.createdMs);
  if (!memory_.empty()) consider(memory_.front().publication.createdMs);
  if (!uncommitted_.empty()) consider(uncommitted_.front().createdMs);
  if (outbox_) {
    try {
      consider(outbox_->oldestCreatedMs());
    } catch (const std::exception&) {
      // Only a figure for reports; the next write finds the fault.
    }
  }
  return oldest;
}

}  // namespace vantro
