// The shell commands ("Bash" calls) Claude Code sessions ran in the last three days,
// read from every transcript on the machine, sub-agents' included. Each transcript is
// read from where the previous refresh stopped; calls and offsets are kept in the index
// store so a restart does not read old bytes again. One lock guards the maps; files are
// read without it. Safe from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/tool_event.h"
#include "paths/claude_paths.h"
#include "util/date.h"
#include "util/files.h"

namespace tessel {

class IndexStore;

class CommandIndex {
 public:
  static constexpr double keepDays = 3;
  // A first read of a transcript looks at no more than its last this many bytes.
  static constexpr uint64_t firstReadBytes = 8000000;

  // Starts from what `store` holds, when there is one.
  CommandIndex(std::shared_ptr<IndexStore> store, Date now);

  // Reads what the transcripts gained since the last refresh and saves when anything
  // changed. Refreshes that overlap read the same bytes and agree on what they found.
  void refresh(const ClaudePaths& paths, Date now);

  // The calls held, in no particular order.
  std::vector<ToolEvent> all() const;
  // Grows whenever the calls `all` gives change, so a reader can keep its copy until then.
  uint64_t changes() const;

 private:
  const std::shared_ptr<IndexStore> store_;
  Files::ListingCache listings_;
  mutable std::mutex lock_;
  // Guarded by lock_: transcript path -> bytes consumed, and call id -> call.
  std::unordered_map<std::string, uint64_t> offsets_;
  std::unordered_map<std::string, ToolEvent> commands_;
  uint64_t changes_ = 0;
};

}  // namespace tessel
