// One transcript of the projects tree: a main session, or a sub-agent's file written while
// its parent waits for the Agent call. A writer and its sub-agents' run on one thread,
// drawing on the session's Random in a fixed order, so that a seed names the same bytes
// however many threads write the tree.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "projects_tree.h"
#include "tree/file_out.h"
#include "tree/project.h"
#include "tree/random.h"
#include "tree/tool_calls.h"
#include "tree/units.h"
#include "tree/vocabulary.h"

namespace tessel::bench {

class SessionWriter {
 public:
  struct Setting {
    const Pools& pools;
    const Project& project;
    std::string projectPath;  // <output>/projects/<project-dir>
    int64_t nowMs;
  };

  // A main session of about `bytes`, including its sub-agents' files.
  SessionWriter(const Setting& setting, Random& random, TreeStats& stats, uint64_t bytes);

  void writeSession();

 private:
  // A sub-agent of `parent`, started by the Agent call `toolUseId` at the parent's clock.
  SessionWriter(SessionWriter& parent, const std::string& agentId, const std::string& toolUseId,
                uint64_t bytes);
  static std::string subagentPath(const SessionWriter& parent, const std::string& agentId,
                                  const std::string& toolUseId);
  void chooseSessionTraits(uint64_t bytes);

  void advance(int64_t gapMs);
  void advanceLogUniform(double lowMs, double highMs);
  bool full() const { return agents_.empty() && out_.size() + closingReserve >= ownTarget_; }
  Budget budget() const {
    const uint64_t used = out_.size() + closingReserve;
    return {used < ownTarget_ ? ownTarget_ - used : 0};
  }

  std::string& buf() { return out_.buffer(); }
  void openEntry();
  // uuid and timestamp; the caller may add members after them before endEntry.
  void stampEntry(const std::string& id);
  void endEntry();
  void metadataLine(std::string_view type, std::string_view key, std::string_view value);
  void customTitleLine() { metadataLine("custom-title", "customTitle", customTitleText_); }
  void aiTitleLine() { metadataLine("ai-title", "aiTitle", aiTitleText_); }
  void queueOperation(std::string_view operation, const std::string* content);
  void fileHistorySnapshot(const std::string& messageId);
  void appendUsage(std::string& b, int64_t outputTokens);

  void turn(bool first);
  void promptLine(const std::string& id);
  void modelCommand(const std::string& id);
  void syntheticReply();
  void maybeCompact();
  void turnDuration(int64_t turnStart);
  void reply();
  std::string thinkingBlock();
  void assistantMessage(bool endsWithTools);
  void step(bool& interrupted);
  void resultLine(const ToolCall& call, const std::string& sourceUuid);
  void rejected(ToolCall& call);
  void interruptLine();

  void agentCall(ToolCall& call, uint64_t bytes);
  void runAgent(ToolCall& call);
  void writeSubagent(std::string& report);
  void close();

  static constexpr uint64_t closingReserve = 2 * kKiB;

  const Setting& setting_;
  const Pools& pools_;
  const Project& project_;
  Random& random_;
  TreeStats& stats_;
  std::string sessionId_;
  FileOut out_;
  ToolCalls tools_;

  // The bytes of this file alone: the session's share after its sub-agents' files.
  uint64_t ownTarget_ = 1;
  std::string model_, envelope_, head_, parent_, promptId_, promptText_;
  std::string aiTitleText_, customTitleText_;
  bool aiTitle_ = false, customTitle_ = false, lastPrompts_ = false;
  bool identicalUsage_ = false, serverToolUse_ = false, sidechain_ = false;
  int64_t start_ = 0, span_ = 0, clock_ = 0, limit_ = 0, lastStampMs_ = 0;
  int64_t context_ = 0, newTokens_ = 0, toolCount_ = 0;
  uint64_t nextCompactAt_ = 5 * kMiB;
  // (when, as a share of the session's own bytes; bytes) of each sub-agent still to run.
  std::vector<std::pair<double, uint64_t>> agents_;
  std::vector<std::string> blocks_, blockUuids_;
  std::vector<ToolCall> calls_;
};

}  // namespace tessel::bench
