#include "usage/index_store.h"

#include <sqlite3.h>

#include <filesystem>

#include "paths/claude_paths.h"

namespace tessel {
namespace {

using Sqlite::Blob;
using Sqlite::Statement;
using Sqlite::Transaction;
using Value = IndexStore::Value;

// The tables every version since the first has had. A file of an unknown version
// loses them and gets them fresh; they hold nothing the readers cannot work out again.
constexpr const char* rebuiltTables[] = {
    "file_offsets",  "usage_buckets", "tool_events",      "plan_readings",
    "project_names", "history",       "history_sessions",
};

constexpr const char* coreSchema =
    "CREATE TABLE file_offsets (kind TEXT NOT NULL, path TEXT NOT NULL, offset INTEGER NOT NULL, "
    "ids TEXT NOT NULL DEFAULT '', PRIMARY KEY (kind, path));"
    "CREATE TABLE usage_buckets (t INTEGER NOT NULL, sid TEXT NOT NULL, cwd TEXT NOT NULL, "
    "model TEXT NOT NULL, entry TEXT NOT NULL, input INTEGER, output INTEGER, "
    "cache_write INTEGER, cache_read INTEGER, messages INTEGER, "
    "PRIMARY KEY (t, sid, cwd, model, entry));"
    "CREATE INDEX usage_buckets_t ON usage_buckets (t);"
    "CREATE TABLE tool_events (origin TEXT NOT NULL, id TEXT NOT NULL, session TEXT NOT NULL, "
    "start REAL NOT NULL, data BLOB NOT NULL, PRIMARY KEY (origin, id));"
    "CREATE INDEX tool_events_start ON tool_events (start);"
    "CREATE INDEX tool_events_session ON tool_events (session);"
    "CREATE TABLE plan_readings (t REAL PRIMARY KEY, w REAL NOT NULL, wr REAL NOT NULL, "
    "f REAL NOT NULL);"
    "CREATE TABLE project_names (cwd TEXT PRIMARY KEY, name TEXT NOT NULL);";

// Version 2 added the readings.
constexpr const char* historySchema =
    "CREATE TABLE IF NOT EXISTS history (kind TEXT NOT NULL, t REAL NOT NULL, "
    "data BLOB NOT NULL, PRIMARY KEY (kind, t));";

// Tables added without a version change: every opening makes sure of them, and a
// rebuild keeps them.
constexpr const char* laterSchema =
    "CREATE TABLE IF NOT EXISTS history_sessions (id TEXT PRIMARY KEY, data BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS volume_seen (id TEXT PRIMARY KEY, t REAL NOT NULL);"
    "CREATE TABLE IF NOT EXISTS codex_sessions (id TEXT PRIMARY KEY, data BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS codex_buckets (t INTEGER NOT NULL, sid TEXT NOT NULL, "
    "cwd TEXT NOT NULL, model TEXT NOT NULL, entry TEXT NOT NULL, input INTEGER, "
    "output INTEGER, cache_write INTEGER, cache_read INTEGER, messages INTEGER, "
    "PRIMARY KEY (t, sid, cwd, model, entry));";

// Columns added without a version change, one statement each: adding one that is
// already there fails alone.
constexpr const char* laterColumns[] = {
    "ALTER TABLE usage_buckets ADD COLUMN cache_write_1h INTEGER NOT NULL DEFAULT 0",
    "ALTER TABLE codex_buckets ADD COLUMN cache_write_1h INTEGER NOT NULL DEFAULT 0",
};

constexpr const char* selectUsageBuckets =
    "SELECT t, sid, cwd, model, entry, input, output, cache_write, cache_read, messages, "
    "cache_write_1h FROM usage_buckets WHERE t >= ?";
constexpr const char* selectCodexBuckets =
    "SELECT t, sid, cwd, model, entry, input, output, cache_write, cache_read, messages, "
    "cache_write_1h FROM codex_buckets WHERE t >= ?";

std::string joinedIds(const std::vector<std::string>& ids) {
  std::string joined;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i > 0) joined += '\n';
    joined += ids[i];
  }
  return joined;
}

std::vector<std::string> splitIds(const std::string& joined) {
  std::vector<std::string> ids;
  size_t begin = 0;
  while (begin <= joined.size()) {
    size_t end = joined.find('\n', begin);
    if (end == std::string::npos) end = joined.size();
    if (end > begin) ids.push_back(joined.substr(begin, end - begin));
    begin = end + 1;
  }
  return ids;
}

