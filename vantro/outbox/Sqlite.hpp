#pragma once
// A thin owner of SQLite connections and prepared statements: every failed
// call becomes an SqliteError that keeps SQLite's result code, so that callers
// can tell a full disk from a corrupt file.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "vantro/runtime/Bytes.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace vantro::sqlite {

class SqliteError : public std::runtime_error {
 public:
  SqliteError(int code, const std::string& what) : std::runtime_error(what), code_(code) {}
  /// SQLite's primary result code (SQLITE_FULL, SQLITE_CORRUPT, ...).
  int code() const { return code_; }
  /// The file is not a database or its content is damaged.
  bool corrupt() const;

 private:
  int code_;
};

class Statement;

class Database {
 public:
  enum class Mode { Create, Existing };
  /// Opens the database at `path` (creating it if asked) for one thread's use.
  /// Throws SqliteError.
  explicit Database(const std::string& path, Mode mode = Mode::Create);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  /// Runs one or more statements without results. Throws SqliteError.
  void exec(const std::string& sql);
  /// The first column of the first row of a query returning an integer.
  std::int64_t queryInt(const std::string& sql);
  /// The first column of the first row of a query returning text ("" for none).
  std::string queryText(const std::string& sql);
  Statement prepare(std::string_view sql);
  /// Rows changed by the last INSERT, UPDATE or DELETE.
  std::int64_t changes() const;
  sqlite3* handle() const { return db_; }
  /// Throws SqliteError for a result code other than OK, ROW and DONE.
  void check(int rc, std::string_view what) const;

 private:
  sqlite3* db_ = nullptr;
};

class Statement {
 public:
  Statement(Database& db, std::string_view sql);
  ~Statement();
  Statement(Statement&& other) noexcept;
  Statement& operator=(Statement&&) = delete;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, std::int64_t value);
  Statement& bind(int index, std::string_view text);
  Statement& bind(int index, ByteView blob);
  /// Steps once: true while a row is available.
  bool step();
  /// Steps to the end of a statement without results.
  void run();
  /// Makes the statement ready to run again, bindings cleared.
  void reset();

  std::int64_t columnInt(int index) const;
  std::string columnText(int index) const;
  Bytes columnBlob(int index) const;

 private:
  Database* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

/// Resets a statement when the scope ends, also when left by an exception.
class ResetGuard {
 public:
  explicit ResetGuard(Statement& s) : s_(s) {}
  ~ResetGuard() { s_.reset(); }
  ResetGuard(const ResetGuard&) = delete;
  ResetGuard& operator=(const ResetGuard&) = delete;

 private:
  Statement& s_;
};

}  // namespace vantro::sqlite
