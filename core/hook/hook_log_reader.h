// Reads hook log lines back into live facts: each session's tool calls with their start
// and end, its Claude Code process, which sessions ended, when the last event happened,
// and a short trace per session, kept apart for host day files and container events
// files. Incremental: each file is read from just after its last complete line. One
// lock; refreshes may come from any thread and never interleave.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "hook/hook_record.h"
#include "model/tool_event.h"
#include "paths/claude_paths.h"
#include "util/chunked_list.h"
#include "util/date.h"

namespace tessel {

class HookLogReader {
 public:
  // Tools the Claude desktop app calls by itself; they say nothing about a session's work.
  static constexpr std::array<std::string_view, 4> backgroundTools = {
      "mcp__ccd_session_mgmt__get_usage",
      "mcp__ccd_session_mgmt__list_sessions",
      "mcp__ccd_session_mgmt__get_session",
      "mcp__ccd_sidebar__list_groups",
  };
  static bool isBackgroundTool(std::string_view tool);
  // For each background tool, its `"tool":"<name>"` bytes exactly as a log line holds
  // them, so a raw line can be tested without parsing it.
  static const std::vector<std::string>& backgroundMarks();
  // True when `line` holds any background mark.
  static bool hasBackgroundMark(std::string_view line);

  // Tool calls and traces older than this are forgotten.
  static constexpr double keepSeconds = 259200;

  struct SessionTrace {
    std::string log;  // the events file that first named the session
    std::optional<std::string> cwd{};
    Date started{};
    Date last{};
    std::string lastEvent{};
    // The container's host name, from the latest line that gave one.
    std::optional<std::string> container{};
    bool operator==(const SessionTrace&) const = default;
  };

  // Tool calls are shared, never copied, in chunks: a refresh that changed a few calls
  // rebuilds only the chunks that hold them.
  using EventList = ChunkedList<std::shared_ptr<const ToolEvent>>;

  // A copy of the state after a refresh.
  struct Read {
    EventList events;  // in no particular order
    std::unordered_map<std::string, int32_t> sessionPIDs;
    std::unordered_map<std::string, Date> ended;
    std::optional<Date> lastRecord;
    std::unordered_map<std::string, SessionTrace> traces;  // from container events files
    // From the host's day files: what shows a session that left no session file.
    std::unordered_map<std::string, SessionTrace> hostTraces;
  };

  // `ownHostName` is this machine's name: container lines that carry it come from the
  // host itself (see isOwnHostLine).
  explicit HookLogReader(std::string ownHostName);
  HookLogReader();

  // The host's day files of yesterday and today.
  Read refresh(const ClaudePaths& paths, Date now);
  // The given files, in order: host day files or container events files.
  Read refresh(const std::vector<std::string>& files, Date now);

  std::optional<Date> lastRecord() const;

 private:
  void readFile(const std::string& path);
  void handleLine(std::string_view line, size_t capacity, const std::string& path);
  // Takes the record's texts over.
  void ingest(HookRecord&& record);
  static void trace(std::unordered_map<std::string, SessionTrace>& traces, const HookRecord& record,
                    const std::string& path);
  void store(std::shared_ptr<const ToolEvent> event);
  void prune(Date cutoff);
  bool isOwnHostLine(std::string_view ctr) const;

  const std::string ownHostName_;

  mutable std::mutex lock_;
  // Guarded by lock_.
  std::unordered_map<std::string, uint64_t> offsets_;
  std::vector<std::shared_ptr<const ToolEvent>> events_;
  std::unordered_map<std::string, size_t> eventIndex_;  // id -> position in events_
  ChunkedPublisher<std::shared_ptr<const ToolEvent>> published_;
  Date oldestStart_ = Date::distantFuture();  // no event starts earlier
  std::unordered_map<std::string, int32_t> sessionPIDs_;
  std::unordered_map<std::string, Date> ended_;
  std::optional<Date> lastRecord_;
  std::unordered_map<std::string, SessionTrace> traces_;
  std::unordered_map<std::string, SessionTrace> hostTraces_;
};

}  // namespace tessel
