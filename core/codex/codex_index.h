// What Codex's rollout files say: its sessions, the tool calls they made, their token
// usage and the latest rate limits. Each rollout is read from where the last refresh
// stopped, and what was learned is kept in the index store so that a restart reads only
// new bytes. One lock guards the members; files are read without it. Any thread may
// read while a refresh runs; a refresh that finds another running returns at once.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "codex/codex_limits.h"
#include "codex/codex_session.h"
#include "model/tool_event.h"
#include "paths/claude_paths.h"
#include "usage/index_store.h"
#include "util/date.h"
#include "util/files.h"

namespace tessel {

class CodexIndex {
 public:
  static constexpr double keepDays = 15;
  static constexpr double keepCommandsDays = 3;
  static constexpr double keepReadingsDays = 9;
  // Usage is tallied in slots of this many seconds, like Claude Code's.
  static constexpr int64_t slotSeconds = 600;
  // A line longer than this is no event Codex writes: it is passed over, unread.
  static constexpr uint64_t largestRead = 64000000;

  // Reads one rollout's new lines; see codex/rollout_reader.h.
  struct Reader;

  CodexIndex() = default;
  CodexIndex(const CodexIndex&) = delete;
  CodexIndex& operator=(const CodexIndex&) = delete;

  // Reads what changed since the last scan, no more often than every `every` seconds.
  // `budget` bounds the bytes read in one call; files left over go first next time.
  void refresh(const CodexPaths& paths, Date now, double every, uint64_t budget);

  // Sorted by id.
  std::vector<CodexSession> allSessions() const;
  // In no particular order.
  std::vector<ToolEvent> allCommands() const;
  std::optional<CodexLimits> limits() const;
  // Session id -> the name the user gave the session.
  std::map<std::string, std::string> titles() const;
  // The rate-limit readings of the last nine days as plan readings, oldest first.
  std::vector<IndexStore::PlanReading> readings() const;
  IndexStore::Tally buckets() const;

  // Session id -> the process that holds that session's lock file open; of two, the later
  // in `pids` wins.
  static std::map<std::string, int32_t> openSessions(const std::vector<int32_t>& pids,
                                                     const CodexPaths& paths);
  // The id in "rollout-2026-12-05T19-20-41-<36-character id>.jsonl", or nothing.
  static std::optional<std::string> sessionID(std::string_view fileName);

  // Takes up what `store` holds and saves there from now on. Called once, before the
  // first refresh.
  void store(Date now, std::shared_ptr<IndexStore> store);

 private:
  // What the last look at one rollout found.
  struct FileState {
    uint64_t size = 0;
    Date modified{};
    // Read to its end (a torn last line included); false when the budget stopped it.
    bool isComplete = false;
    // The refresh that last read it, for reading the longest-waiting files first.
    uint64_t readInScan = 0;
    // The refresh that last found it in the sessions folder.
    uint64_t seenInScan = 0;
  };
  struct Pending;
  struct Changes;

  void refreshTitles(const CodexPaths& paths);
  // The rollouts in the sessions folder, one per session id.
  std::vector<Pending> scan(const CodexPaths& paths, Date now);
  void merge(Reader&& reader, const Pending& file, bool isReset, Date commandsFrom,
             Changes& changes);
  // Forgets the sessions whose files the last scan did not find.
  void forgetUnseen(Changes& changes);
  void expire(Date now, Changes& changes);
  void save(Date now, const Changes& changes);

  // Owned by the one refresh in progress (isRefreshing_ keeps others out).
  Files::ListingCache listings_;
  std::unordered_map<std::string, FileState> files_;
  uint64_t scans_ = 0;
  bool lookedForAll_ = false;

  mutable std::mutex lock_;
  // Guarded by lock_.
  std::unordered_map<std::string, CodexSession> sessions_;
  std::map<std::string, std::string> titles_;
  std::optional<Date> titlesModified_;
  uint64_t titlesSize_ = 0;
  IndexStore::Tally buckets_;
  std::unordered_map<std::string, ToolEvent> commands_;
  std::vector<IndexStore::PlanReading> readings_;
  std::optional<CodexLimits> latest_;
  Date lastScan_ = Date::distantPast();
  bool hasRead_ = false;
  std::shared_ptr<IndexStore> store_;
  bool isRefreshing_ = false;
  // Sessions forgotten whose usage is still held.
  std::unordered_set<std::string> forgotten_;
  // Expiring walks every call and slot held; once a minute is soon enough.
  Date expiredAt_ = Date::distantPast();
};

}  // namespace tessel
