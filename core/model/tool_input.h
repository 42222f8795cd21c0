// The part of a tool call's input that Tessel looks at: the string members a summary
// can name, and whether the call runs in the background. Values are views into the
// caller's buffer, so a ToolInput lives no longer than the JSON it was read from.
#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace tessel {

class ToolInput {
 public:
  // Keys whose string values a summary or a file path may use, in the order the container
  // hook's events lines write them.
  static constexpr std::array<std::string_view, 15> summaryKeys = {
      "command",       "file_path",   "notebook_path", "pattern", "path",
      "subagent_type", "description", "url",           "query",   "skill",
      "summary",       "title",       "prompt",        "name",    "message"};
  static bool isSummaryKey(std::string_view key);

  // Records a string member; ignored unless `key` is a summary key. A later value for
  // the same key replaces the earlier one.
  void set(std::string_view key, std::string_view value);
  // The member's value when it is a string that is not empty.
  std::optional<std::string_view> nonEmpty(std::string_view key) const;

  bool runInBackground = false;

 private:
  std::vector<std::pair<std::string_view, std::string_view>> strings_;
};

}  // namespace tessel
