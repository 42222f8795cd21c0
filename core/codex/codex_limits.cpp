#include "codex/codex_limits.h"

#include <nlohmann/json.hpp>

#include "util/json_object.h"

namespace tessel {

const CodexLimits::Window* CodexLimits::window(int minutes) const {
  for (const Window& window : windows) {
    if (window.minutes == minutes) return &window;
  }
  return nullptr;
}

std::optional<IndexStore::PlanReading> CodexLimits::planReading() const {
  const Window* weekly = window(weeklyMinutes);
  const Window* fiveHour = window(fiveHourMinutes);
  if (!weekly && !fiveHour) return std::nullopt;
  return IndexStore::PlanReading{.t = at,
                                 .w = weekly ? weekly->percentUsed : 0,
                                 .wr = weekly && weekly->resetsAt ? *weekly->resetsAt : at,
                                 .f = fiveHour ? fiveHour->percentUsed : 0};
}

nlohmann::json toJson(const CodexLimits& limits) {
  nlohmann::json windows = nlohmann::json::array();
  for (const CodexLimits::Window& window : limits.windows) {
    nlohmann::json json = {{"minutes", window.minutes}, {"percentUsed", window.percentUsed}};
    if (window.resetsAt) json["resetsAt"] = window.resetsAt->referenceSeconds();
    windows.push_back(std::move(json));
  }
  nlohmann::json json = {{"at", limits.at.referenceSeconds()},
                         {"windows", std::move(windows)},
                         {"hasCredits", limits.hasCredits}};
  if (limits.plan) json["plan"] = *limits.plan;
  return json;
}

std::optional<CodexLimits> codexLimitsFromJson(const nlohmann::json& json) {
  if (!json.is_object()) return std::nullopt;
  const auto at = Json::numberAt(json, "at");
  const auto hasCredits = Json::boolAt(json, "hasCredits");
  const auto windows = json.find("windows");
  if (!at || !hasCredits || windows == json.end() || !windows->is_array()) return std::nullopt;
  CodexLimits limits{.at = Date::fromReferenceSeconds(*at), .hasCredits = *hasCredits};
  for (const nlohmann::json& item : *windows) {
    if (!item.is_object()) return std::nullopt;
    const auto minutes = item.find("minutes");
    const auto percent = Json::numberAt(item, "percentUsed");
    if (minutes == item.end() || !minutes->is_number_integer() || !percent) return std::nullopt;
    CodexLimits::Window window{.minutes = minutes->get<int>(), .percentUsed = *percent};
    if (Json::isPresent(item, "resetsAt")) {
      const auto resets = Json::numberAt(item, "resetsAt");
      if (!resets) return std::nullopt;
      window.resetsAt = Date::fromReferenceSeconds(*resets);
    }
    limits.windows.push_back(window);
  }
  if (Json::isPresent(json, "plan")) {
    limits.plan = Json::stringAt(json, "plan");
    if (!limits.plan) return std::nullopt;
  }
  return limits;
}

}  // namespace tessel