// Offsets are unsigned on our side and signed in SQLite; the bits go through unchanged.
int64_t storedOffset(uint64_t offset) { return static_cast<int64_t>(offset); }

// Nothing when the document holds text that is not UTF-8, which JSON cannot carry.
std::optional<std::string> encoded(const nlohmann::json& document) {
  try {
    return document.dump();
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

std::optional<nlohmann::json> decoded(const std::string& bytes) {
  nlohmann::json document = nlohmann::json::parse(bytes, nullptr, false);
  if (document.is_discarded()) return std::nullopt;
  return document;
}

}  // namespace

std::unique_ptr<IndexStore> IndexStore::open(const std::string& path) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  Sqlite::Connection db = Sqlite::open(path);
  if (!db) return nullptr;
  std::unique_ptr<IndexStore> store(new IndexStore(std::move(db)));
  if (!store->prepareSchema()) return nullptr;
  return store;
}

std::unique_ptr<IndexStore> IndexStore::standard(const ClaudePaths& paths) {
  return open(paths.supportDir + "/index.sqlite");
}

IndexStore::~IndexStore() = default;

bool IndexStore::prepareSchema() {
  std::lock_guard guard(lock_);
  sqlite3* db = db_.get();
  // SQLite opens any file lazily; the first statement is where a file of some other
  // kind shows itself. Such a store could never keep anything, and rebuilding it would
  // mean overwriting a file that is not ours.
  const int journal = Sqlite::execute(db, "PRAGMA journal_mode = WAL");
  if (journal == SQLITE_NOTADB || journal == SQLITE_CANTOPEN) return false;
  Sqlite::execute(db, "PRAGMA synchronous = NORMAL");

  int64_t version = 0;
  if (auto statement = Statement::prepare(db, "PRAGMA user_version");
      statement && statement->next()) {
    version = statement->integer(0);
  }
  const std::string setVersion = "PRAGMA user_version = " + std::to_string(schemaVersion);
  if (version == 1) {
    Sqlite::execute(db, historySchema);
    Sqlite::execute(db, setVersion.c_str());
  } else if (version != schemaVersion) {
    for (const char* table : rebuiltTables) {
      Sqlite::execute(db, (std::string("DROP TABLE IF EXISTS ") + table).c_str());
    }
    Sqlite::execute(db, coreSchema);
    Sqlite::execute(db, historySchema);
    Sqlite::execute(db, setVersion.c_str());
  }
  Sqlite::execute(db, laterSchema);
  for (const char* column : laterColumns) Sqlite::execute(db, column);
  return true;
}

std::unordered_map<std::string, IndexStore::FileOffset> IndexStore::offsets(
    const std::string& kind) const {
  std::lock_guard guard(lock_);
  std::unordered_map<std::string, FileOffset> offsets;
  auto statement = Statement::prepare(db_.get(),
                                      "SELECT path, offset, ids FROM file_offsets "
                                      "WHERE kind = ?");
  if (!statement) return offsets;
  statement->bind(std::array<Value, 1>{kind});
  while (statement->next()) {
    offsets[statement->text(0)] = {static_cast<uint64_t>(statement->integer(1)),
                                   splitIds(statement->text(2))};
  }
  return offsets;
}

IndexStore::Tally IndexStore::usageBuckets(int64_t since) const {
  std::lock_guard guard(lock_);
  return bucketsLocked(selectUsageBuckets, since);
}

IndexStore::Tally IndexStore::codexBuckets(int64_t since) const {
  std::lock_guard guard(lock_);
  return bucketsLocked(selectCodexBuckets, since);
}

IndexStore::Tally IndexStore::bucketsLocked(const char* sql, int64_t since) const {
  Tally buckets;
  auto statement = Statement::prepare(db_.get(), sql);
  if (!statement) return buckets;
  statement->bind(std::array<Value, 1>{since});
  while (statement->next()) {
    Bucket bucket{statement->integer(0), statement->text(1), statement->text(2), statement->text(3),
                  statement->text(4)};
    Counts counts{};
    for (size_t i = 0; i < counts.size(); ++i) {
      counts[i] = statement->integer(static_cast<int>(5 + i));
    }
    buckets[std::move(bucket)] = counts;
  }
  return buckets;
}

