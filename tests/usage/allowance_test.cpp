#include "usage/allowance.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/time_zone.h"

namespace tessel {
namespace {

using Level = UsageSettings::Level;

// Tuesday 2026-12-08T09:00:00Z, 14:30 in the test's zone (UTC+5:30).
constexpr int64_t nine = 1796720400;
constexpr int64_t day = 86400;

IndexStore::Counts tokens(int64_t input) { return {input, 0, 0, 0, 1, 0}; }

TEST(Allowance, TheWeekSplitsByLocalDaysAndIsSharedOverWorkDays) {
  test::ScopedTimeZone zone("XST-5:30");
  const IndexStore::Tally buckets{
      // Local 2026-12-05 12:00: before the days asked for.
      {{nine - 3 * day - 9000, "s", "/w", "m", "cli"}, tokens(1000)},
      // Local 12-06 12:00, the window's first day, before it began at 14:30.
      {{nine - 2 * day - 9000, "s", "/w", "m", "cli"}, tokens(400)},
      // Local 12-07 23:50, and 12-08 00:10 (still 12-07 in UTC), and 12-08 10:00.
      {{nine - 52800, "s", "/w", "m", "cli"}, tokens(100)},
      {{nine - 51600, "s", "/w", "m", "cli"}, tokens(200)},
      {{nine - 16200, "t", "/w", "m", "cli"}, tokens(300)},
  };
  const auto daily = PlanMath::dailyUsage(buckets, Date(nine - 2 * day), Date(nine));
  const Date midnight(nine - 52200);  // local 12-08 00:00
  EXPECT_EQ(daily, (std::vector<PlanMath::DayUsage>{
                       {midnight - 2 * day, 400}, {midnight - day, 100}, {midnight, 500}}));
  EXPECT_TRUE(PlanMath::dailyUsage(buckets, Date(nine), Date(nine - day)).empty());

  const Plan plan{.windows = {{"five_hour", "5-hour limit", 80, Date(nine + 3600)},
                              {"seven_day", "Weekly · all models", 30, Date(nine + 5 * day)}},
                  .at = Date(nine)};
  EXPECT_EQ(PlanMath::weekStart(plan), Date(nine - 2 * day));
  EXPECT_EQ(PlanMath::weekStart(Plan{}), std::nullopt);
  EXPECT_DOUBLE_EQ(PlanMath::today(plan, daily, Date(nine)), 15);
  EXPECT_DOUBLE_EQ(PlanMath::otherUse(plan, daily, Date(nine)), 15);
  EXPECT_DOUBLE_EQ(PlanMath::today(plan, {}, Date(nine)), 0);
  EXPECT_DOUBLE_EQ(PlanMath::otherUse(plan, {}, Date(nine)), 30);
  EXPECT_DOUBLE_EQ(PlanMath::today(Plan{}, daily, Date(nine)), 0);

  // The window starts on a Sunday afternoon: Monday to Friday get a fifth each.
  const UsageSettings settings;
  const auto budgets = PlanMath::budgets(Date(nine - 2 * day), settings);
  ASSERT_EQ(budgets.size(), 7u);
  std::vector<double> shares;
  for (const auto& budget : budgets) shares.push_back(budget.percent);
  EXPECT_EQ(shares, (std::vector<double>{0, 20, 20, 20, 20, 20, 0}));
  EXPECT_EQ(budgets[2].day, Date(nine));
  const auto steps = PlanMath::allowanceSteps(budgets);
  EXPECT_DOUBLE_EQ(steps.back().percent, 100);
  EXPECT_DOUBLE_EQ(PlanMath::allowanceAt(steps, Date(nine - 3 * day)), 0);
  EXPECT_DOUBLE_EQ(PlanMath::allowanceAt(steps, Date(nine - 1)), 20);
  EXPECT_DOUBLE_EQ(PlanMath::allowanceAt(steps, Date(nine)), 40);
  EXPECT_DOUBLE_EQ(PlanMath::allowanceAt(steps, Date(nine + 5 * day)), 100);
  EXPECT_DOUBLE_EQ(PlanMath::allowanceAt({}, Date(nine)), 0);

  EXPECT_EQ(PlanMath::allowanceLevels(budgets, {0, 10, 17, 20, 35, 0, 1}, settings),
            (std::vector<Level>{Level::ok, Level::ok, Level::amber, Level::amber, Level::red,
                                Level::ok, Level::red}));
  const auto everyDay = PlanMath::budgets(Date(nine), UsageSettings{.workDays = 7});
  EXPECT_DOUBLE_EQ(everyDay[6].percent, 100.0 / 7);
  EXPECT_DOUBLE_EQ(PlanMath::budgets(Date(nine), UsageSettings{.workDays = 0})[6].percent, 100);

  const auto read = usageSettingsFromJson(
      nlohmann::json::parse(R"({"workDays": 9, "amber": 0.5, "red": "high"})"));
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, (UsageSettings{.workDays = 7, .amber = 0.5}));
  EXPECT_EQ(usageSettingsFromJson(toJson(*read)), read);
  EXPECT_EQ(usageSettingsFromJson(nlohmann::json::array()), std::nullopt);
}

TEST(Allowance, RecentSessionsStandAloneAndTheRestShareOneRow) {
  const auto prices = *PriceTable::parse(R"({"models": [{"prefix": "claude-opus-4-5",
      "input": 5, "output": 25, "cacheWrite5m": 6.25, "cacheWrite1h": 10, "cacheRead": 0.5}]})");
  const std::string opus = "claude-opus-4-5-20251101";
  const IndexStore::Tally claude{
      {{nine - 3600, "recent", "/w", opus, "cli"}, tokens(1'000'000)},
      {{nine - 7200, "recent", "/w", opus, "cli"}, tokens(1'000'000)},
      {{nine - 600, "small", "/w", opus, "claude-desktop"}, tokens(10)},
      // The last slot that still reaches into the last 24 hours, and the first that does not.
      {{nine - day, "edge", "/w", opus, "cli"}, tokens(5)},
      {{nine - day - 600, "old", "/w", opus, "cli"}, tokens(100)},
      {{nine - 600, "script", "/w", opus, "sdk-py"}, tokens(200)},
      {{nine - 600, "unknown", "/w", "mystery-model", "cli"}, tokens(300)},
  };
  const auto rows = PlanMath::groupSessionUsage(claude, Date(nine), UsageSettings{}, prices);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].key, "recent");
  EXPECT_DOUBLE_EQ(rows[0].total.cost, 10);
  EXPECT_EQ(rows[1].key, "small");
  EXPECT_EQ(rows[2].key, "edge");
  EXPECT_EQ(rows[3].label, "Helpers and older sessions");
  EXPECT_EQ(rows[3].total.counts.input, 600);
  EXPECT_EQ(rows[3].total.counts.messages, 3);
  EXPECT_EQ(rows[3].total.unpricedTokens, 300);
  EXPECT_EQ(rows[3].total.knownCost(), std::nullopt);
  EXPECT_TRUE(PlanMath::groupSessionUsage({}, Date(nine), UsageSettings{}, prices).empty());

  const IndexStore::Tally codex{
      {{nine - 600, "tui", "/w", "gpt-5.2-codex", "codex_cli_rs"}, tokens(50)},
      {{nine - 600, "exec", "/w", "gpt-5.2-codex", "codex_exec"}, tokens(70)},
  };
  const auto codexRows =
      PlanMath::groupCodexUsage(codex, Date(nine), UsageSettings{.recentHours = 1}, prices);
  ASSERT_EQ(codexRows.size(), 2u);
  EXPECT_EQ(codexRows[0].key, "tui");
  EXPECT_EQ(codexRows[1].label, "Scripts and older sessions");
  EXPECT_EQ(codexRows[1].total.counts.input, 70);
}

}  // namespace
}  // namespace tessel
