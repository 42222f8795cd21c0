#include "model/tool_input.h"

#include <algorithm>
#include <array>

namespace tessel {

bool ToolInput::isSummaryKey(std::string_view key) {
  static constexpr std::array<std::string_view, 15> keys = {
      "file_path",     "notebook_path", "command", "pattern", "path",
      "subagent_type", "description",   "url",     "query",   "skill",
      "summary",       "title",         "prompt",  "name",    "message"};
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

void ToolInput::set(std::string_view key, std::string_view value) {
  if (!isSummaryKey(key)) return;
  for (auto& entry : strings_) {
    if (entry.first == key) {
      entry.second = value;
      return;
    }
  }
  strings_.emplace_back(key, value);
}

std::optional<std::string_view> ToolInput::nonEmpty(std::string_view key) const {
  for (const auto& [name, value] : strings_) {
    if (name == key) return value.empty() ? std::nullopt : std::optional(value);
  }
  return std::nullopt;
}

}  // namespace tessel