std::unordered_map<std::string, std::string> IndexStore::projectNames() const {
  std::lock_guard guard(lock_);
  std::unordered_map<std::string, std::string> names;
  auto statement = Statement::prepare(db_.get(), "SELECT cwd, name FROM project_names");
  if (!statement) return names;
  while (statement->next()) names[statement->text(0)] = statement->text(1);
  return names;
}

std::vector<nlohmann::json> IndexStore::historySessions() const {
  std::lock_guard guard(lock_);
  return documentsLocked("SELECT data FROM history_sessions");
}

std::vector<nlohmann::json> IndexStore::codexSessions() const {
  std::lock_guard guard(lock_);
  return documentsLocked("SELECT data FROM codex_sessions");
}

std::vector<nlohmann::json> IndexStore::documentsLocked(const char* sql) const {
  std::vector<nlohmann::json> documents;
  auto statement = Statement::prepare(db_.get(), sql);
  if (!statement) return documents;
  while (statement->next()) {
    if (auto document = decoded(statement->blob(0))) documents.push_back(std::move(*document));
  }
  return documents;
}

std::vector<ToolEvent> IndexStore::toolEvents(const std::string& origin, Date since) const {
  std::lock_guard guard(lock_);
  std::vector<ToolEvent> events;
  auto statement =
      Statement::prepare(db_.get(), "SELECT data FROM tool_events WHERE origin = ? AND start >= ?");
  if (!statement) return events;
  statement->bind(std::array<Value, 2>{origin, since.secondsSince1970()});
  while (statement->next()) {
    const auto document = decoded(statement->blob(0));
    if (!document) continue;
    if (auto event = toolEventFromJson(*document)) events.push_back(std::move(*event));
  }
  return events;
}

std::vector<std::string> IndexStore::readings(const std::string& kind, Date since) const {
  std::lock_guard guard(lock_);
  std::vector<std::string> documents;
  auto statement = Statement::prepare(
      db_.get(), "SELECT data FROM history WHERE kind = ? AND t >= ? ORDER BY t");
  if (!statement) return documents;
  statement->bind(std::array<Value, 2>{kind, since.secondsSince1970()});
  while (statement->next()) documents.push_back(statement->blob(0));
  return documents;
}

std::unordered_map<std::string, Date> IndexStore::volumesSeen() const {
  std::lock_guard guard(lock_);
  return volumesSeenLocked();
}

std::unordered_map<std::string, Date> IndexStore::volumesSeenLocked() const {
  std::unordered_map<std::string, Date> seen;
  auto statement = Statement::prepare(db_.get(), "SELECT id, t FROM volume_seen");
  if (!statement) return seen;
  while (statement->next()) seen[statement->text(0)] = Date(statement->real(1));
  return seen;
}

std::vector<IndexStore::PlanReading> IndexStore::planReadings() const {
  std::lock_guard guard(lock_);
  std::vector<PlanReading> readings;
  auto statement =
      Statement::prepare(db_.get(), "SELECT t, w, wr, f FROM plan_readings ORDER BY t");
  if (!statement) return readings;
  while (statement->next()) {
    readings.push_back({Date(statement->real(0)), statement->real(1), Date(statement->real(2)),
                        statement->real(3)});
  }
  return readings;
}

