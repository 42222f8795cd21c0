// The companion plugin's writers: each Claude Code session whose status line runs our
// command leaves one small record, <support dir>/connector/writers/<sessionId>.json,
// saying which plugin version serves it and what the session calls itself. The Monitor
// checks them on every snapshot; one lock, never held while a file is read.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "claude/live_session.h"
#include "paths/claude_paths.h"
#include "util/date.h"

namespace tessel {

// Which Claude Code version a session runs, and whether a writer reported it or it was
// taken from the session file written when the session started.
struct SessionVersion {
  std::optional<std::string> version{};
  bool isReported = false;

  bool operator==(const SessionVersion&) const = default;
};

class PluginWriters {
 public:
  // A writer's record of a session that is neither live nor touched for this long is
  // deleted: its session is over.
  static constexpr double keepDays = 3;

  struct Record {
    std::string sessionId;
    std::optional<std::string> title{};
    std::optional<std::string> cwd{};
    std::string version{};
    Date t{};  // when the writer last wrote, stored as milliseconds since 1970
    std::optional<std::string> desktopId{};

    bool operator==(const Record&) const = default;
  };

  static std::string dir(const ClaudePaths& paths);
  // One file's record; nothing when it is not JSON, lacks "sessionId" or "version", or
  // a member has the wrong type.
  static std::optional<Record> parse(std::string_view text);
  static std::string encode(const Record& record);
  // Replaces the session's record in one rename, so a reader never sees half of it.
  static bool write(const Record& record, const ClaudePaths& paths);

  // Brings `seen` up to date with the folder: files whose modification time changed are
  // read again, files that went away are forgotten, and a file that does not read keeps
  // its session's previous record.
  void check(const ClaudePaths& paths);
  // Deletes from `dir` the records of sessions not in `live` whose file is older than
  // `keepDays`.
  void prune(const std::vector<LiveSession>& live, const std::string& dir, Date now);

  std::unordered_map<std::string, Record> seen() const;
  SessionVersion version(const LiveSession& session) const;

 private:
  struct Entry {
    Date modified{};
    std::optional<Record> record{};
  };

  mutable std::mutex lock_;
  // Guarded by lock_. Keyed by file name.
  std::unordered_map<std::string, Entry> files_;
};

}  // namespace tessel
