// A small owning wrapper over the SQLite C interface, internal to the package library.
//
// `Database` owns one connection and `Statement` one prepared statement. Every call that can fail
// returns `std::expected` carrying SQLite's own message; values always reach SQL through bound
// parameters. Statements are prepared once and reused with `reset` between rows.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace quarn::package::sqlite {

template <typename T>
using Expected = std::expected<T, std::string>;

class Statement;

class Database {
 public:
  // Opens `path` with the given `SQLITE_OPEN_*` flags (never creating a file unless asked).
  static Expected<Database> open(const std::string& path, int flags);

  Database(Database&& other) noexcept;
  Database& operator=(Database&& other) noexcept;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database();

  // Runs SQL text that carries no values (schema statements, pragmas, BEGIN and COMMIT).
  Expected<void> execute(std::string_view sql);
  // Prepares one statement; the text must hold exactly one statement.
  Expected<Statement> prepare(std::string_view sql);
  // Closes the connection and reports whether SQLite closed it cleanly.
  Expected<void> close();

  // The connection's most recent error message.
  std::string last_error() const;

 private:
  explicit Database(sqlite3* handle) : handle_(handle) {}
  sqlite3* handle_ = nullptr;
};

class Statement {
 public:
  Statement(Statement&& other) noexcept;
  Statement& operator=(Statement&& other) noexcept;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement();

  // Parameters are numbered from 1, as in SQLite.
  Expected<void> bind(int index, std::int64_t value);
  Expected<void> bind(int index, std::string_view text);
  Expected<void> bind_null(int index);

  // Advances the statement: true when a row is available, false when it has finished.
  Expected<bool> step();
  // Runs a statement that returns no rows, then resets it for the next use.
  Expected<void> run();
  // Makes the statement ready to run again with new bindings.
  Expected<void> reset();

  // Column accessors for the current row; columns are numbered from 0.
  int column_type(int column) const;  // SQLITE_INTEGER, SQLITE_TEXT, SQLITE_NULL, ...
  std::int64_t column_int64(int column) const;
  // The column's bytes; valid until the next step or reset.
  std::string_view column_text(int column) const;

 private:
  friend class Database;
  Statement(sqlite3* database, sqlite3_stmt* handle) : database_(database), handle_(handle) {}
  sqlite3* database_ = nullptr;
  sqlite3_stmt* handle_ = nullptr;
};

}  // namespace quarn::package::sqlite