void IndexStore::saveUsage(const std::unordered_map<std::string, FileOffset>& files,
                           const Tally& buckets,
                           const std::unordered_map<std::string, std::string>& names,
                           const std::vector<std::string>& forgetFiles, int64_t oldest) {
  std::lock_guard guard(lock_);
  sqlite3* db = db_.get();
  Transaction transaction(db);
  if (auto insert = Statement::prepare(db,
                                       "INSERT OR REPLACE INTO file_offsets (kind, path, offset, "
                                       "ids) VALUES ('usage', ?, ?, ?)")) {
    for (const auto& [path, file] : files) {
      insert->run(std::array<Value, 3>{path, storedOffset(file.offset), joinedIds(file.ids)});
    }
  }
  if (auto remove =
          Statement::prepare(db, "DELETE FROM file_offsets WHERE kind = 'usage' AND path = ?")) {
    for (const std::string& path : forgetFiles) remove->run(std::array<Value, 1>{path});
  }
  saveBucketsLocked("INSERT OR REPLACE INTO usage_buckets VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                    buckets);
  if (auto insert = Statement::prepare(db, "INSERT OR REPLACE INTO project_names VALUES (?, ?)")) {
    for (const auto& [cwd, name] : names) insert->run(std::array<Value, 2>{cwd, name});
  }
  if (auto prune = Statement::prepare(db, "DELETE FROM usage_buckets WHERE t < ?")) {
    prune->run(std::array<Value, 1>{oldest});
  }
  transaction.commit();
}

void IndexStore::saveBucketsLocked(const char* sql, const Tally& buckets) {
  auto insert = Statement::prepare(db_.get(), sql);
  if (!insert) return;
  for (const auto& [bucket, counts] : buckets) {
    insert->run(std::array<Value, 11>{bucket.t, bucket.sid, bucket.cwd, bucket.model, bucket.entry,
                                      counts[0], counts[1], counts[2], counts[3], counts[4],
                                      counts[5]});
  }
}

void IndexStore::saveHistorySessions(const std::vector<SessionRow>& sessions,
                                     const std::vector<std::string>& forget) {
  std::lock_guard guard(lock_);
  Transaction transaction(db_.get());
  saveSessionsLocked("INSERT OR REPLACE INTO history_sessions (id, data) VALUES (?, ?)",
                     "DELETE FROM history_sessions WHERE id = ?", sessions, forget);
  transaction.commit();
}

void IndexStore::saveCodex(const std::vector<SessionRow>& sessions,
                           const std::vector<std::string>& forget, const Tally& buckets,
                           int64_t oldest) {
  std::lock_guard guard(lock_);
  Transaction transaction(db_.get());
  saveSessionsLocked("INSERT OR REPLACE INTO codex_sessions (id, data) VALUES (?, ?)",
                     "DELETE FROM codex_sessions WHERE id = ?", sessions, forget);
  saveBucketsLocked("INSERT OR REPLACE INTO codex_buckets VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                    buckets);
  if (auto prune = Statement::prepare(db_.get(), "DELETE FROM codex_buckets WHERE t < ?")) {
    prune->run(std::array<Value, 1>{oldest});
  }
  transaction.commit();
}

void IndexStore::saveSessionsLocked(const char* insert, const char* remove,
                                    const std::vector<SessionRow>& sessions,
                                    const std::vector<std::string>& forget) {
  if (auto statement = Statement::prepare(db_.get(), insert)) {
    for (const SessionRow& session : sessions) {
      auto data = encoded(session.data);
      if (!data) continue;
      statement->run(std::array<Value, 2>{session.id, Blob{std::move(*data)}});
    }
  }
  if (auto statement = Statement::prepare(db_.get(), remove)) {
    for (const std::string& id : forget) statement->run(std::array<Value, 1>{id});
  }
}

void IndexStore::saveToolEvents(const std::string& origin, const std::vector<ToolEvent>& events,
                                const std::unordered_map<std::string, uint64_t>& offsets) {
  std::lock_guard guard(lock_);
  sqlite3* db = db_.get();
  Transaction transaction(db);
  // The indexes save thousands of calls a minute of which a handful changed: rewriting
  // them all cost more than the rest of a Monitor's polling together.
  int64_t version = -1;
  if (auto statement = Statement::prepare(db, "PRAGMA data_version");
      statement && statement->next()) {
    version = statement->integer(0);
  }
  const auto found = savedEvents_.find(origin);
  const SavedEvents* saved = found != savedEvents_.end() && found->second.dataVersion == version
                                 ? &found->second
                                 : nullptr;
  SavedEvents written{version};
  if (!saved) {
    if (auto clear = Statement::prepare(db, "DELETE FROM tool_events WHERE origin = ?")) {
      clear->run(std::array<Value, 1>{origin});
    }
  }
  if (auto insert = Statement::prepare(db,
                                       "INSERT OR REPLACE INTO tool_events VALUES (?, ?, ?, "
                                       "?, ?)")) {
    for (const ToolEvent& event : events) {
      const size_t hash = std::hash<ToolEvent>{}(event);
      if (saved) {
        if (const auto row = saved->events.find(event.id);
            row != saved->events.end() && row->second == hash) {
          written.events.insert_or_assign(event.id, hash);
          continue;
        }
      }
      auto data = encoded(toJson(event));
      if (!data) continue;
      if (insert->run(std::array<Value, 5>{origin, event.id, event.sessionId,
                                           event.start.secondsSince1970(),
                                           Blob{std::move(*data)}}) == SQLITE_DONE) {
        written.events.insert_or_assign(event.id, hash);
      }
    }
  }
  if (saved) {
    if (auto remove =
            Statement::prepare(db, "DELETE FROM tool_events WHERE origin = ? AND id = ?")) {
      for (const auto& [id, hash] : saved->events) {
        if (!written.events.contains(id)) remove->run(std::array<Value, 2>{origin, id});
      }
    }
  } else if (auto clear = Statement::prepare(db, "DELETE FROM file_offsets WHERE kind = ?")) {
    clear->run(std::array<Value, 1>{origin});
  }
  if (auto insert = Statement::prepare(
          db, "INSERT OR REPLACE INTO file_offsets (kind, path, offset) VALUES (?, ?, ?)")) {
    for (const auto& [path, offset] : offsets) {
      if (saved) {
        if (const auto row = saved->offsets.find(path);
            row != saved->offsets.end() && row->second == offset) {
          written.offsets.emplace(path, offset);
          continue;
        }
      }
      if (insert->run(std::array<Value, 3>{origin, path, storedOffset(offset)}) == SQLITE_DONE) {
        written.offsets.emplace(path, offset);
      }
    }
  }
  if (saved) {
    if (auto remove =
            Statement::prepare(db, "DELETE FROM file_offsets WHERE kind = ? AND path = ?")) {
      for (const auto& [path, offset] : saved->offsets) {
        if (!offsets.contains(path)) remove->run(std::array<Value, 2>{origin, path});
      }
    }
  }
  // Whatever did not reach the file is written whole next time.
  if (transaction.commit() && version >= 0) {
    savedEvents_.insert_or_assign(origin, std::move(written));
  } else {
    savedEvents_.erase(origin);
  }
}

void IndexStore::addReading(const std::string& kind, Date t, const std::string& data,
                            Date keepFrom) {
  std::lock_guard guard(lock_);
  sqlite3* db = db_.get();
  Transaction transaction(db);
  if (auto insert = Statement::prepare(db, "INSERT OR REPLACE INTO history VALUES (?, ?, ?)")) {
    insert->run(std::array<Value, 3>{kind, t.secondsSince1970(), Blob{data}});
  }
  if (auto prune = Statement::prepare(db, "DELETE FROM history WHERE kind = ? AND t < ?")) {
    prune->run(std::array<Value, 2>{kind, keepFrom.secondsSince1970()});
  }
  transaction.commit();
}

void IndexStore::saveVolumesSeen(const std::unordered_set<std::string>& inUse, Date at,
                                 const std::unordered_set<std::string>& keep) {
  std::lock_guard guard(lock_);
  // Read before writing: the forgetting applies to what was stored before this call,
  // never to ids this call adds.
  const auto stored = volumesSeenLocked();
  sqlite3* db = db_.get();
  Transaction transaction(db);
  if (auto insert = Statement::prepare(db,
                                       "INSERT OR REPLACE INTO volume_seen (id, t) VALUES "
                                       "(?, ?)")) {
    for (const std::string& id : inUse) {
      insert->run(std::array<Value, 2>{id, at.secondsSince1970()});
    }
  }
  if (auto remove = Statement::prepare(db, "DELETE FROM volume_seen WHERE id = ?")) {
    for (const auto& entry : stored) {
      if (!keep.contains(entry.first)) remove->run(std::array<Value, 1>{entry.first});
    }
  }
  transaction.commit();
}

void IndexStore::savePlanReadings(const std::vector<PlanReading>& readings) {
  std::lock_guard guard(lock_);
  sqlite3* db = db_.get();
  Transaction transaction(db);
  Sqlite::execute(db, "DELETE FROM plan_readings");
  if (auto insert =
          Statement::prepare(db, "INSERT OR REPLACE INTO plan_readings VALUES (?, ?, ?, ?)")) {
    for (const PlanReading& reading : readings) {
      insert->run(std::array<Value, 4>{reading.t.secondsSince1970(), reading.w,
                                       reading.wr.secondsSince1970(), reading.f});
    }
  }
  transaction.commit();
}

}  // namespace tessel
