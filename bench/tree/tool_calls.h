// The tool calls of a session but its sub-agents' Agent calls: what the model asks each
// tool for and what the tool answers, both as Claude Code records them. One ToolCalls per
// transcript, on its writer's thread; it keeps what earlier calls left behind: shells
// running in the background and the files written so far.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tree/project.h"
#include "tree/random.h"
#include "tree/vocabulary.h"

namespace tessel::bench {

struct ToolCall {
  std::string id, name, input;
  std::string content;  // a JSON value: a string with its quotes, or an array
  std::string result;   // the toolUseResult value
  bool isError = false;
  int64_t durationMs = 0;
  uint64_t agentBytes = 0;  // the share of the session's bytes an Agent call hands on
};

// What is left of a transcript's own bytes, which bounds each output so that files land
// close to their planned sizes.
struct Budget {
  uint64_t leftBytes = 0;

  // `wanted` bytes, fewer near the end.
  size_t cap(double wanted) const {
    return static_cast<size_t>(
        std::min(wanted, std::max(64.0, static_cast<double>(leftBytes) / 3)));
  }
};

class ToolCalls {
 public:
  ToolCalls(const Pools& pools, const Project& project, Random& random)
      : pools_(pools), project_(project), random_(random) {}

  // Fills in `call`, whose id is set, as a coding session spreads its calls: Bash about
  // 40%, then reads, edits, searches and the rest. `nowMs` is when the call is made.
  void make(ToolCall& call, Budget budget, int64_t nowMs);

  // Each file written or edited so far, with how many times, for the file-history
  // snapshots of later prompts.
  const std::vector<std::pair<std::string, int64_t>>& editedFiles() const { return editedFiles_; }

 private:
  void bash(ToolCall& call, Budget budget);
  void bashOutput(ToolCall& call, Budget budget, int64_t nowMs);
  void todoWrite(ToolCall& call);
  void webFetch(ToolCall& call, Budget budget);
  void webSearch(ToolCall& call, Budget budget);
  void mcp(ToolCall& call, Budget budget);

  void read(ToolCall& call, Budget budget);
  void edit(ToolCall& call, Budget budget, bool multi);
  void write(ToolCall& call, Budget budget);
  void grep(ToolCall& call, Budget budget);
  void glob(ToolCall& call, Budget budget);
  int64_t fileLines(size_t bytes, std::string* raw, std::string* numbered, int64_t firstLine);
  const std::string& someFile();
  void noteEdited(const std::string& path);

  const Pools& pools_;
  const Project& project_;
  Random& random_;
  int64_t backgroundCount_ = 0;
  std::vector<std::string> background_;  // shells started in the background, not yet read
  std::vector<std::pair<std::string, int64_t>> editedFiles_;
};

}  // namespace tessel::bench
