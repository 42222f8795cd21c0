// Claude Code's session transcripts (one JSON object per line, under the projects
// folder): the tool calls they record, the latest model, and where a session's file is.
// Transcript is stateless; TranscriptLocator holds one lock around its small cache.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/tool_event.h"
#include "paths/claude_paths.h"
#include "util/date.h"
#include "util/files.h"

namespace tessel::Transcript {

// The last `maxBytes` bytes of the file as UTF-8 (invalid sequences repaired), starting
// at a line boundary; nothing when the file cannot be read or no whole line fits. With
// `linesEnd`, also the file offset just after the last whole line read (0 for none), where
// a reader of what is appended later begins.
std::optional<std::string> tail(const std::string& path, uint64_t maxBytes,
                                uint64_t* linesEnd = nullptr);

// A tool call's outcome, from a "tool_result" block.
struct Result {
  std::string toolUseId;
  Date end;
  bool isError = false;
  bool operator==(const Result&) const = default;
};

// The tool calls in `text`, in the order they were first seen, each closed by its result
// when the result is in the same text. `sessionHint` names the session of lines that do
// not say. With `onlyCommands`, only "Bash" calls.
std::vector<ToolEvent> events(std::string_view text, const std::optional<std::string>& sessionHint,
                              bool onlyCommands);
// The same, and in the same pass the results in `text` whose call id `wantedResults`
// accepts, appended to `results` in file order: an incremental reader closes calls of
// earlier chunks with them. Lines are tested on their raw bytes first, so lines with only
// results nobody wants are never parsed.
std::vector<ToolEvent> events(std::string_view text, const std::optional<std::string>& sessionHint,
                              bool onlyCommands,
                              const std::function<bool(std::string_view)>& wantedResults,
                              std::vector<Result>& results);

// The model of the latest assistant message ("claude-..."), found without parsing.
std::optional<std::string> lastModel(std::string_view text);

// The transcript files under the projects folder: <project>/<session>.jsonl and, with
// `withSubagents`, <project>/<session>/subagents/*.jsonl. Folders that cannot be listed
// count as empty.
std::vector<std::string> files(const ClaudePaths& paths, bool withSubagents);
// The same, where folders unchanged since `cache` last listed them are not listed again.
std::vector<std::string> files(const ClaudePaths& paths, bool withSubagents,
                               Files::ListingCache& cache, Date now);

// A transcript timestamp: an internet date-time with or without fractional seconds.
std::optional<Date> date(std::optional<std::string_view> value);

}  // namespace tessel::Transcript

namespace tessel {

// Finds the transcript file of a session id, rescanning the projects folder at most
// every three seconds. One lock; safe from any thread.
class TranscriptLocator {
 public:
  static constexpr double rescanSeconds = 3;

  std::optional<std::string> path(const std::string& sessionId, const ClaudePaths& paths, Date now);

 private:
  mutable std::mutex lock_;
  // Guarded by lock_.
  std::unordered_map<std::string, std::string> paths_;
  Date lastScan_ = Date::distantPast();
};

}  // namespace tessel
