// A summary of every Claude Code transcript modified in the last fourteen days: the past
// sessions a user can reopen. Transcripts are scanned from where the previous refresh
// stopped, at most 8 MiB each per refresh, and the summaries persist in the index store.
// One lock guards the summaries; files are read without it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "claude/history_session.h"
#include "paths/claude_paths.h"
#include "util/date.h"
#include "util/files.h"

namespace tessel {

class IndexStore;

class SessionHistory {
 public:
  static constexpr double keepDays = 14;
  // The most of one transcript a refresh reads; a longer file is finished by later ones.
  static constexpr uint64_t chunkBytes = 8388608;

  // Starts from the summaries `store` holds, when there is one.
  explicit SessionHistory(std::shared_ptr<IndexStore> store);

  // Scans what changed, unless the previous scan is less than `every` seconds old.
  void refresh(const ClaudePaths& paths, Date now, double every);

  // The summaries, in no particular order.
  std::vector<HistorySession> all() const;
  // Moves whenever the summaries change, so a caller can keep what it made of `all()`.
  uint64_t changes() const;

 private:
  const std::shared_ptr<IndexStore> store_;
  Files::ListingCache listings_;
  mutable std::mutex lock_;
  // Guarded by lock_.
  std::unordered_map<std::string, HistorySession> known_;
  Date lastScan_ = Date::distantPast();
  uint64_t changes_ = 0;
};

}  // namespace tessel
