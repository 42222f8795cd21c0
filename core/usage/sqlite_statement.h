// The thin layer between the index store and SQLite's C interface: statements that
// finalize themselves, a connection that closes itself, and a transaction. Only
// IndexStore uses it, always under its own lock; nothing here is thread-safe by itself.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

struct sqlite3;
struct sqlite3_stmt;

namespace tessel::Sqlite {

// Bytes bound as a blob, with their full length.
struct Blob {
  std::string bytes{};
  bool operator==(const Blob&) const = default;
};

// One statement parameter. Text is bound up to its first zero byte, so text holding a
// zero byte is cut there; bytes that may hold zeros go in as a Blob.
using Value = std::variant<int64_t, double, std::string, Blob>;

struct Closer {
  void operator()(sqlite3* db) const;
};
using Connection = std::unique_ptr<sqlite3, Closer>;

// Opens read-write, creating the file when missing, in SQLite's serialized threading
// mode. Nothing when SQLite refuses; the handle it may have made is closed.
Connection open(const std::string& path);

// Runs every statement of `script`; the first failure's result code, or SQLITE_OK.
int execute(sqlite3* db, const char* script);

class Statement {
 public:
  // Nothing when `sql` does not compile against the file as it is.
  static std::optional<Statement> prepare(sqlite3* db, std::string_view sql);

  Statement(Statement&& other) noexcept;
  Statement& operator=(Statement&& other) noexcept;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement();

  // Binds `values` to positions 1, 2, 3 ...
  void bind(std::span<const Value> values);
  // True while a row is available; false when done or on an error.
  bool next();
  // Binds `values`, steps once and makes the statement ready for its next use; the
  // step's result code. One prepared write can so serve a whole batch of rows.
  int run(std::span<const Value> values);

  // Column reads of the current row. NULL reads as 0 or the empty string.
  int64_t integer(int column) const;
  double real(int column) const;
  std::string text(int column) const;
  std::string blob(int column) const;

 private:
  explicit Statement(sqlite3_stmt* statement) : statement_(statement) {}

  sqlite3_stmt* statement_ = nullptr;
};

// "BEGIN IMMEDIATE" on construction: the file's write lock is taken before the first
// statement, so writers in other processes never interleave with ours. A transaction
// that is not committed is rolled back when it goes.
class Transaction {
 public:
  explicit Transaction(sqlite3* db);
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  ~Transaction();

  // A failed commit is rolled back, so the connection is never left inside a
  // transaction that would hold the write lock. True when the changes are in the file.
  bool commit();

 private:
  sqlite3* db_;
  bool done_ = false;
};

}  // namespace tessel::Sqlite
