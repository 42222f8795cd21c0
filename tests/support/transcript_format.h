// The pieces of Claude Code's transcript lines, in the order it writes their keys: the
// entry's opening, the assistant message, the tool_use block, the user line's tool_result,
// the uuid and timestamp, and the envelope keys that close every conversation entry.
// Each piece appends to the caller's line; every string given is JSON-escaped already.
// Shared by the tests' transcript lines and the benchmarks' projects tree, whose writer
// calls these once per line, so nothing here allocates beyond the caller's string.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessel::TranscriptFormat {

// "2026-03-05T19:02:10.948Z": JavaScript's toISOString, always three fraction digits.
inline void appendTimestamp(std::string& out, int64_t millis) {
  constexpr int64_t secondMs = 1000, minuteMs = 60 * secondMs, hourMs = 60 * minuteMs;
  constexpr int64_t dayMs = 24 * hourMs;
  int64_t days = millis / dayMs;
  int64_t rest = millis % dayMs;
  if (rest < 0) {
    rest += dayMs;
    --days;
  }
  // Civil date from days since 1970-01-01 (Howard Hinnant's algorithm).
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[25];
  const auto two = [&](size_t at, int64_t value) {
    text[at] = static_cast<char>('0' + value / 10);
    text[at + 1] = static_cast<char>('0' + value % 10);
  };
  two(0, year / 100);
  two(2, year % 100);
  text[4] = '-';
  two(5, month);
  text[7] = '-';
  two(8, day);
  text[10] = 'T';
  two(11, rest / hourMs);
  text[13] = ':';
  two(14, rest / minuteMs % 60);
  text[16] = ':';
  two(17, rest / secondMs % 60);
  text[19] = '.';
  const int64_t millisPart = rest % secondMs;
  text[20] = static_cast<char>('0' + millisPart / 100);
  two(21, millisPart % 100);
  text[23] = 'Z';
  out.append(text, 24);
}

// {"parentUuid":"<parent>", or null for the first entry of a chain. The entry stays open
// for its other keys.
inline void openEntry(std::string& out, std::string_view parentUuid) {
  out += "{\"parentUuid\":";
  if (parentUuid.empty()) {
    out += "null";
  } else {
    out += '"';
    out += parentUuid;
    out += '"';
  }
}

// Which conversation the entry belongs to: the main one, or the sub-agent `agentId`'s.
inline void appendSidechain(std::string& out, std::string_view agentId) {
  if (agentId.empty()) {
    out += ",\"isSidechain\":false";
    return;
  }
  out += ",\"isSidechain\":true,\"agentId\":\"";
  out += agentId;
  out += '"';
}

// The entry's own uuid and when it was written; members may follow before the envelope.
inline void appendStamp(std::string& out, std::string_view uuid, int64_t millis) {
  out += ",\"uuid\":\"";
  out += uuid;
  out += "\",\"timestamp\":\"";
  appendTimestamp(out, millis);
  out += '"';
}

struct Envelope {
  std::string_view entrypoint = "cli";
  std::string_view cwd = {}, sessionId = {}, version = {};
  std::string_view gitBranch = {}, slug = {};  // left out when empty
};

// The keys every conversation entry ends with; the caller closes the entry with "}\n".
inline void appendEnvelope(std::string& out, const Envelope& envelope) {
  out += ",\"userType\":\"external\",\"entrypoint\":\"";
  out += envelope.entrypoint;
  out += "\",\"cwd\":\"";
  out += envelope.cwd;
  out += "\",\"sessionId\":\"";
  out += envelope.sessionId;
  out += "\",\"version\":\"";
  out += envelope.version;
  out += '"';
  if (!envelope.gitBranch.empty()) {
    out += ",\"gitBranch\":\"";
    out += envelope.gitBranch;
    out += '"';
  }
  if (!envelope.slug.empty()) {
    out += ",\"slug\":\"";
    out += envelope.slug;
    out += '"';
  }
}

// An assistant line holds one content block of an API response; every line of the
// response repeats its model and message id. The content array stays open for the block.
inline void openAssistantMessage(std::string& out, std::string_view model,
                                 std::string_view messageId) {
  out += ",\"message\":{\"model\":\"";
  out += model;
  out += "\",\"id\":\"";
  out += messageId;
  out += "\",\"type\":\"message\",\"role\":\"assistant\",\"content\":[";
}

// Closes the content; `stopReason` and `stopSequence` are JSON values (null on every line
// but the response's last). The caller writes the usage object next.
inline void closeAssistantContent(std::string& out, std::string_view stopReason,
                                  std::string_view stopSequence = "null") {
  out += "],\"stop_reason\":";
  out += stopReason;
  out += ",\"stop_sequence\":";
  out += stopSequence;
  out += ",\"usage\":";
}

// After the usage: closes the message. Replies made on the machine have no request id.
inline void closeAssistantMessage(std::string& out, std::string_view requestId) {
  out += '}';
  if (!requestId.empty()) {
    out += ",\"requestId\":\"";
    out += requestId;
    out += '"';
  }
  out += ",\"type\":\"assistant\"";
}

// A content block calling a tool; `input` is a JSON object.
inline void appendToolUse(std::string& out, std::string_view id, std::string_view name,
                          std::string_view input) {
  out += "{\"type\":\"tool_use\",\"id\":\"";
  out += id;
  out += "\",\"name\":\"";
  out += name;
  out += "\",\"input\":";
  out += input;
  out += '}';
}

// The user message carrying a tool's result; the caller writes the content value (and
// ,"is_error":true when the call failed), then closeToolResult.
inline void openToolResult(std::string& out, std::string_view toolUseId) {
  out += ",\"type\":\"user\",\"message\":{\"role\":\"user\",\"content\":[{\"tool_use_id\":\"";
  out += toolUseId;
  out += "\",\"type\":\"tool_result\",\"content\":";
}

inline void closeToolResult(std::string& out) { out += "}]}"; }

}  // namespace tessel::TranscriptFormat
