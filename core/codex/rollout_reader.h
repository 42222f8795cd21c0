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
  // The same, written into `into`, whose room is kept from one call to the next.
  static void partID(std::string_view callID, int n, std::string& into);

  // Reads whole lines; `text` begins at a line start. `isFileStart`: `text` begins at the
  // file's first byte, whose line decides whether the file is a rollout at all.
  // `readable`: how many bytes from `text`'s start may be read (none past `text` when 0);
  // a line with the parser's padding readable after it is parsed where it lies, not copied.
  void read(std::string_view text, bool isFileStart, size_t readable = 0);

  // The tool calls a code cell makes: "tools.exec_command({cmd, workdir})" calls become
  // shell commands, "tools.apply_patch(...)" one file edit per file the patch adds or
  // updates, "tools.image_gen__imagegen(" an image generation.
  static std::vector<ToolEvent> events(std::string_view code, const std::string& callID,
                                       const CodexSession& session, Date at);

 private:
  void readLine(std::string_view line, size_t readable);
  void add(std::vector<ToolEvent> events);
  static std::vector<ToolEvent> numbered(std::vector<ToolEvent> events, std::string_view callID);

  IndexStore::Bucket key_{};
};

}  // namespace tessel
