// Reads hook log lines back into live facts. For now it holds what the hook program
// shares with it: the tools the desktop app calls on its own, which are never logged.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace tessel {

class HookLogReader {
 public:
  // Tools the Claude desktop app calls by itself; they say nothing about a session's work.
  static constexpr std::array<std::string_view, 4> backgroundTools = {
      "mcp__ccd_session_mgmt__get_usage",
      "mcp__ccd_session_mgmt__list_sessions",
      "mcp__ccd_session_mgmt__get_session",
      "mcp__ccd_sidebar__list_groups",
  };
  static bool isBackgroundTool(std::string_view tool);
  // For each background tool, its `"tool":"<name>"` bytes exactly as a log line holds
  // them, so a raw line can be tested without parsing it.
  static const std::vector<std::string>& backgroundMarks();
  // True when `line` holds any background mark.
  static bool hasBackgroundMark(std::string_view line);
};

}  // namespace tessel
