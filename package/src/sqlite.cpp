#include "sqlite.hpp"

#include <sqlite3.h>

#include <climits>
#include <cstddef>
#include <utility>

namespace quarn::package::sqlite {

namespace {

std::unexpected<std::string> failure(sqlite3* database, int code) {
  const char* message = database != nullptr ? sqlite3_errmsg(database) : sqlite3_errstr(code);
  return std::unexpected(std::string(message != nullptr ? message : sqlite3_errstr(code)));
}

}  // namespace

Expected<Database> Database::open(const std::string& path, int flags) {
  sqlite3* handle = nullptr;
  const int code = sqlite3_open_v2(path.c_str(), &handle, flags, nullptr);
  Database database(handle);
  if (code != SQLITE_OK) {
    if (handle == nullptr) return std::unexpected(std::string(sqlite3_errstr(code)));
    return std::unexpected(database.last_error());
  }
  // Report corruption and similar conditions as extended codes with full messages.
  if (sqlite3_extended_result_codes(handle, 1) != SQLITE_OK) {
    return std::unexpected(database.last_error());
  }
  return database;
}

Database::Database(Database&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

Database& Database::operator=(Database&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) sqlite3_close_v2(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

Database::~Database() {
  // A connection still open here belongs to a failed operation; its result no longer matters.
  if (handle_ != nullptr) sqlite3_close_v2(handle_);
}

Expected<void> Database::execute(std::string_view sql) {
  auto statement = prepare(sql);
  if (!statement) return std::unexpected(statement.error());
  for (;;) {
    auto row = statement->step();
    if (!row) return std::unexpected(row.error());
    if (!*row) return {};
  }
}

Expected<Statement> Database::prepare(std::string_view sql) {
  if (sql.size() > static_cast<std::size_t>(INT_MAX)) {
    return std::unexpected(std::string("statement text too long"));
  }
  sqlite3_stmt* handle = nullptr;
  const char* tail = nullptr;
  const int code = sqlite3_prepare_v3(handle_, sql.data(), static_cast<int>(sql.size()),
                                      SQLITE_PREPARE_PERSISTENT, &handle, &tail);
  Statement statement(handle_, handle);
  if (code != SQLITE_OK) return failure(handle_, code);
  if (handle == nullptr) return std::unexpected(std::string("empty statement"));
  if (tail != nullptr && tail != sql.data() + sql.size()) {
    const std::string_view rest(tail, static_cast<std::size_t>(sql.data() + sql.size() - tail));
    if (rest.find_first_not_of(" \t\r\n;") != std::string_view::npos) {
      return std::unexpected(std::string("more than one statement in one text"));
    }
  }
  return statement;
}

Expected<void> Database::close() {
  if (handle_ == nullptr) return {};
  const int code = sqlite3_close(handle_);
  if (code != SQLITE_OK) return failure(handle_, code);
  handle_ = nullptr;
  return {};
}

std::string Database::last_error() const {
  const char* message = sqlite3_errmsg(handle_);
  return message != nullptr ? std::string(message) : std::string("unknown SQLite error");
}

Statement::Statement(Statement&& other) noexcept
    : database_(other.database_), handle_(std::exchange(other.handle_, nullptr)) {}

Statement& Statement::operator=(Statement&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) sqlite3_finalize(handle_);
    database_ = other.database_;
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

Statement::~Statement() {
  if (handle_ != nullptr) sqlite3_finalize(handle_);
}

Expected<void> Statement::bind(int index, std::int64_t value) {
  const int code = sqlite3_bind_int64(handle_, index, value);
  if (code != SQLITE_OK) return failure(database_, code);
  return {};
}

Expected<void> Statement::bind(int index, std::string_view text) {
  const int code =
      sqlite3_bind_text64(handle_, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
  if (code != SQLITE_OK) return failure(database_, code);
  return {};
}

Expected<void> Statement::bind_null(int index) {
  const int code = sqlite3_bind_null(handle_, index);
  if (code != SQLITE_OK) return failure(database_, code);
  return {};
}

Expected<bool> Statement::step() {
  const int code = sqlite3_step(handle_);
  if (code == SQLITE_ROW) return true;
  if (code == SQLITE_DONE) return false;
  return failure(database_, code);
}

Expected<void> Statement::run() {
  auto row = step();
  if (!row) {
    sqlite3_reset(handle_);
    return std::unexpected(row.error());
  }
  if (*row) {
    sqlite3_reset(handle_);
    return std::unexpected(std::string("statement returned a row where none was expected"));
  }
  return reset();
}

Expected<void> Statement::reset() {
  const int code = sqlite3_reset(handle_);
  if (code != SQLITE_OK) return failure(database_, code);
  return {};
}

int Statement::column_type(int column) const {
  return sqlite3_column_type(handle_, column);
}

std::int64_t Statement::column_int64(int column) const {
  return sqlite3_column_int64(handle_, column);
}

std::string_view Statement::column_text(int column) const {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(handle_, column));
  const int size = sqlite3_column_bytes(handle_, column);
  if (text == nullptr || size <= 0) return {};
  return std::string_view(text, static_cast<std::size_t>(size));
}

}  // namespace quarn::package::sqlite
