#include "usage/sqlite_statement.h"

#include <sqlite3.h>

#include <climits>
#include <utility>

namespace tessel::Sqlite {

void Closer::operator()(sqlite3* db) const { sqlite3_close(db); }

Connection open(const std::string& path) {
  constexpr int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
  static_assert(flags == 0x10006);
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  return Connection(db);
}

int execute(sqlite3* db, const char* script) {
  return sqlite3_exec(db, script, nullptr, nullptr, nullptr);
}

std::optional<Statement> Statement::prepare(sqlite3* db, std::string_view sql) {
  if (sql.size() > INT_MAX) return std::nullopt;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &statement, nullptr) !=
          SQLITE_OK ||
      statement == nullptr) {
    sqlite3_finalize(statement);
    return std::nullopt;
  }
  return Statement(statement);
}

Statement::Statement(Statement&& other) noexcept
    : statement_(std::exchange(other.statement_, nullptr)) {}

Statement& Statement::operator=(Statement&& other) noexcept {
  if (this != &other) {
    sqlite3_finalize(statement_);
    statement_ = std::exchange(other.statement_, nullptr);
  }
  return *this;
}

Statement::~Statement() { sqlite3_finalize(statement_); }

void Statement::bind(std::span<const Value> values) {
  int position = 1;
  for (const Value& value : values) {
    if (const auto* integer = std::get_if<int64_t>(&value)) {
      sqlite3_bind_int64(statement_, position, *integer);
    } else if (const auto* real = std::get_if<double>(&value)) {
      sqlite3_bind_double(statement_, position, *real);
    } else if (const auto* text = std::get_if<std::string>(&value)) {
      sqlite3_bind_text(statement_, position, text->c_str(), -1, SQLITE_TRANSIENT);
    } else if (const auto* blob = std::get_if<Blob>(&value)) {
      // A zero-length blob still binds a (non-NULL) empty value.
      sqlite3_bind_blob64(statement_, position, blob->bytes.data(), blob->bytes.size(),
                          SQLITE_TRANSIENT);
    }
    ++position;
  }
}

bool Statement::next() { return sqlite3_step(statement_) == SQLITE_ROW; }

int Statement::run(std::span<const Value> values) {
  bind(values);
  const int result = sqlite3_step(statement_);
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
  return result;
}

int64_t Statement::integer(int column) const { return sqlite3_column_int64(statement_, column); }

double Statement::real(int column) const { return sqlite3_column_double(statement_, column); }

std::string Statement::text(int column) const {
  const auto* bytes = sqlite3_column_text(statement_, column);
  if (bytes == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(bytes),
                     static_cast<size_t>(sqlite3_column_bytes(statement_, column)));
}

std::string Statement::blob(int column) const {
  const void* bytes = sqlite3_column_blob(statement_, column);
  if (bytes == nullptr) return {};
  return std::string(static_cast<const char*>(bytes),
                     static_cast<size_t>(sqlite3_column_bytes(statement_, column)));
}

Transaction::Transaction(sqlite3* db) : db_(db) { execute(db_, "BEGIN IMMEDIATE"); }

Transaction::~Transaction() {
  if (!done_) execute(db_, "ROLLBACK");
}

bool Transaction::commit() {
  done_ = true;
  if (execute(db_, "COMMIT") == SQLITE_OK) return true;
  execute(db_, "ROLLBACK");
  return false;
}

}  // namespace tessel::Sqlite
