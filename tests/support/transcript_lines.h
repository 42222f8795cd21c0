// Transcript lines the way Claude Code writes them: compact JSON, one content block per
// assistant line, results in user lines, the envelope keys last.
#pragma once

#include <string>
#include <string_view>

#include "util/calendar.h"
#include "util/date.h"

namespace tessel::test {

inline std::string transcriptStamp(Date date) {
  return Calendar::formatInternetDateTime(date, true);
}

inline std::string toolUseLine(Date date, std::string_view id, std::string_view name,
                               std::string_view input, std::string_view session = "8d0c7b3e",
                               std::string_view model = "claude-opus-4-7") {
  return R"({"parentUuid":"p","isSidechain":false,"type":"assistant","message":{"model":")" +
         std::string(model) +
         R"(","id":"msg_1","type":"message","role":"assistant","content":[{"type":"tool_use","id":")" +
         std::string(id) + R"(","name":")" + std::string(name) + R"(","input":)" +
         std::string(input) +
         R"(}],"stop_reason":null,"usage":{"input_tokens":3,"output_tokens":9}},"uuid":"u","timestamp":")" +
         transcriptStamp(date) +
         R"(","userType":"external","entrypoint":"cli","cwd":"/home/dev/shop","sessionId":")" +
         std::string(session) + R"(","version":"2.1.3"})" + "\n";
}

// `extra` goes inside the result block, e.g. R"(,"is_error":true)".
inline std::string toolResultLine(Date date, std::string_view id, std::string_view extra = "",
                                  std::string_view session = "8d0c7b3e") {
  return R"({"type":"user","message":{"role":"user","content":[{"tool_use_id":")" +
         std::string(id) + R"(","type":"tool_result","content":"ok\nmore")" + std::string(extra) +
         R"(}]},"toolUseResult":{"stdout":"ok","stderr":"","interrupted":false},"timestamp":")" +
         transcriptStamp(date) + R"(","sessionId":")" + std::string(session) + R"("})" + "\n";
}

}  // namespace tessel::test
