#include "usage/allowance.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string_view>
#include <unordered_map>

#include "usage/usage_scanner.h"
#include "util/calendar.h"
#include "util/json_object.h"

namespace tessel {
namespace {

constexpr double weekSeconds = 7 * 86400;

struct SessionTally {
  UsageTotal total;
  int64_t lastSlot = 0;
  bool isHelper = false;
};

// The weekly percent used, split by the tokens counted before and since today's start.
std::pair<double, double> splitWeek(const Plan& plan, const std::vector<PlanMath::DayUsage>& daily,
                                    Date now) {
  const PlanWindow* weekly = plan.window("seven_day");
  const auto start = PlanMath::weekStart(plan);
  if (!weekly || !start) return {0, 0};
  const Date todayStart = Calendar::localMidnight(Calendar::localTime(now).day);
  int64_t todayTokens = 0, weekTokens = 0;
  for (const PlanMath::DayUsage& day : daily) {
    // A day that began before the window counts when it ends inside it.
    if (day.day + 86400 <= *start || day.day > now) continue;
    weekTokens += day.tokens;
    if (day.day >= todayStart) todayTokens += day.tokens;
  }
  if (weekTokens == 0) return {0, weekly->percentUsed};
  const double todayShare =
      weekly->percentUsed * static_cast<double>(todayTokens) / static_cast<double>(weekTokens);
  return {todayShare, weekly->percentUsed - todayShare};
}

template <class IsHelper>
std::vector<RankedRow> group(const IndexStore::Tally& buckets, Date now,
                             const UsageSettings& settings, const PriceTable& prices,
                             IsHelper&& isHelper, std::string_view restLabel) {
  std::unordered_map<std::string_view, SessionTally> sessions;
  // Tallies share their models: each price is looked up once.
  std::unordered_map<std::string_view, const PriceTable::Price*> known;
  for (const auto& [key, counts] : buckets) {
    SessionTally& session = sessions[key.sid];
    auto price = known.find(key.model);
    if (price == known.end()) price = known.emplace(key.model, prices.find(key.model)).first;
    session.total.add(price->second, counts);
    session.lastSlot = std::max(session.lastSlot, key.t);
    session.isHelper = session.isHelper || key.sid == "unknown" || isHelper(key);
  }
  const Date recentFrom = now - settings.recentHours * 3600.0;
  std::vector<RankedRow> rows;
  RankedRow rest{.label = std::string(restLabel)};
  bool hasRest = false;
  for (auto& [id, session] : sessions) {
    // A slot holds ten minutes: one that ends after the limit is still recent.
    const bool isRecent =
        Date(static_cast<double>(session.lastSlot + UsageScanner::slotSeconds)) > recentFrom;
    if (isRecent && !session.isHelper) {
      rows.push_back(
          RankedRow{.key = std::string(id), .label = std::string(id), .total = session.total});
      continue;
    }
    hasRest = true;
    rest.total += session.total;
  }
  std::sort(rows.begin(), rows.end(), [](const RankedRow& a, const RankedRow& b) {
    const int64_t left = a.total.counts.tokens(), right = b.total.counts.tokens();
    return left != right ? left > right : a.key < b.key;
  });
  if (hasRest) rows.push_back(std::move(rest));
  return rows;
}

}  // namespace

UsageSettings::Level UsageSettings::level(double percentUsed, double percentAllowed) const {
  if (percentAllowed <= 0) return percentUsed > 0 ? Level::red : Level::ok;
  const double share = percentUsed / percentAllowed;
  if (share > red) return Level::red;
  if (share >= amber) return Level::amber;
  return Level::ok;
}

nlohmann::json toJson(const UsageSettings& settings) {
  return {{"workDays", settings.workDays},
          {"amber", settings.amber},
          {"red", settings.red},
          {"recentHours", settings.recentHours}};
}

std::optional<UsageSettings> usageSettingsFromJson(const nlohmann::json& json) {
  if (!json.is_object()) return std::nullopt;
  UsageSettings settings;
  if (const auto days = Json::numberAt(json, "workDays")) {
    settings.workDays = static_cast<int>(std::clamp(*days, 1.0, 7.0));
  }
  settings.amber = Json::numberAt(json, "amber").value_or(settings.amber);
  settings.red = Json::numberAt(json, "red").value_or(settings.red);
  if (const auto hours = Json::numberAt(json, "recentHours")) {
    settings.recentHours = static_cast<int>(std::clamp(*hours, 0.0, 24.0 * 366));
  }
  return settings;
}

namespace PlanMath {

std::vector<DayUsage> dailyUsage(const IndexStore::Tally& buckets, Date since, Date now) {
  const int64_t first = Calendar::localTime(since).day;
  const int64_t last = Calendar::localTime(now).day;
  if (last < first) return {};
  std::vector<DayUsage> days(static_cast<size_t>(last - first + 1));
  for (size_t i = 0; i < days.size(); ++i) {
    days[i].day = Calendar::localMidnight(first + static_cast<int64_t>(i));
  }
  // Buckets share their slot with many others: each slot's day is worked out once.
  std::unordered_map<int64_t, int64_t> dayOfSlot;
  for (const auto& [key, counts] : buckets) {
    auto found = dayOfSlot.find(key.t);
    if (found == dayOfSlot.end()) {
      found =
          dayOfSlot.emplace(key.t, Calendar::localTime(Date(static_cast<double>(key.t))).day).first;
    }
    if (found->second < first || found->second > last) continue;
    days[static_cast<size_t>(found->second - first)].tokens += IndexStore::tokens(counts);
  }
  return days;
}

std::optional<Date> weekStart(const Plan& plan) {
  const PlanWindow* weekly = plan.window("seven_day");
  if (!weekly || !weekly->resetsAt) return std::nullopt;
  return *weekly->resetsAt - weekSeconds;
}

double today(const Plan& plan, const std::vector<DayUsage>& daily, Date now) {
  return splitWeek(plan, daily, now).first;
}

double otherUse(const Plan& plan, const std::vector<DayUsage>& daily, Date now) {
  return splitWeek(plan, daily, now).second;
}

std::vector<DayBudget> budgets(Date weekStart, const UsageSettings& settings) {
  const int workDays = std::clamp(settings.workDays, 1, 7);
  std::vector<DayBudget> days;
  days.reserve(7);
  // The work days the window holds: a window can start mid-week and still hold them all.
  int held = 0;
  for (int i = 0; i < 7; ++i) {
    const Date day = weekStart + i * 86400.0;
    const bool isWorkDay = Calendar::localTime(day).weekday < workDays;
    held += isWorkDay ? 1 : 0;
    days.push_back(DayBudget{.day = day, .percent = isWorkDay ? 1.0 : 0.0});
  }
  for (DayBudget& day : days) day.percent *= 100.0 / held;
  return days;
}

std::vector<DayBudget> allowanceSteps(const std::vector<DayBudget>& budgets) {
  std::vector<DayBudget> steps;
  steps.reserve(budgets.size());
  double allowed = 0;
  for (const DayBudget& day : budgets) {
    allowed += day.percent;
    steps.push_back(DayBudget{.day = day.day, .percent = allowed});
  }
  return steps;
}

double allowanceAt(const std::vector<DayBudget>& steps, Date t) {
  if (steps.empty() || t < steps.front().day) return 0;
  if (t >= steps.front().day + weekSeconds) return 100;
  double allowed = 0;
  for (const DayBudget& step : steps) {
    if (step.day > t) break;
    allowed = step.percent;
  }
  return allowed;
}

std::vector<UsageSettings::Level> allowanceLevels(const std::vector<DayBudget>& budgets,
                                                  const std::vector<double>& percentUsed,
                                                  const UsageSettings& settings) {
  std::vector<UsageSettings::Level> levels;
  levels.reserve(budgets.size());
  for (size_t i = 0; i < budgets.size(); ++i) {
    const double used = i < percentUsed.size() ? percentUsed[i] : 0;
    levels.push_back(settings.level(used, budgets[i].percent));
  }
  return levels;
}

std::vector<RankedRow> groupSessionUsage(const IndexStore::Tally& buckets, Date now,
                                         const UsageSettings& settings, const PriceTable& prices) {
  return group(
      buckets, now, settings, prices,
      [](const IndexStore::Bucket& key) { return key.entry.starts_with("sdk"); },
      "Helpers and older sessions");
}

std::vector<RankedRow> groupCodexUsage(const IndexStore::Tally& buckets, Date now,
                                       const UsageSettings& settings, const PriceTable& prices) {
  return group(
      buckets, now, settings, prices,
      [](const IndexStore::Bucket& key) { return key.entry == "codex_exec"; },
      "Scripts and older sessions");
}

}  // namespace PlanMath
}  // namespace tessel
