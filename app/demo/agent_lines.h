// The files the demo's agents leave, written the way Claude Code and Codex write theirs:
// a Claude Code transcript growing one compact JSON line at a time, the hook input
// Claude Code hands its hooks, its live session file, and a Codex rollout. Each writer
// belongs to the one simulation thread that drives its agent.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>

#include "util/date.h"

namespace tessel::demo {

using Json = nlohmann::ordered_json;

// Random ids in the shapes the agents use, from one seeded generator so every run of the
// demo tells the same story.
class Ids {
 public:
  explicit Ids(uint64_t seed) : random_(seed) {}
  std::string uuid();
  // "toolu_" / "msg_" / "req_" followed by base-62 characters.
  std::string prefixed(std::string_view prefix, size_t length = 24);
  // Lower-case hexadecimal, as container engines name their containers.
  std::string hex(size_t length);
  int between(int low, int high);

 private:
  std::mt19937_64 random_;
};

// Percent used of the plan's two windows and when each starts afresh.
struct PlanWindows {
  double fiveHour = 0;
  Date fiveHourResets{};
  double weekly = 0;
  Date weeklyResets{};
};

// ISO 8601 in UTC with milliseconds, as both agents stamp their lines.
std::string stamp(Date date);

struct ClaudeSessionFacts {
  std::string sessionId;
  std::string cwd;
  std::string model;
  std::string gitBranch = "main";
  std::string version = "2.1.27";
};

// Claude Code's project folder name for a working directory: every character that is
// not a letter or digit becomes "-".
std::string projectFolderName(const std::string& cwd);

class TranscriptWriter {
 public:
  // With `agentId`, the transcript of a sub-agent of the session: its lines are marked as
  // a side chain of the session's own.
  TranscriptWriter(std::string path, ClaudeSessionFacts facts, uint64_t seed,
                   std::optional<std::string> agentId = std::nullopt);

  const std::string& path() const { return path_; }
  const ClaudeSessionFacts& facts() const { return facts_; }

  void prompt(const std::string& text, Date at);
  void title(const std::string& aiTitle);
  // The call's id.
  std::string toolUse(const std::string& tool, const Json& input, Date at);
  void toolResult(const std::string& id, const std::string& output, bool isError, Date at);
  void reply(const std::string& text, Date at);

 private:
  Json envelope(std::string_view type, Json message, Date at);
  Json assistantMessage(Json content, std::string_view stopReason);
  void append(const Json& line);

  std::string path_;
  ClaudeSessionFacts facts_;
  Ids ids_;
  std::optional<std::string> agentId_;
  std::optional<std::string> parent_{};
};

// What Claude Code writes to a hook's standard input for `event`; `extra` adds the
// event's own members (tool_name, tool_input, ...).
std::string hookInput(const ClaudeSessionFacts& facts, const std::string& transcriptPath,
                      std::string_view event, const Json& extra);

// Claude Code's live session file of a running process.
std::string liveSessionFile(const ClaudeSessionFacts& facts, int32_t pid, const std::string& name,
                            const std::string& status, Date startedAt, Date statusSince, Date now);

class RolloutWriter {
 public:
  RolloutWriter(std::string path, std::string threadId, std::string cwd, std::string model,
                uint64_t seed);

  void start(Date at);
  void userTurn(const std::string& text, Date at);
  // The call's id.
  std::string execCommand(const std::string& command, Date at);
  void execOutput(const std::string& callId, int exitCode, const std::string& output, Date at);
  // Adds one model response's tokens to the session's totals and reports them with the
  // plan's windows.
  void tokenCount(const PlanWindows& plan, Date at);
  void complete(const std::string& message, Date at);

 private:
  void line(std::string_view type, Json payload, Date at);

  std::string path_;
  std::string threadId_;
  std::string cwd_;
  std::string model_;
  Ids ids_;
  int64_t input_ = 0, cached_ = 0, output_ = 0;
};

}  // namespace tessel::demo
