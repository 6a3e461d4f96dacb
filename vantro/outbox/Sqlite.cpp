#include "vantro/outbox/Sqlite.hpp"

#include <fmt/format.h>
#include <sqlite3.h>

namespace vantro::sqlite {

bool SqliteError::corrupt() const {
  return code_ == SQLITE_CORRUPT || code_ == SQLITE_NOTADB;
}

Database::Database(const std::string& path, Mode mode) {
  const int flags =
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (mode == Mode::Create ? SQLITE_OPEN_CREATE : 0);
  const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    const std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close_v2(db_);
    db_ = nullptr;
    throw SqliteError(rc & 0xff, fmt::format("cannot open {}: {}", path, why));
  }
  sqlite3_extended_result_codes(db_, 1);
}

Database::~Database() {
  sqlite3_close_v2(db_);
}

void Database::check(int rc, std::string_view what) const {
  if (rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE) return;
  throw SqliteError(rc & 0xff, fmt::format("{}: {}", what, sqlite3_errmsg(db_)));
}

void Database::exec(const std::string& sql) {
  check(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), sql);
}

std::int64_t Database::queryInt(const std::string& sql) {
  Statement s(*this, sql);
  return s.step() ? s.columnInt(0) : 0;
}

std::string Database::queryText(const std::string& sql) {
  Statement s(*this, sql);
  return s.step() ? s.columnText(0) : std::string();
}

Statement Database::prepare(std::string_view sql) {
  return Statement(*this, sql);
}

std::int64_t Database::changes() const {
  return sqlite3_changes(db_);
}

Statement::Statement(Database& db, std::string_view sql) : db_(&db) {
  db.check(sqlite3_prepare_v3(db.handle(), sql.data(), static_cast<int>(sql.size()),
                              SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr),
           sql);
}

Statement::~Statement() {
  sqlite3_finalize(stmt_);
}

Statement::Statement(Statement&& other) noexcept : db_(other.db_), stmt_(other.stmt_) {
  other.stmt_ = nullptr;
}

Statement& Statement::bind(int index, std::int64_t value) {
  db_->check(sqlite3_bind_int64(stmt_, index, value), "bind");
  return *this;
}

// SQLite binds a null pointer as NULL, whatever the size: an empty text or
// blob (an empty vector has no data pointer) must still be a value, or the
// NOT NULL columns of the outbox refuse it and the whole commit with it.
Statement& Statement::bind(int index, std::string_view text) {
  const char* data = text.data() != nullptr ? text.data() : "";
  db_->check(sqlite3_bind_text(stmt_, index, data, static_cast<int>(text.size()), SQLITE_TRANSIENT),
             "bind");
  return *this;
}

Statement& Statement::bind(int index, ByteView blob) {
  static constexpr Byte kNothing = 0;
  const Byte* data = blob.data() != nullptr ? blob.data() : &kNothing;
  db_->check(sqlite3_bind_blob(stmt_, index, data, static_cast<int>(blob.size()), SQLITE_TRANSIENT),
             "bind");
  return *this;
}

bool Statement::step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  db_->check(rc, sqlite3_sql(stmt_));
  return false;
}

void Statement::run() {
  while (step()) {
  }
}

void Statement::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

std::int64_t Statement::columnInt(int index) const {
  return sqlite3_column_int64(stmt_, index);
}

std::string Statement::columnText(int index) const {
  const auto* text = sqlite3_column_text(stmt_, index);
  const int size = sqlite3_column_bytes(stmt_, index);
  return text ? std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size))
              : std::string();
}

Bytes Statement::columnBlob(int index) const {
  const auto* data = static_cast<const Byte*>(sqlite3_column_blob(stmt_, index));
  const int size = sqlite3_column_bytes(stmt_, index);
  return data ? Bytes(data, data + size) : Bytes();
}

}  // namespace vantro::sqlite
