// What happens within a turn of a session: the prompt, the rounds of tool calls and their
// results, the closing reply, and what Claude Code adds between them (slash commands,
// replies made on the machine, compaction, turn durations).
#include <algorithm>
#include <string>
#include <utility>

#include "support/transcript_format.h"
#include "tree/session_writer.h"
#include "tree/text.h"

namespace tessel::bench {

void SessionWriter::turn(bool first) {
  const int64_t turnStart = clock_;
  promptText_.clear();
  bool slash = false;
  if (!first && random_.chance(0.03)) {
    slash = true;
  } else if (random_.chance(0.04)) {
    // A pasted error log under the question.
    promptText_ = random_.pick(pools_.prompts);
    promptText_ += "\\n\\n```\\n";
    appendLines(promptText_, pools_.errors, budget().cap(random_.logUniform(500, 8000)), random_);
    promptText_ += "\\n```";
  } else {
    promptText_ = random_.pick(pools_.prompts);
  }
  promptId_ = uuid(random_);
  const std::string promptUuid = uuid(random_);
  if (first) {
    queueOperation("enqueue", &promptText_);
    queueOperation("dequeue", nullptr);
  } else {
    advanceLogUniform(5.0 * kSecondMs, 20.0 * kMinuteMs);
    if (!slash && random_.chance(0.05)) {
      queueOperation("enqueue", &promptText_);
      queueOperation(random_.chance(0.8) ? "dequeue" : "remove", nullptr);
    }
  }
  fileHistorySnapshot(promptUuid);
  if (slash) {
    modelCommand(promptUuid);
    return;
  }
  promptLine(promptUuid);
  if (random_.chance(0.007)) {
    syntheticReply();
    if (lastPrompts_) metadataLine("last-prompt", "lastPrompt", promptText_);
    return;
  }
  const int64_t steps = random_.between(1, random_.chance(0.3) ? 40 : 10);
  bool interrupted = false;
  for (int64_t i = 0; i < steps && !interrupted; ++i) {
    if (full()) break;
    maybeCompact();
    step(interrupted);
  }
  if (!interrupted) {
    reply();
    if (random_.chance(0.8)) turnDuration(turnStart);
  }
  if (first) {
    aiTitleText_ = escaped(fill("@A @a @n @n", random_));
    customTitleText_ = escaped(fill("@n-@n fix", random_));
    if (aiTitle_) aiTitleLine();
  }
  if (customTitle_ && random_.chance(0.1)) customTitleLine();
  if (lastPrompts_) metadataLine("last-prompt", "lastPrompt", promptText_);
}

void SessionWriter::promptLine(const std::string& id) {
  std::string& b = buf();
  openEntry();
  b += ",\"promptId\":\"";
  b += promptId_;
  b += "\",\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":";
  const double shape = random_.unit();
  if (shape < 0.75) {
    b += '"';
    b += promptText_;
    b += '"';
  } else {
    b += "[{\"type\":\"text\",\"text\":\"";
    b += promptText_;
    b += "\"}";
    if (shape > 0.99) {
      b += ",{\"type\":\"image\",\"source\":{\"type\":\"base64\",\"media_type\":\"image/png\","
           "\"data\":\"iVBORw0KGgo";
      b += randomChars(random_, kBase64, budget().cap(random_.logUniform(8000, 60000)) / 4 * 4);
      b += "\"}}";
    }
    b += ']';
  }
  b += '}';
  stampEntry(id);
  b += ",\"permissionMode\":\"";
  b += random_.chance(0.8) ? "default" : "acceptEdits";
  b += '"';
  endEntry();
}

// "/model sonnet": the command line, the CLI's answer, and the next replies' model.
void SessionWriter::modelCommand(const std::string& id) {
  const bool toSonnet = model_ != "claude-sonnet-4-6";
  promptText_ = toSonnet ? "/model sonnet" : "/model opus";
  std::string& b = buf();
  openEntry();
  b += ",\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":\"<command-name>/model</"
       "command-name>\\n            <command-message>model</command-message>\\n            "
       "<command-args>";
  b += toSonnet ? "sonnet" : "opus";
  b += "</command-args>\"}";
  stampEntry(id);
  endEntry();
  advance(random_.between(5, 40));
  openEntry();
  b += ",\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":\"<local-command-stdout>Set "
       "model to \\u001b[1m";
  b += toSonnet ? "Sonnet 4.6" : "Opus 4.7";
  b += "\\u001b[22m</local-command-stdout>\"}";
  stampEntry(uuid(random_));
  endEntry();
  model_ = toSonnet ? "claude-sonnet-4-6" : "claude-opus-4-7";
  if (lastPrompts_) metadataLine("last-prompt", "lastPrompt", promptText_);
}

// A reply made on this machine: nothing was asked, or the API failed.
void SessionWriter::syntheticReply() {
  advanceLogUniform(200, 30000);
  const bool apiError = random_.chance(0.5);
  std::string& b = buf();
  openEntry();
  TranscriptFormat::openAssistantMessage(b, "<synthetic>", uuid(random_));
  b += "{\"type\":\"text\",\"text\":\"";
  b += apiError
           ? "API Error: 529 "
             "{\\\"type\\\":\\\"error\\\",\\\"error\\\":{\\\"type\\\":\\\"overloaded_error\\\","
             "\\\"message\\\":\\\"Overloaded\\\"}}"
           : "No response requested.";
  b += "\"}";
  TranscriptFormat::closeAssistantContent(b, "\"stop_sequence\"", "\"\"");
  b += "{\"input_tokens\":0,\"output_tokens\":0,\"cache_creation_input_tokens\":0,"
       "\"cache_read_input_tokens\":0}";
  TranscriptFormat::closeAssistantMessage(b, "");
  stampEntry(uuid(random_));
  if (apiError) b += ",\"error\":\"unknown\",\"isApiErrorMessage\":true,\"apiErrorStatus\":529";
  endEntry();
}

// Long sessions compact their context every several megabytes.
void SessionWriter::maybeCompact() {
  if (sidechain_ || out_.size() < nextCompactAt_) return;
  nextCompactAt_ = out_.size() + static_cast<uint64_t>(random_.logUniform(4.0 * kMiB, 9.0 * kMiB));
  advanceLogUniform(20.0 * kSecondMs, 90.0 * kSecondMs);
  std::string& b = buf();
  const std::string logicalParent = parent_;
  parent_.clear();
  openEntry();
  b += ",\"type\":\"system\",\"subtype\":\"compact_boundary\",\"content\":\"Conversation "
       "compacted\",\"isMeta\":false";
  stampEntry(uuid(random_));
  b += ",\"level\":\"info\",\"compactMetadata\":{\"trigger\":\"auto\",\"preTokens\":";
  appendNumber(b, context_);
  b += "},\"logicalParentUuid\":\"";
  b += logicalParent;
  b += '"';
  endEntry();
  advance(random_.between(1, 20));
  openEntry();
  b += ",\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":\"This session is being "
       "continued from a previous conversation that ran out of context. The conversation is "
       "summarized below:\\nAnalysis:\\n";
  appendProse(b, pools_, budget().cap(random_.logUniform(4000, 15000)), random_);
  b += "\"},\"isVisibleInTranscriptOnly\":true,\"isCompactSummary\":true";
  stampEntry(uuid(random_));
  endEntry();
  context_ = random_.between(15000, 40000);
}

void SessionWriter::turnDuration(int64_t turnStart) {
  advance(random_.between(1, 30));
  std::string& b = buf();
  openEntry();
  b += ",\"type\":\"system\",\"subtype\":\"turn_duration\",\"durationMs\":";
  appendNumber(b, clock_ - turnStart);
  b += ",\"isMeta\":false";
  stampEntry(uuid(random_));
  endEntry();
}

// The closing text of a turn: one message, maybe thought through first.
void SessionWriter::reply() {
  blocks_.clear();
  if (random_.chance(0.4)) blocks_.push_back(thinkingBlock());
  std::string text = "{\"type\":\"text\",\"text\":\"";
  appendProse(text, pools_, budget().cap(random_.logUniform(60, 2500)), random_);
  text += "\"}";
  blocks_.push_back(std::move(text));
  advanceLogUniform(1500, 40000);
  assistantMessage(false);
}

std::string SessionWriter::thinkingBlock() {
  std::string block = "{\"type\":\"thinking\",\"thinking\":\"";
  appendProse(block, pools_, budget().cap(random_.logUniform(150, 4000)), random_);
  block += "\",\"signature\":\"";
  block += randomChars(random_, kBase64, static_cast<size_t>(random_.between(300, 1400)));
  block += "\"}";
  return block;
}

// Writes blocks_ as one API response: one line per block, all with the message's id,
// request id and a copy of its usage. Returns each line's uuid through blockUuids_.
void SessionWriter::assistantMessage(bool endsWithTools) {
  const std::string messageId = "msg_01" + randomChars(random_, kBase62, 22);
  const std::string requestId = "req_011C" + randomChars(random_, kBase62, 20);
  int64_t outputTokens = 0;
  for (const std::string& block : blocks_) outputTokens += static_cast<int64_t>(block.size() / 4);
  blockUuids_.clear();
  std::string& b = buf();
  for (size_t i = 0; i < blocks_.size(); ++i) {
    const bool last = i + 1 == blocks_.size();
    if (i > 0) advance(random_.between(15, 900));
    openEntry();
    TranscriptFormat::openAssistantMessage(b, model_, messageId);
    b += blocks_[i];
    TranscriptFormat::closeAssistantContent(b, !last           ? "null"
                                               : endsWithTools ? "\"tool_use\""
                                                               : "\"end_turn\"");
    appendUsage(b, last || identicalUsage_ ? outputTokens : random_.between(1, 30));
    TranscriptFormat::closeAssistantMessage(b, requestId);
    blockUuids_.push_back(uuid(random_));
    stampEntry(blockUuids_.back());
    endEntry();
  }
  newTokens_ = outputTokens + random_.between(0, 300);
  context_ += newTokens_;
}

// One API response with tool calls, then each call's result on its own line.
void SessionWriter::step(bool& interrupted) {
  advanceLogUniform(1500, 25000);
  size_t count = 1;
  if (random_.chance(0.15)) count = static_cast<size_t>(random_.between(2, 4));
  calls_.resize(count);
  bool agentCalled = false;
  for (ToolCall& call : calls_) {
    call = ToolCall{};
    call.id = "toolu_01" + randomChars(random_, kBase62, 22);
    const double progress =
        static_cast<double>(out_.size()) / static_cast<double>(std::max<uint64_t>(1, ownTarget_));
    if (!agentCalled && !agents_.empty() &&
        (agents_.front().first <= progress || out_.size() + closingReserve >= ownTarget_)) {
      agentCalled = true;
      agentCall(call, agents_.front().second);
      agents_.erase(agents_.begin());
    } else {
      tools_.make(call, budget(), clock_);
    }
  }
  blocks_.clear();
  if (random_.chance(0.5)) blocks_.push_back(thinkingBlock());
  if (random_.chance(0.35)) {
    std::string text = "{\"type\":\"text\",\"text\":\"";
    appendProse(text, pools_, static_cast<size_t>(random_.logUniform(40, 600)), random_);
    text += "\"}";
    blocks_.push_back(std::move(text));
  }
  const size_t firstCall = blocks_.size();
  for (const ToolCall& call : calls_) {
    std::string block;
    TranscriptFormat::appendToolUse(block, call.id, call.name, call.input);
    blocks_.push_back(std::move(block));
    if (call.name == "Bash") stats_.bashCalls++;
  }
  assistantMessage(true);
  for (size_t i = 0; i < calls_.size(); ++i) {
    ToolCall& call = calls_[i];
    if (call.agentBytes > 0) runAgent(call);
    if (random_.chance(0.006)) {
      rejected(call);
      interrupted = true;
    }
    advance(call.durationMs);
    resultLine(call, blockUuids_[firstCall + i]);
    context_ += static_cast<int64_t>(call.content.size() / 4);
  }
  if (interrupted) interruptLine();
}

void SessionWriter::resultLine(const ToolCall& call, const std::string& sourceUuid) {
  std::string& b = buf();
  openEntry();
  if (!promptId_.empty()) {
    b += ",\"promptId\":\"";
    b += promptId_;
    b += '"';
  }
  TranscriptFormat::openToolResult(b, call.id);
  b += call.content;
  if (call.isError) {
    b += ",\"is_error\":true";
  } else if (random_.chance(0.1)) {
    b += ",\"is_error\":false";
  }
  TranscriptFormat::closeToolResult(b);
  stampEntry(uuid(random_));
  b += ",\"toolUseResult\":";
  b += call.result;
  b += ",\"sourceToolAssistantUUID\":\"";
  b += sourceUuid;
  b += '"';
  endEntry();
  stats_.toolResults++;
  if (call.isError) stats_.errors++;
}

void SessionWriter::rejected(ToolCall& call) {
  call.content =
      "\"The user doesn't want to proceed with this tool use. The tool use was rejected (eg. if "
      "it was a file edit, the new_string was NOT written to the file). STOP what you are doing "
      "and wait for the user to tell you how to proceed.\"";
  call.result = "\"User rejected tool use\"";
  call.isError = true;
}

void SessionWriter::interruptLine() {
  advance(random_.between(100, 3000));
  std::string& b = buf();
  openEntry();
  b += ",\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":[{\"type\":\"text\","
       "\"text\":\"[Request interrupted by user for tool use]\"}]}";
  stampEntry(uuid(random_));
  endEntry();
}

}  // namespace tessel::bench
