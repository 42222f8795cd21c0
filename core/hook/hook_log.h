// The hook log files: one JSON line per hook event in one file per local day. Appends
// come from many short-lived hook processes at once; pruning, compaction and the
// trimming of container events files run in the long-lived process. Nothing here
// reports failure: a log that cannot be touched is left as it is.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "hook/hook_record.h"
#include "paths/claude_paths.h"
#include "util/date.h"

namespace tessel::HookLog {

// hookDir + "/events-yyyy-MM-dd.jsonl" of the local day that holds `day`.
std::string file(const ClaudePaths& paths, Date day);

// Adds the record as one line to the file of `now`'s day with a single append-mode
// write, which keeps lines whole when several processes append at once.
void append(const HookRecord& record, const ClaudePaths& paths, Date now);

// The nearest Claude Code process: `start` or one of its five nearest ancestors. A
// process counts when its executable is named "claude" or lies in a ".../claude/versions"
// folder, or when its first argument's last component is "claude".
std::optional<int32_t> claudeAncestor(int32_t start);

// Deletes day files older than seven days, then compacts.
void prune(const ClaudePaths& paths, Date now);

// Rewrites every day file but today's without background-tool lines; each file at
// most once per process.
void compact(const ClaudePaths& paths, Date now);

// Shortens a container events file larger than `overBytes` to the lines of the last
// `keepDays` days; each file at most once per process, when first seen.
void trimContainerLog(const std::string& path, double keepDays, uint64_t overBytes, Date now);

}  // namespace tessel::HookLog
