#include "model/tool_input.h"

#include <algorithm>

namespace tessel {

bool ToolInput::isSummaryKey(std::string_view key) {
  return std::find(summaryKeys.begin(), summaryKeys.end(), key) != summaryKeys.end();
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
