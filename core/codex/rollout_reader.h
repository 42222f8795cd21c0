// Reads the lines of one rollout file into what the index keeps: the session's facts,
// its token usage per slot, its tool calls and its rate-limit readings. A value used by
// one thread at a time, one per file being read.
//
// Each line is classified by the markers in its first 200 bytes, so the long lines of
// tool output and model messages are passed over without being parsed. A line that does
// not parse, or whose members have the wrong types, yields nothing.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "codex/codex_index.h"

namespace tessel {

struct CodexIndex::Reader {
  struct Ended {
    Date end{};
    bool isFailed = false;
    bool operator==(const Ended&) const = default;
  };

  CodexSession session{};
  IndexStore::Tally buckets{};
  // Call id -> call; the calls of one code cell are "<call id>", "<call id>#2", ...
  std::unordered_map<std::string, ToolEvent> commands{};
  std::vector<CodexLimits> limits{};
  // Call id -> how the call ended, for calls of this file or of earlier reads.
  std::unordered_map<std::string, Ended> ended{};

  explicit Reader(CodexSession from) : session(std::move(from)) {}

  // The id of the `n`th call (from 1) that one tool call stands for: "<call id>" for the
  // first, "<call id>#<n>" after it.
  static std::string partID(std::string_view callID, int n);

  // Reads whole lines; `text` begins at a line start. `isFileStart`: `text` begins at the
  // file's first byte, whose line decides whether the file is a rollout at all.
  void read(std::string_view text, bool isFileStart);

  // The tool calls a code cell makes: "tools.exec_command({cmd, workdir})" calls become
  // shell commands, "tools.apply_patch(...)" one file edit per file the patch adds or
  // updates, "tools.image_gen__imagegen(" an image generation.
  static std::vector<ToolEvent> events(std::string_view code, const std::string& callID,
                                       const CodexSession& session, Date at);

 private:
  void readLine(std::string_view line);
  void add(std::vector<ToolEvent> events);
  static std::vector<ToolEvent> numbered(std::vector<ToolEvent> events, std::string_view callID);
};

}  // namespace tessel
