// One rollout file of a Codex home: the session's traits, its clock and token counts,
// the framing of its lines, and the turns of work they record. Lines go to a string that
// is either a file's buffer or, for a live session that a benchmark appends to, a plain
// string. One Rollout per file, on its writer's thread, drawing on the file's own Random
// in a fixed order, so that a seed names the same bytes however many threads write.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tree/file_out.h"
#include "tree/random.h"
#include "tree/units.h"
#include "tree/vocabulary.h"

namespace tessel::bench {

struct CodexProject {
  std::string cwd;  // raw, not escaped: it lands both once and twice escaped
  Language language = cpp;
  std::vector<std::string> files;  // relative to cwd, raw
  std::vector<std::string> branches;
  std::string remote;
  std::string agentsMd;  // escaped: the user instructions every turn repeats
};

struct RolloutStats {
  uint64_t files = 0, subagents = 0, bytes = 0, lines = 0, turns = 0, calls = 0, failed = 0,
           oddLines = 0, tornFiles = 0, titles = 0;
  void add(const RolloutStats& other) {
    files += other.files;
    subagents += other.subagents;
    bytes += other.bytes;
    lines += other.lines;
    turns += other.turns;
    calls += other.calls;
    failed += other.failed;
    oddLines += other.oddLines;
    tornFiles += other.tornFiles;
    titles += other.titles;
  }
};

// Who started the session, which decides the meta line and whether rate limits appear.
enum class Client { cli, vscode, exec, review };

class Rollout {
 public:
  struct Plan {
    std::string id;
    Client client = Client::cli;
    int64_t startMs = 0, endMs = 0;
    uint64_t bytes = 0;
  };

  // Lines are appended to `out`; with `file`, `out` is its buffer and is flushed as it
  // fills.
  Rollout(const Pools& pools, const CodexProject& project, Random& random, RolloutStats& stats,
          std::string& out, FileOut* file);

  // The whole file: the meta line, turns until the planned size, now and then a torn
  // last line. Returns the time of the last whole line, the file's modification time.
  int64_t writeFile(const Plan& plan);
  // A live session's next `count` lines at about `nowMs`: the session goes on where its
  // last lines stopped, turn after turn.
  void appendLive(size_t count, int64_t nowMs);

  const std::string& threadName() const { return threadName_; }

 private:
  enum class LimitStyle { current, older, weeklyOnly, none };
  enum class CallKind { execCommand, shell, shellCommand, updatePlan, applyPatch, codeMode };

  void chooseTraits(const Plan& plan);
  uint64_t written() const { return file_ != nullptr ? file_->size() : out_.size(); }
  bool full() const { return written() + closingReserve >= target_; }
  size_t cap(double wanted) const;

  // Every line: the envelope's opening, the payload's members, the closing.
  void open(std::string_view type);
  void openEvent(std::string_view eventType);
  void close();
  void advance(int64_t gapMs);
  void maybeOddLine();

  void sessionMeta();
  void turn(bool first);
  void turnContext();
  void userMessage(bool first);
  void tokenCount(bool withInfo);
  void appendUsage(int64_t input, int64_t cached, int64_t output, int64_t reasoning);
  void appendRateLimits();
  void appendWindow(int tenths, int minutes, int64_t windowMs);
  void reasoning();
  void agentMessage(bool final);
  void step();

  // In codex_tools.cpp: one call and its output.
  void call(CallKind kind);
  CallKind chooseCall();
  std::string command();
  // Output text, escaped once, of about `bytes`; `exitCode` picks what it looks like.
  std::string outputText(const std::string& cmd, size_t bytes, int exitCode);
  std::string patchText(bool forTemplate);
  std::string planArguments();
  std::string callId();
  int exitCode();
  // One function call line; `arguments` is the JSON document Codex writes as a string.
  void functionCall(std::string_view name, const std::string& arguments, const std::string& id);
  // A tool output line up to its text, which the caller appends escaped before endOutput.
  void beginOutput(const std::string& id, bool isCustom);
  void endOutput();
  void execCommand();
  void shell();
  void shellCommand();
  void updatePlan();
  void applyPatch();
  void codeMode();

  static constexpr uint64_t closingReserve = 1 * kKiB;

  const Pools& pools_;
  const CodexProject& project_;
  Random& random_;
  RolloutStats& stats_;
  std::string& out_;
  FileOut* file_;

  Plan plan_;
  uint64_t target_ = 1;
  int64_t clock_ = 0, limit_ = 0, lastWholeMs_ = 0;
  size_t lineStart_ = 0;
  std::string model_, effort_, approval_, sandbox_, instructions_, cliVersion_, threadName_;
  LimitStyle limits_ = LimitStyle::current;
  bool older_ = false, codeMode_ = false, userInstructions_ = true, repeatCounts_ = false;
  std::string planType_;
  // Token totals are the session's, cumulative; context is what the next request sends.
  int64_t totalInput_ = 0, totalCached_ = 0, totalOutput_ = 0, totalReasoning_ = 0;
  int64_t context_ = 0, window_ = 272000;
  int fiveHourTenths_ = 0, weeklyTenths_ = 0;
  int64_t weeklyPhaseMs_ = 0;
  int64_t execSessions_ = 0;
  std::vector<int64_t> runningSessions_;  // exec_command sessions still running
};

}  // namespace tessel::bench
