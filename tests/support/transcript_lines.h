// Transcript lines the way Claude Code writes them: compact JSON, one content block per
// assistant line, results in user lines, the envelope keys last.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/transcript_format.h"
#include "util/date.h"

namespace tessel::test {

inline int64_t transcriptMillis(Date date) { return std::llround(date.millisSince1970()); }

inline TranscriptFormat::Envelope shopEnvelope(std::string_view session) {
  return {.cwd = "/home/dev/shop", .sessionId = session, .version = "2.1.3"};
}

inline std::string toolUseLine(Date date, std::string_view id, std::string_view name,
                               std::string_view input, std::string_view session = "8d0c7b3e",
                               std::string_view model = "claude-opus-4-7") {
  std::string line;
  TranscriptFormat::openEntry(line, "p");
  TranscriptFormat::appendSidechain(line, "");
  TranscriptFormat::openAssistantMessage(line, model, "msg_1");
  TranscriptFormat::appendToolUse(line, id, name, input);
  TranscriptFormat::closeAssistantContent(line, "null");
  line += R"({"input_tokens":3,"output_tokens":9})";
  TranscriptFormat::closeAssistantMessage(line, "req_1");
  TranscriptFormat::appendStamp(line, "u", transcriptMillis(date));
  TranscriptFormat::appendEnvelope(line, shopEnvelope(session));
  line += "}\n";
  return line;
}

// `extra` goes inside the result block, e.g. R"(,"is_error":true)".
inline std::string toolResultLine(Date date, std::string_view id, std::string_view extra = "",
                                  std::string_view session = "8d0c7b3e") {
  std::string line;
  TranscriptFormat::openEntry(line, "u");
  TranscriptFormat::appendSidechain(line, "");
  TranscriptFormat::openToolResult(line, id);
  line += R"("ok\nmore")";
  line += extra;
  TranscriptFormat::closeToolResult(line);
  TranscriptFormat::appendStamp(line, "r", transcriptMillis(date));
  line += R"(,"toolUseResult":{"stdout":"ok","stderr":"","interrupted":false})";
  TranscriptFormat::appendEnvelope(line, shopEnvelope(session));
  line += "}\n";
  return line;
}

}  // namespace tessel::test
