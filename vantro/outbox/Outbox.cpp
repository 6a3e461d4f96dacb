#include "vantro/outbox/Outbox.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <system_error>

#include <sqlite3.h>

#include "vantro/outbox/OutboxSync.hpp"
#include "vantro/runtime/Escape.hpp"
#include "vantro/runtime/Print.hpp"
#include "vantro/runtime/UniqueFd.hpp"

namespace vantro {
namespace {

constexpr int kSchemaVersion = 1;

// The file is made with mode 0600 before SQLite opens it; SQLite gives its
// journal files the mode of the database.
void createPrivately(const std::filesystem::path& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd.valid()) {
    const int err = errno;
    throw sqlite::SqliteError(
        err == EROFS || err == EACCES ? SQLITE_READONLY : SQLITE_CANTOPEN,
        fmt::format("cannot create {}: {}", path.string(), std::system_category().message(err)));
  }
}

// The columns of the outbox table as PRAGMA table_info describes them: name,
// type, NOT NULL and place in the primary key, of each column in order.
constexpr std::string_view kLayout =
    "id INTEGER 0 1, topic TEXT 1 0, payload BLOB 1 0, qos INTEGER 1 0, retain INTEGER 1 0, "
    "created INTEGER 1 0";

std::string tableLayout(sqlite::Database& db) {
  sqlite::Statement info = db.prepare("PRAGMA table_info(outbox)");
  std::string out;
  while (info.step()) {
    if (!out.empty()) out += ", ";
    out += fmt::format("{} {} {} {}", info.columnText(1), info.columnText(2), info.columnInt(3),
                       info.columnInt(5));
  }
  return out;
}

}  // namespace

bool isBusy(const std::exception& e) {
  const auto* sqliteError = dynamic_cast<const sqlite::SqliteError*>(&e);
  return sqliteError && sqliteError->code() == SQLITE_BUSY;
}

Outbox::Outbox(OutboxSettings settings) : settings_(std::move(settings)) {
  try {
    open();
  } catch (const sqlite::SqliteError& e) {
    if (!e.corrupt()) throw;
    closeDatabase();
    moveAside(settings_.path, e.what());
    open();
  }
  sync_ = std::make_unique<OutboxSync>(settings_.path, settings_.syncInterval);
}

Outbox::~Outbox() {
  sync_.reset();
  closeDatabase();
}

void Outbox::closeDatabase() {
  begin_.reset();
  commit_.reset();
  insert_.reset();
  remove_.reset();
  select_.reset();
  pageCount_.reset();
  freeCount_.reset();
  db_.reset();
}

void Outbox::open() {
  const std::string path = settings_.path.string();
  if (!std::filesystem::exists(settings_.path)) createPrivately(settings_.path);
  db_ = std::make_unique<sqlite::Database>(path);
  sqlite::Database& db = *db_;
  // Reading the header finds a file that is not a database before anything
  // is written to it.
  db.exec("PRAGMA busy_timeout=1000");
  const std::int64_t version = db.queryInt("PRAGMA user_version");
  // Small pages for a new file: a commit of one reading appends one page to
  // the journal, so the page size is what a reading costs the disk.
  db.exec("PRAGMA page_size=1024");
  db.exec("PRAGMA journal_mode=WAL");
  db.exec(
      // Commits are synced by the checkpoints of OutboxSync only, never by
      // the writer; the journal is cut back after each of them.
      "PRAGMA synchronous=NORMAL;"
      "PRAGMA wal_autocheckpoint=0;"
      "PRAGMA journal_size_limit=1048576;"
      "PRAGMA cache_size=-1024;"
      "CREATE TABLE IF NOT EXISTS outbox("
      "  id INTEGER PRIMARY KEY,"
      "  topic TEXT NOT NULL,"
      "  payload BLOB NOT NULL,"
      "  qos INTEGER NOT NULL,"
      "  retain INTEGER NOT NULL,"
      "  created INTEGER NOT NULL)");
  if (version == 0) db.exec(fmt::format("PRAGMA user_version={}", kSchemaVersion));
  if (version > kSchemaVersion) {
    throw sqlite::SqliteError(
        SQLITE_NOTADB, fmt::format("{} was written by a newer version (schema {})", path, version));
  }
  // A file damaged inside (a torn page, a broken tree, a row without its
  // values) still reads as a database, but would hand out rows out of order,
  // number new rows below old ones, or never reach some: it is checked once
  // here and moved aside like an unreadable one. The check reads every page,
  // as the count below does anyway.
  const std::string damage = db.queryText("PRAGMA quick_check(1)");
  if (damage != "ok") {
    throw sqlite::SqliteError(SQLITE_CORRUPT, fmt::format("{} is damaged: {}", path, damage));
  }
  // A table of another layout (a file that another program made, or whose
  // schema was damaged) would hide rows from the queries below: without the
  // id as row number, rows are never handed out and new ones are numbered
  // from 1 again.
  const std::string layout = tableLayout(db);
  if (layout != kLayout) {
    throw sqlite::SqliteError(
        SQLITE_CORRUPT,
        fmt::format("{} holds an outbox table of another layout ({})", path, layout));
  }
  count_ = static_cast<std::size_t>(db.queryInt("SELECT count(*) FROM outbox"));
  nextId_ = db.queryInt("SELECT coalesce(max(id), 0) FROM outbox") + 1;
  // From now on the loop thread never waits for the lock: while the sync
  // thread restarts the journal, a write is refused and tried again soon.
  db.exec("PRAGMA busy_timeout=0");
  insert_ = std::make_unique<sqlite::Statement>(
      db, "INSERT INTO outbox(id, topic, payload, qos, retain, created) VALUES(?,?,?,?,?,?)");
  remove_ = std::make_unique<sqlite::Statement>(db, "DELETE FROM outbox WHERE id = ?");
  begin_ = std::make_unique<sqlite::Statement>(db, "BEGIN IMMEDIATE");
  commit_ = std::make_unique<sqlite::Statement>(db, "COMMIT");
  pageCount_ = std::make_unique<sqlite::Statement>(db, "PRAGMA page_count");
  freeCount_ = std::make_unique<sqlite::Statement>(db, "PRAGMA freelist_count");
  pageSize_ = static_cast<std::uint64_t>(db.queryInt("PRAGMA page_size"));
  select_ = std::make_unique<sqlite::Statement>(
      db,
      "SELECT id, topic, payload, qos, retain, created FROM outbox WHERE id > ? ORDER BY id "
      "LIMIT ?");
}

