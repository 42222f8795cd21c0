// A transcript's life: its traits, its clock, the framing of its lines, and the sub-agents
// it hands work to. What happens within a turn is in turns.cpp.
#include "tree/session_writer.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "support/transcript_format.h"
#include "tree/text.h"

namespace tessel::bench {

SessionWriter::SessionWriter(const Setting& setting, Random& random, TreeStats& stats,
                             uint64_t bytes)
    : setting_(setting),
      pools_(setting.pools),
      project_(setting.project),
      random_(random),
      stats_(stats),
      sessionId_(uuid(random)),
      out_(setting.projectPath + "/" + sessionId_ + ".jsonl"),
      tools_(pools_, project_, random_) {
  chooseSessionTraits(bytes);
}

void SessionWriter::writeSession() {
  stats_.sessions++;
  bool first = true;
  while (!full()) {
    turn(first);
    first = false;
  }
  if (customTitle_ && random_.chance(0.5)) customTitleLine();
  if (aiTitle_ && random_.chance(0.5)) aiTitleLine();
  close();
}

SessionWriter::SessionWriter(SessionWriter& parent, const std::string& agentId,
                             const std::string& toolUseId, uint64_t bytes)
    : setting_(parent.setting_),
      pools_(parent.pools_),
      project_(parent.project_),
      random_(parent.random_),
      stats_(parent.stats_),
      sessionId_(parent.sessionId_),
      out_(subagentPath(parent, agentId, toolUseId)),
      tools_(pools_, project_, random_) {
  ownTarget_ = bytes;
  model_ = random_.chance(0.35) ? "claude-haiku-4-5-20251001" : parent.model_;
  envelope_ = parent.envelope_;
  TranscriptFormat::appendSidechain(head_, agentId);
  sidechain_ = true;
  start_ = parent.clock_;
  clock_ = start_;
  span_ = static_cast<int64_t>(random_.logUniform(20.0 * kSecondMs, 8.0 * kMinuteMs) *
                               std::max(1.0, static_cast<double>(bytes) / (200.0 * kKiB)));
  limit_ = parent.limit_;
  identicalUsage_ = parent.identicalUsage_;
  context_ = random_.between(8000, 20000);
}

std::string SessionWriter::subagentPath(const SessionWriter& parent, const std::string& agentId,
                                        const std::string& toolUseId) {
  const std::string folder = parent.setting_.projectPath + "/" + parent.sessionId_ + "/subagents";
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  const std::string meta = folder + "/agent-" + agentId + ".meta.json";
  const std::string sidecar = "{\"toolUseId\":\"" + toolUseId + "\"}";
  FileOut sidecarFile(meta);
  sidecarFile.buffer() = sidecar;
  sidecarFile.close(parent.clock_);
  return folder + "/agent-" + agentId + ".jsonl";
}

void SessionWriter::chooseSessionTraits(uint64_t bytes) {
  Random& r = random_;
  const double modelDraw = r.unit();
  model_ = modelDraw < 0.55   ? "claude-opus-4-7"
           : modelDraw < 0.95 ? "claude-sonnet-4-6"
                              : "claude-haiku-4-5-20251001";
  // Most sessions ended in the last ten days; a few are older, beyond two weeks.
  const double ageDays = r.chance(0.05) ? r.logUniform(14.5, 30) : r.unit() * 10;
  const auto endMs = setting_.nowMs - static_cast<int64_t>(ageDays * kDayMs);
  const double megabytes = static_cast<double>(bytes) / kMiB;
  const double spanMs = megabytes < 0.5  ? r.logUniform(5.0 * kMinuteMs, 3.0 * kHourMs)
                        : megabytes < 10 ? r.logUniform(1.0 * kHourMs, 10.0 * kHourMs)
                                         : r.logUniform(10.0 * kHourMs, 3.0 * kDayMs);
  span_ = static_cast<int64_t>(spanMs);
  start_ = endMs - span_;
  clock_ = start_;
  limit_ = setting_.nowMs - kSecondMs;
  const int64_t minor = 140 - static_cast<int64_t>(ageDays * 2) - r.between(0, 3);
  const double entry = r.unit();
  const char* entrypoint = entry < 0.9    ? "cli"
                           : entry < 0.95 ? "claude-desktop"
                           : entry < 0.98 ? "sdk-cli"
                                          : "sdk-py";
  static const char* const animals[] = {"otter", "falcon", "badger", "heron", "lynx",  "marten",
                                        "tapir", "wombat", "ibis",   "gecko", "quail", "bison"};
  std::string slug = fill("@a-@n-", r) + r.pick(animals);
  const std::string branch = escaped(r.pick(project_.branches));
  std::string version = "2.1.";
  version += std::to_string(minor);
  TranscriptFormat::appendEnvelope(envelope_, {.entrypoint = entrypoint,
                                               .cwd = project_.cwd,
                                               .sessionId = sessionId_,
                                               .version = version,
                                               .gitBranch = branch,
                                               .slug = slug});
  TranscriptFormat::appendSidechain(head_, "");
  aiTitle_ = r.chance(0.85);
  customTitle_ = r.chance(0.2);
  lastPrompts_ = r.chance(0.9);
  identicalUsage_ = r.chance(0.4);
  serverToolUse_ = r.chance(0.3);
  context_ = r.between(12000, 30000);
  // About a fifth of sessions hand work to sub-agents, each with a slice of the bytes.
  uint64_t childBytes = 0;
  if (r.chance(0.2)) {
    const auto count = static_cast<size_t>(r.between(1, 3));
    const double share = r.logUniform(0.1, 0.4);
    for (size_t i = 0; i < count; ++i) {
      const auto slice = std::max<uint64_t>(
          6 * kKiB, static_cast<uint64_t>(static_cast<double>(bytes) * share / count));
      agents_.push_back({r.unit() * 0.8, slice});
      childBytes += slice;
    }
    std::sort(agents_.begin(), agents_.end());
    if (childBytes > bytes / 2) {
      agents_.clear();
      childBytes = 0;
    }
  }
  ownTarget_ = bytes - childBytes;
}

// Lines come `gapMs` apart, but never earlier than their share of the session's span
// by bytes written, so that big sessions spread over hours or days.
void SessionWriter::advance(int64_t gapMs) {
  const double progress =
      std::min(1.0, static_cast<double>(out_.size()) / static_cast<double>(ownTarget_));
  const auto floor = start_ + static_cast<int64_t>(progress * static_cast<double>(span_));
  const int64_t next = std::max(clock_ + gapMs, floor);
  clock_ = std::max(clock_, std::min(next, limit_));
}

void SessionWriter::advanceLogUniform(double lowMs, double highMs) {
  advance(static_cast<int64_t>(random_.logUniform(lowMs, highMs)));
}

void SessionWriter::openEntry() {
  std::string& b = buf();
  TranscriptFormat::openEntry(b, parent_);
  b += head_;
}

void SessionWriter::stampEntry(const std::string& id) {
  TranscriptFormat::appendStamp(buf(), id, clock_);
  parent_ = id;
  lastStampMs_ = clock_;
}

void SessionWriter::endEntry() {
  std::string& b = buf();
  b += envelope_;
  b += "}\n";
  out_.maybeFlush();
}

void SessionWriter::metadataLine(std::string_view type, std::string_view key,
                                 std::string_view value) {
  std::string& b = buf();
  b += "{\"type\":\"";
  b += type;
  b += "\",\"";
  b += key;
  b += "\":\"";
  b += value;
  b += "\",\"sessionId\":\"";
  b += sessionId_;
  b += "\"}\n";
}

void SessionWriter::queueOperation(std::string_view operation, const std::string* content) {
  std::string& b = buf();
  b += "{\"type\":\"queue-operation\",\"operation\":\"";
  b += operation;
  b += "\",\"timestamp\":\"";
  TranscriptFormat::appendTimestamp(b, clock_);
  b += "\",\"sessionId\":\"";
  b += sessionId_;
  b += '"';
  if (content != nullptr) {
    b += ",\"content\":\"";
    b += *content;
    b += '"';
  }
  b += "}\n";
}

void SessionWriter::fileHistorySnapshot(const std::string& messageId) {
  std::string& b = buf();
  b += "{\"type\":\"file-history-snapshot\",\"messageId\":\"";
  b += messageId;
  b += "\",\"snapshot\":{\"messageId\":\"";
  b += messageId;
  b += "\",\"trackedFileBackups\":{";
  const auto& editedFiles = tools_.editedFiles();
  for (size_t i = 0; i < editedFiles.size(); ++i) {
    if (i > 0) b += ',';
    b += '"';
    b += editedFiles[i].first;
    b += "\":{\"backupFileName\":\"";
    b += randomChars(random_, kHex, 16);
    b += "@v";
    appendNumber(b, editedFiles[i].second);
    b += "\",\"version\":";
    appendNumber(b, editedFiles[i].second);
    b += ",\"backupTime\":\"";
    TranscriptFormat::appendTimestamp(b, clock_);
    b += "\"}";
  }
  b += "},\"timestamp\":\"";
  TranscriptFormat::appendTimestamp(b, clock_);
  b += "\"},\"isSnapshotUpdate\":false}\n";
}

void SessionWriter::appendUsage(std::string& b, int64_t outputTokens) {
  b += "{\"input_tokens\":";
  appendNumber(b, random_.between(1, 12));
  b += ",\"cache_creation_input_tokens\":";
  appendNumber(b, newTokens_);
  b += ",\"cache_read_input_tokens\":";
  appendNumber(b, context_);
  b += ",\"output_tokens\":";
  appendNumber(b, outputTokens);
  if (serverToolUse_)
    b += ",\"server_tool_use\":{\"web_search_requests\":0,\"web_fetch_requests\":0}";
  b += ",\"cache_creation\":{\"ephemeral_5m_input_tokens\":0,\"ephemeral_1h_input_tokens\":";
  appendNumber(b, newTokens_);
  b += "},\"service_tier\":\"standard\"}";
}

void SessionWriter::agentCall(ToolCall& call, uint64_t bytes) {
  static const char* const types[] = {"general-purpose", "general-purpose", "Explore", "Plan"};
  std::string prompt;
  appendProse(prompt, pools_, static_cast<size_t>(random_.logUniform(200, 2500)), random_);
  call.name = "Agent";
  call.input = "{\"description\":\"" + escaped(fill("@A the @n @n", random_)) + "\",\"prompt\":\"" +
               prompt + "\",\"subagent_type\":\"" + random_.pick(types) + "\"}";
  call.content = prompt;  // handed to the sub-agent in runAgent
  call.agentBytes = bytes;
}

// The sub-agent runs while the parent waits; its report is the call's result.
void SessionWriter::runAgent(ToolCall& call) {
  const std::string agentId = randomChars(random_, kHex, 16);
  const std::string prompt = std::move(call.content);
  const int64_t started = clock_;
  std::string report;
  uint64_t written = 0;
  int64_t toolCount = 0;
  int64_t ended = clock_;
  {
    SessionWriter child(*this, agentId, call.id, call.agentBytes);
    child.promptText_ = prompt;
    child.writeSubagent(report);
    written = child.out_.size();
    toolCount = child.toolCount_;
    ended = child.clock_;
  }
  stats_.subagentFiles++;
  // Bytes a sub-agent wrote beyond or short of its share come out of the parent's.
  ownTarget_ += call.agentBytes;
  ownTarget_ = ownTarget_ > written ? ownTarget_ - written : 1;
  clock_ = std::max(clock_, ended);
  const std::string content = "[{\"type\":\"text\",\"text\":\"" + report + "\"}]";
  call.content = content;
  call.result = "{\"status\":\"completed\",\"prompt\":\"" + prompt + "\",\"agentId\":\"" + agentId +
                "\",\"content\":" + content +
                ",\"totalDurationMs\":" + std::to_string(ended - started) +
                ",\"totalTokens\":" + std::to_string(random_.between(5000, 120000)) +
                ",\"totalToolUseCount\":" + std::to_string(toolCount) + ",\"usage\":";
  appendUsage(call.result, random_.between(200, 4000));
  call.result += '}';
  call.durationMs = random_.between(5, 50);
}

void SessionWriter::writeSubagent(std::string& report) {
  promptId_.clear();
  std::string& b = buf();
  openEntry();
  b += ",\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":\"";
  b += promptText_;
  b += "\"}";
  stampEntry(uuid(random_));
  endEntry();
  bool interrupted = false;
  while (!full() && !interrupted) {
    step(interrupted);
    toolCount_ += static_cast<int64_t>(calls_.size());
  }
  appendProse(report, pools_, static_cast<size_t>(random_.logUniform(300, 4000)), random_);
  blocks_.clear();
  blocks_.push_back("{\"type\":\"text\",\"text\":\"" + report + "\"}");
  advanceLogUniform(1500, 20000);
  assistantMessage(false);
  close();
}

void SessionWriter::close() {
  stats_.bytes += out_.size();
  out_.close(lastStampMs_ != 0 ? lastStampMs_ : clock_);
}

}  // namespace tessel::bench
