// The Claude desktop app's sessions, one small JSON file each, two folder levels below
// its session store. Files are re-read only when their modification time changes. One
// lock held for a whole load; safe from any thread.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "claude/session_record.h"
#include "paths/claude_paths.h"
#include "util/date.h"

namespace tessel {

class DesktopSessionStore {
 public:
  // The title of a session the desktop app has not named (yet).
  static constexpr const char* untitled = "Untitled session";

  // The records of every readable desktop session file, in no particular order.
  std::vector<SessionRecord> load(const ClaudePaths& paths);

 private:
  mutable std::mutex lock_;
  // Guarded by lock_. File path -> (modification time, its record, or none for a file
  // that holds no session), so unchanged files are not parsed again.
  std::unordered_map<std::string, std::pair<Date, std::optional<SessionRecord>>> cache_;
};

}  // namespace tessel