void Outbox::moveAside(const std::filesystem::path& path, const std::string& why) {
  const std::string aside = fmt::format("{}.corrupt-{}", path.string(), std::time(nullptr));
  std::error_code ec;
  std::filesystem::rename(path, aside, ec);
  if (ec) {
    throw sqlite::SqliteError(SQLITE_CANTOPEN, fmt::format("cannot move the damaged {} aside: {}",
                                                           path.string(), ec.message()));
  }
  std::filesystem::rename(path.string() + "-wal", aside + "-wal", ec);
  std::filesystem::remove(path.string() + "-shm", ec);
  print("Outbox {} is damaged ({}): moved aside to {}; starting a new one", path.string(), why,
        aside);
}

std::int64_t Outbox::write(std::span<const Publication> added,
                           std::span<const std::int64_t> removed) {
  sqlite::Database& db = *db_;
  const std::int64_t first = nextId_;
  std::size_t deleted = 0;
  {
    sqlite::ResetGuard reset(*begin_);
    begin_->run();
  }
  try {
    for (const std::int64_t id : removed) {
      sqlite::ResetGuard reset(*remove_);
      remove_->bind(1, id).run();
      deleted += static_cast<std::size_t>(db.changes());
    }
    std::int64_t id = first;
    for (const Publication& p : added) {
      sqlite::ResetGuard reset(*insert_);
      insert_->bind(1, id++)
          .bind(2, p.topic)
          .bind(3, ByteView(p.payload))
          .bind(4, p.qos)
          .bind(5, p.retain ? 1 : 0)
          .bind(6, p.createdMs)
          .run();
    }
    sqlite::ResetGuard reset(*commit_);
    commit_->run();
  } catch (...) {
    // A full disk or an I/O error may have rolled back already.
    if (!sqlite3_get_autocommit(db.handle())) {
      sqlite3_exec(db.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    throw;
  }
  nextId_ = first + static_cast<std::int64_t>(added.size());
  count_ = count_ + added.size() - deleted;
  if (sync_) sync_->committed();
  writesSinceBudget_ += 1 + added.size() / 16;
  return first;
}

std::vector<StoredPublication> Outbox::load(std::int64_t afterId, std::size_t limit) {
  std::vector<StoredPublication> rows;
  sqlite::ResetGuard reset(*select_);
  select_->bind(1, afterId).bind(2, static_cast<std::int64_t>(limit));
  while (select_->step()) {
    StoredPublication row;
    row.id = select_->columnInt(0);
    row.publication.topic = select_->columnText(1);
    row.publication.payload = select_->columnBlob(2);
    row.publication.qos = static_cast<int>(select_->columnInt(3));
    row.publication.retain = select_->columnInt(4) != 0;
    row.publication.createdMs = select_->columnInt(5);
    rows.push_back(std::move(row));
  }
  return rows;
}

std::uint64_t Outbox::usedBytes() {
  const auto value = [](sqlite::Statement& s) {
    sqlite::ResetGuard reset(s);
    return s.step() ? s.columnInt(0) : 0;
  };
  const std::int64_t pages = value(*pageCount_) - value(*freeCount_);
  return static_cast<std::uint64_t>(pages > 0 ? pages : 0) * pageSize_;
}

std::size_t Outbox::enforceBudget(std::int64_t afterId) {
  // Looked at every few commits, not at each: a single reading per commit
  // cannot take the file far past its budget in between.
  if (writesSinceBudget_ < kBudgetCheckEvery) return 0;
  writesSinceBudget_ = 0;
  std::size_t dropped = 0;
  while (count_ > 0 && usedBytes() > settings_.maxBytes) {
    auto drop = db_->prepare(
        "DELETE FROM outbox WHERE id IN (SELECT id FROM outbox WHERE id > ? ORDER BY id LIMIT ?)");
    drop.bind(1, afterId).bind(2, static_cast<std::int64_t>(kDropChunk)).run();
    const auto n = static_cast<std::size_t>(db_->changes());
    if (n == 0) break;
    count_ -= n;
    dropped += n;
    if (sync_) sync_->committed();
    print("Outbox full: dropped {} oldest readings", n);
  }
  return dropped;
}

std::int64_t Outbox::oldestCreatedMs() {
  return db_->queryInt("SELECT created FROM outbox ORDER BY id LIMIT 1");
}

}  // namespace vantro
