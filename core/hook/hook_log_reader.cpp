#include "hook/hook_log_reader.h"

#include <algorithm>

namespace tessel {

bool HookLogReader::isBackgroundTool(std::string_view tool) {
  return std::find(backgroundTools.begin(), backgroundTools.end(), tool) != backgroundTools.end();
}

const std::vector<std::string>& HookLogReader::backgroundMarks() {
  static const std::vector<std::string> marks = [] {
    std::vector<std::string> built;
    built.reserve(backgroundTools.size());
    for (std::string_view tool : backgroundTools) {
      built.push_back("\"tool\":\"" + std::string(tool) + "\"");
    }
    return built;
  }();
  return marks;
}

bool HookLogReader::hasBackgroundMark(std::string_view line) {
  // Every mark shares this prefix, so most lines are rejected by one search.
  static constexpr std::string_view common = "\"tool\":\"mcp__ccd_s";
  if (line.find(common) == std::string_view::npos) return false;
  const auto& marks = backgroundMarks();
  return std::any_of(marks.begin(), marks.end(), [&](const std::string& mark) {
    return line.find(mark) != std::string_view::npos;
  });
}

}  // namespace tessel
