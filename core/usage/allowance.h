// How today's work sits against the weekly plan allowance: the weekly window spread
// evenly over the user's work days, levels when use runs ahead of that share, and the
// usage rows grouped for showing. Pure functions of hand-over values; safe from any
// thread.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <vector>

#include "usage/index_store.h"
#include "usage/plan.h"
#include "usage/prices.h"
#include "usage/usage_summary.h"
#include "util/date.h"

namespace tessel {

// The user's allowance settings; their JSON form has these keys.
struct UsageSettings {
  enum class Level { ok, amber, red };

  // The days of the week, from Monday, that the weekly allowance is shared over.
  int workDays = 5;
  // Use of at least `amber` times what was allowed so far is amber, more than `red` times red.
  double amber = 0.8;
  double red = 1.0;
  // Sessions active this recently are listed by themselves.
  int recentHours = 24;

  Level level(double percentUsed, double percentAllowed) const;
  bool operator==(const UsageSettings&) const = default;
};

nlohmann::json toJson(const UsageSettings& settings);
// Defaults for members missing or of the wrong type; nothing when `json` is no object.
std::optional<UsageSettings> usageSettingsFromJson(const nlohmann::json& json);

namespace PlanMath {

// Tokens of one local day.
struct DayUsage {
  Date day{};  // local midnight
  int64_t tokens = 0;
  bool operator==(const DayUsage&) const = default;
};

// Percent of the weekly allowance for one day of the window, or allowed by its start.
struct DayBudget {
  Date day{};
  double percent = 0;
  bool operator==(const DayBudget&) const = default;
};

// Every local day from the one holding `since` to today, oldest first, quiet days too.
std::vector<DayUsage> dailyUsage(const IndexStore::Tally& buckets, Date since, Date now);
// The start of the weekly window: its reset time less seven days.
std::optional<Date> weekStart(const Plan& plan);
// The weekly percent used, split by tokens: the part spent today, and the rest of the
// window (`otherUse`). Transcripts are the only measure of which day used what.
double today(const Plan& plan, const std::vector<DayUsage>& daily, Date now);
double otherUse(const Plan& plan, const std::vector<DayUsage>& daily, Date now);
// The seven days of the window from `weekStart`: work days (Monday first, by the local
// weekday each starts on) share the allowance evenly, the others get none.
std::vector<DayBudget> budgets(Date weekStart, const UsageSettings& settings);
// What is allowed once each day has begun: the budgets added up.
std::vector<DayBudget> allowanceSteps(const std::vector<DayBudget>& budgets);
// The allowance at `t`: 0 before the window, 100 after it.
double allowanceAt(const std::vector<DayBudget>& steps, Date t);
// Each day's use (percent of the week, as `budgets` lists the days) against its budget.
std::vector<UsageSettings::Level> allowanceLevels(const std::vector<DayBudget>& budgets,
                                                  const std::vector<double>& percentUsed,
                                                  const UsageSettings& settings);

// Claude Code sessions active in the last `recentHours`, most tokens first, then the
// rest in one row, "Helpers and older sessions": older sessions, scripts on the agent
// SDK and replies without a session.
std::vector<RankedRow> groupSessionUsage(const IndexStore::Tally& buckets, Date now,
                                         const UsageSettings& settings, const PriceTable& prices);
// The same for Codex, the rest under "Scripts and older sessions" (`codex exec` runs).
std::vector<RankedRow> groupCodexUsage(const IndexStore::Tally& buckets, Date now,
                                       const UsageSettings& settings, const PriceTable& prices);

}  // namespace PlanMath
}  // namespace tessel
