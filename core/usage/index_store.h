// The SQLite index: what the slow readers have worked out (file positions, usage
// tallies, tool calls, sessions, readings), kept so a restarted Monitor need not re-read
// everything. Any thread may call any operation; each holds the store's lock throughout.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "model/tool_event.h"
#include "usage/sqlite_statement.h"
#include "util/date.h"
#include "util/hash.h"

namespace tessel {

struct ClaudePaths;

class IndexStore {
 public:
  // What `PRAGMA user_version` holds once the file's schema is current.
  static constexpr int32_t schemaVersion = 2;

  using Value = Sqlite::Value;

  // The key of one usage tally.
  struct Bucket {
    int64_t t = 0;  // start of a 600-second slot, seconds since 1970
    std::string sid{};
    std::string cwd{};
    std::string model{};
    std::string entry{};
    bool operator==(const Bucket&) const = default;
  };
  // Input, output, cache-write and cache-read tokens, then messages, then the part of
  // the cache writes kept for an hour rather than five minutes (priced higher).
  using Counts = std::array<int64_t, 6>;
  using Tally = std::unordered_map<Bucket, Counts>;
  // Input, output, cache-write and cache-read tokens together.
  static int64_t tokens(const Counts& counts) {
    return counts[0] + counts[1] + counts[2] + counts[3];
  }

  // How far a reader got in one file. `ids` are the message ids already counted there;
  // an id must not hold a line feed, which separates them on disk.
  struct FileOffset {
    uint64_t offset = 0;
    std::vector<std::string> ids{};
    bool operator==(const FileOffset&) const = default;
  };

  // One session as its owner encodes it (a history session or a Codex session). The
  // store keeps `data` under `id` and hands the documents back; decoding them into
  // records is the owner's job.
  struct SessionRow {
    std::string id{};
    nlohmann::json data{};
  };

  // One plan-allowance reading: its time, the weekly fraction used, when the weekly
  // window resets and the five-hour fraction used.
  struct PlanReading {
    Date t{};
    double w = 0;
    Date wr{};
    double f = 0;
    bool operator==(const PlanReading&) const = default;
  };

  // Opens or creates the file (and its folder). Nothing when SQLite cannot open it or
  // it holds something other than a database; an existing foreign file is left as it is.
  static std::unique_ptr<IndexStore> open(const std::string& path);
  // The store at `paths.supportDir` + "/index.sqlite".
  static std::unique_ptr<IndexStore> standard(const ClaudePaths& paths);

  IndexStore(const IndexStore&) = delete;
  IndexStore& operator=(const IndexStore&) = delete;
  ~IndexStore();

  // Reads. Each answers empty when its statement cannot be prepared, and skips rows
  // whose document no longer decodes (they stay in the file until overwritten).
  std::unordered_map<std::string, FileOffset> offsets(const std::string& kind) const;
  Tally usageBuckets(int64_t since) const;
  Tally codexBuckets(int64_t since) const;
  std::unordered_map<std::string, std::string> projectNames() const;
  std::vector<nlohmann::json> historySessions() const;
  std::vector<nlohmann::json> codexSessions() const;
  // Calls of `origin` that started at or after `since`.
  std::vector<ToolEvent> toolEvents(const std::string& origin, Date since) const;
  // The raw documents of `kind` from `since` on, oldest first; the caller decodes them.
  std::vector<std::string> readings(const std::string& kind, Date since) const;
  std::unordered_map<std::string, Date> volumesSeen() const;
  // Oldest first.
  std::vector<PlanReading> planReadings() const;

  // Writes. Each is one transaction: a statement that fails or cannot be prepared is
  // skipped and the rest still commit; a failed commit leaves the file as it was, and
  // the caller, whose memory still holds everything, saves it all again next time.
  // Records that cannot be encoded as JSON are left out.

  // Forgotten files go after the saved ones, so a path in both ends up gone; buckets
  // replace the stored counts of their key, and slots before `oldest` are dropped, new
  // or old.
  void saveUsage(const std::unordered_map<std::string, FileOffset>& files, const Tally& buckets,
                 const std::unordered_map<std::string, std::string>& names,
                 const std::vector<std::string>& forgetFiles, int64_t oldest);
  void saveHistorySessions(const std::vector<SessionRow>& sessions,
                           const std::vector<std::string>& forget);
  void saveCodex(const std::vector<SessionRow>& sessions, const std::vector<std::string>& forget,
                 const Tally& buckets, int64_t oldest);
  // Replaces every call and every file offset of `origin` (the offsets carry no ids).
  // After the first save of an origin, only the rows that differ from what this store
  // last saved are written, unless another connection has written to the file since.
  void saveToolEvents(const std::string& origin, const std::vector<ToolEvent>& events,
                      const std::unordered_map<std::string, uint64_t>& offsets);
  // Stores one document of `kind` at `t` and drops that kind's documents before
  // `keepFrom`.
  void addReading(const std::string& kind, Date t, const std::string& data, Date keepFrom);
  // Marks `inUse` as seen at `at`, then forgets the ids stored before this call that are
  // not in `keep`. An id new to the store stays even outside `keep`; callers pass every
  // volume that still exists as `keep`.
  void saveVolumesSeen(const std::unordered_set<std::string>& inUse, Date at,
                       const std::unordered_set<std::string>& keep);
  // Replaces every stored plan reading.
  void savePlanReadings(const std::vector<PlanReading>& readings);

 private:
  explicit IndexStore(Sqlite::Connection db) : db_(std::move(db)) {}

  // False when the file is not a database at all.
  bool prepareSchema();
  Tally bucketsLocked(const char* sql, int64_t since) const;
  void saveBucketsLocked(const char* sql, const Tally& buckets);
  void saveSessionsLocked(const char* insert, const char* remove,
                          const std::vector<SessionRow>& sessions,
                          const std::vector<std::string>& forget);
  std::vector<nlohmann::json> documentsLocked(const char* sql) const;
  std::unordered_map<std::string, Date> volumesSeenLocked() const;

  // What the last save of one origin's calls left in the file, and the file's data
  // version then, which moves only when another connection commits.
  struct SavedEvents {
    int64_t dataVersion = 0;
    std::unordered_map<std::string, size_t> events{};  // id -> hash of the call
    std::unordered_map<std::string, uint64_t> offsets{};
  };

  mutable std::mutex lock_;
  // Guarded by lock_. Although SQLite serializes single calls itself, a transaction
  // spans many; the lock keeps other threads' statements out of ours.
  Sqlite::Connection db_;
  std::unordered_map<std::string, SavedEvents> savedEvents_;
};

}  // namespace tessel

template <>
struct std::hash<tessel::IndexStore::Bucket> {
  size_t operator()(const tessel::IndexStore::Bucket& b) const noexcept {
    return tessel::hashFields(b.t, b.sid, b.cwd, b.model, b.entry);
  }
};
