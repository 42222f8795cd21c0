// One reading of Codex's rate limits: how much of each window is used and when it resets.
// A plain value. Windows are told apart by their length, never by their position: a
// plan with only a weekly limit reports that window first.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "usage/index_store.h"
#include "util/date.h"

namespace tessel {

struct CodexLimits {
  static constexpr int fiveHourMinutes = 300;
  static constexpr int weeklyMinutes = 10080;

  struct Window {
    int minutes = 0;  // 0 when Codex did not say
    double percentUsed = 0;
    std::optional<Date> resetsAt{};
    bool operator==(const Window&) const = default;
  };

  Date at{};
  std::vector<Window> windows{};
  std::optional<std::string> plan{};
  bool hasCredits = false;

  bool operator==(const CodexLimits&) const = default;

  // The first window of that length.
  const Window* window(int minutes) const;
  // The reading as a plan reading (weekly and five-hour percentages, the weekly reset);
  // nothing without either window. A missing window counts as unused, a missing weekly
  // reset as the reading's own time.
  std::optional<IndexStore::PlanReading> planReading() const;
};

// Keys as the field names, dates as seconds since 2001.
nlohmann::json toJson(const CodexLimits& limits);
std::optional<CodexLimits> codexLimitsFromJson(const nlohmann::json& json);

}  // namespace tessel
