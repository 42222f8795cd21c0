#include "model/claude_settings.h"

#include "util/files.h"

namespace tessel::ClaudeSettings {

std::optional<nlohmann::json> readObject(const std::string& path) {
  const auto text = Files::read(path);
  if (!text) return std::nullopt;
  auto settings = nlohmann::json::parse(*text, nullptr, false);
  if (!settings.is_object()) return std::nullopt;
  return settings;
}

void addCommand(nlohmann::json& hooks, const std::string& command) {
  for (std::string_view event : hookEvents) {
    nlohmann::json group = {{"hooks", {{{"type", "command"}, {"command", command}}}}};
    if (isToolEvent(event)) group["matcher"] = "*";
    auto& groups = hooks[std::string(event)];
    if (!groups.is_array()) groups = nlohmann::json::array();
    groups.push_back(std::move(group));
  }
}

}  // namespace tessel::ClaudeSettings
