#include "usage/plan.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/temp_dir.h"
#include "usage/connector_state.h"

namespace tessel {
namespace {

using nlohmann::json;

// 2026-12-08T09:00:00Z
constexpr double nine = 1796720400;

std::optional<Date> dateOf(const json& value) { return PlanMath::parseDate(&value); }

TEST(PlanMath, DatesInSecondsOrMillisecondsAndResetsOnWholeMinutes) {
  EXPECT_EQ(dateOf(json(nine)), Date(nine));
  EXPECT_EQ(dateOf(json(nine * 1000)), Date(nine));
  EXPECT_EQ(dateOf(json(100000000000.0)), Date(100000000000.0));  // the bound is seconds
  EXPECT_EQ(dateOf(json(100000000001.0)), Date(100000000.001));
  EXPECT_EQ(dateOf(json("2026-12-08T09:00:00Z")), Date(nine));
  EXPECT_EQ(dateOf(json("2026-12-08T10:00:00.500+01:00")), Date(nine + 0.5));
  EXPECT_EQ(dateOf(json("yesterday")), std::nullopt);
  EXPECT_EQ(dateOf(json(true)), std::nullopt);
  EXPECT_EQ(dateOf(json::array()), std::nullopt);
  EXPECT_EQ(PlanMath::parseDate(nullptr), std::nullopt);

  EXPECT_EQ(PlanMath::wholeMinute(Date(nine + 29)), Date(nine));
  EXPECT_EQ(PlanMath::wholeMinute(Date(nine + 29.999)), Date(nine));
  EXPECT_EQ(PlanMath::wholeMinute(Date(nine + 30)), Date(nine + 60));
  EXPECT_EQ(PlanMath::wholeMinute(Date(nine - 30)), Date(nine));
  EXPECT_EQ(PlanMath::wholeMinute(Date(nine - 31)), Date(nine - 60));
  EXPECT_EQ(PlanMath::wholeMinute(Date(-30)), Date(-60));  // half away from zero

  // The same reset, once in seconds and once in milliseconds a few seconds later.
  const Plan a = PlanMath::planFromRateLimits(
      json::parse(R"([{"kind":"five_hour","percentUsed":10,"resetsAt":1796720429}])"), Date());
  const Plan b = PlanMath::planFromRateLimits(
      json::parse(R"([{"kind":"five_hour","percentUsed":10,"resetsAt":1796720412000}])"), Date());
  EXPECT_EQ(a.windows.at(0).resetsAt, Date(nine));
  EXPECT_EQ(a.windows, b.windows);
}

TEST(PlanMath, WindowKindsFromLabels) {
  EXPECT_EQ(PlanMath::windowKind("5-hour limit"), "five_hour");
  EXPECT_EQ(PlanMath::windowKind("Weekly 5-hour thing · Opus"), "five_hour");
  EXPECT_EQ(PlanMath::windowKind("Current session (five hours)"), "five_hour");
  EXPECT_EQ(PlanMath::windowKind("Weekly · all models"), "seven_day");
  EXPECT_EQ(PlanMath::windowKind("Weekly limit (All Models)"), "seven_day");
  EXPECT_EQ(PlanMath::windowKind("Weekly · Opus"), "model:opus");
  EXPECT_EQ(PlanMath::windowKind("Weekly · Sonnet 4.5 "), "model:sonnet 4.5");
  EXPECT_EQ(PlanMath::windowKind("Weekly"), "model:weekly");
  EXPECT_EQ(PlanMath::windowKind("Extra usage  Spend"), "extra_usage__spend");
}

TEST(PlanMath, AppRepliesGiveWindowsOrTheReasonThereAreNone) {
  const Date at(nine);
  const auto ok = PlanMath::parseApp(R"({"plan": {"status": "ok", "plan": "Max 20x",
      "extraUsage": {"enabled": true},
      "windows": [
        {"label": "5-hour limit", "percentUsed": 42.5, "resetsAt": 1796725830},
        {"label": "Weekly · all models", "percentUsed": 18, "resetsAt": "2026-12-11T09:00:00Z"},
        {"label": "Weekly · Opus", "percentUsed": "lots"},
        {"label": "Weekly · Sonnet", "percentUsed": 3},
        "not a window"]}})",
                                     at);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->source, Plan::Source::app);
  EXPECT_EQ(ok->plan, "Max 20x");
  EXPECT_EQ(ok->extraUsageEnabled, true);
  EXPECT_EQ(ok->note, std::nullopt);
  EXPECT_EQ(ok->at, at);
  ASSERT_EQ(ok->windows.size(), 3u);
  EXPECT_EQ(ok->windows[0], (PlanWindow{"five_hour", "5-hour limit", 42.5, Date(nine + 5460)}));
  EXPECT_EQ(ok->windows[1].kind, "seven_day");
  EXPECT_EQ(ok->windows[1].resetsAt, Date(nine + 3 * 86400));
  EXPECT_EQ(ok->windows[2], (PlanWindow{"model:sonnet", "Weekly · Sonnet", 3, std::nullopt}));

  // The public form: absent optionals left out, dates as text.
  const std::string form =
      R"({"at":"2026-12-08T09:00:00.000Z","extraUsageEnabled":true,"plan":"Max 20x",)"
      R"("source":"app","windows":[{"kind":"five_hour","label":"5-hour limit","percentUsed":42.5,)";
  EXPECT_EQ(toJson(*ok, DateForm::text).dump().substr(0, form.size()), form);
  EXPECT_FALSE(toJson(Plan{}).contains("note"));
  EXPECT_FALSE(toJson(ok->windows[2]).contains("resetsAt"));

  const auto unavailable = PlanMath::parseApp(R"({"plan": {"status": "unavailable"}})", at);
  ASSERT_TRUE(unavailable);
  EXPECT_EQ(unavailable->note, "Plan limits unavailable");
  EXPECT_TRUE(unavailable->windows.empty());
  EXPECT_EQ(PlanMath::parseApp(R"({"plan": {}})", at)->note, "Plan limits unavailable");
  EXPECT_EQ(PlanMath::parseApp(R"({"plan": {"status": "signed_out"}})", at)->note,
            "Plan limits signed_out");
  EXPECT_EQ(
      PlanMath::parseApp(R"({"plan": {"status": "error", "note": "Sign in again."}})", at)->note,
      "Sign in again.");
  EXPECT_EQ(PlanMath::parseApp("Error: tool not found", at), std::nullopt);
  EXPECT_EQ(PlanMath::parseApp(R"({"usage": {}})", at), std::nullopt);
  EXPECT_EQ(PlanMath::parseApp(R"({"plan": "ok"})", at), std::nullopt);
}

TEST(PlanMath, RateLimitsAndSnapshotsSkipWhatDoesNotRead) {
  const Plan plan = PlanMath::planFromRateLimits(json::parse(R"([
      {"kind": "five_hour", "percentUsed": 42, "resetsAt": 1796725800},
      {"kind": "seven_day", "percentUsed": 18.5},
      {"kind": "spend_limit", "percentUsed": 2},
      {"kind": "seven_day_opus", "percentUsed": 7},
      {"kind": "five_hour", "percentUsed": "42"}, {"percentUsed": 1}, 7])"),
                                                 Date(nine));
  EXPECT_EQ(plan.source, Plan::Source::session);
  EXPECT_EQ(plan.note, std::nullopt);
  ASSERT_EQ(plan.windows.size(), 4u);
  EXPECT_EQ(plan.windows[0].label, "5-hour limit");
  EXPECT_EQ(plan.windows[1].label, "Weekly · all models");
  EXPECT_EQ(plan.windows[2].label, "Spend limit");
  EXPECT_EQ(plan.windows[3].label, "seven_day_opus");

  const Plan none = PlanMath::planFromRateLimits(json::parse(R"([{"kind": 5}, null])"), Date(1));
  EXPECT_EQ(none.source, Plan::Source::none);
  EXPECT_EQ(none.note, "No plan reading yet (it arrives with the next reply).");
  EXPECT_EQ(none.at, Date(1));

  const json history = json::parse(R"([
      {"t": 1796720400000, "w": 18, "wr": 1796979629, "f": 42},
      {"w": 19, "f": 43},
      {"t": 1796720700000, "w": "19"},
      {"t": 1796721000000}])");
  const auto readings = PlanMath::snapshots(&history);
  ASSERT_EQ(readings.size(), 2u);
  EXPECT_EQ(readings[0], (Snapshot{Date(nine), 18, Date(1796979600), 42}));
  EXPECT_EQ(readings[1].t, Date(nine + 600));
  EXPECT_TRUE(PlanMath::snapshots(nullptr).empty());
}

TEST(PlanMath, ReadingsNeverGoDownWithinOneWindowAndTheHistoryThinsOut) {
  const Date reset(nine + 3600);
  const auto reading = [&](double at, double fiveHour, Date fiveReset, double weekly) {
    return Plan{.source = Plan::Source::session,
                .windows = {{"five_hour", "5-hour limit", fiveHour, fiveReset},
                            {"seven_day", "Weekly · all models", weekly, Date(nine + 86400)}},
                .at = Date(at)};
  };
  // A reading taken earlier arrives after a later one: the later percentage holds.
  const Plan late = reading(nine, 40, reset, 20);
  const Plan stale = reading(nine + 10, 35, reset, 19);
  EXPECT_EQ(PlanMath::noLowerThan(stale, late).windows[0].percentUsed, 40);
  EXPECT_EQ(PlanMath::noLowerThan(stale, late).windows[1].percentUsed, 20);
  EXPECT_EQ(PlanMath::noLowerThan(stale, std::nullopt), stale);
  // A new window begins again from its reading.
  EXPECT_EQ(PlanMath::noLowerThan(reading(nine + 3700, 2, reset + 18000, 21), late)
                .windows[0]
                .percentUsed,
            2);
  // The same reset time, but it has passed by the new reading.
  EXPECT_EQ(PlanMath::noLowerThan(reading(nine + 3600, 1, reset, 21), late).windows[0].percentUsed,
            1);

  std::vector<Snapshot> history;
  EXPECT_TRUE(PlanMath::pushSnapshot(history, reading(nine, 40, reset, 20), Date(nine)));
  EXPECT_FALSE(PlanMath::pushSnapshot(history, reading(nine + 60, 40.9, reset, 20), Date(nine)));
  EXPECT_TRUE(PlanMath::pushSnapshot(history, reading(nine + 120, 41, reset, 20), Date(nine)));
  EXPECT_FALSE(PlanMath::pushSnapshot(history, reading(nine + 100, 60, reset, 20), Date(nine)));
  EXPECT_TRUE(PlanMath::pushSnapshot(history, reading(nine + 420, 41, reset, 20), Date(nine)));
  EXPECT_FALSE(PlanMath::pushSnapshot(history, Plan{.at = Date(nine + 9000)}, Date(nine)));
  ASSERT_EQ(history.size(), 3u);
  EXPECT_EQ(history[1], (Snapshot{Date(nine + 120), 20, Date(nine + 86400), 41}));
  // A reading without the weekly window keeps the last weekly values.
  Plan fiveOnly{.windows = {{"five_hour", "5-hour limit", 50, reset}}, .at = Date(nine + 500)};
  EXPECT_TRUE(PlanMath::pushSnapshot(history, fiveOnly, Date(nine)));
  EXPECT_EQ(history.back(), (Snapshot{Date(nine + 500), 20, Date(nine + 86400), 50}));
  // Readings older than 35 days go.
  EXPECT_TRUE(PlanMath::pushSnapshot(history, reading(nine + 36 * 86400, 1, reset, 1),
                                     Date(nine + 36 * 86400)));
  EXPECT_EQ(history.size(), 1u);

  const std::vector<Snapshot> plugin{{Date(nine - 40 * 86400), 1, Date(), 1},
                                     {Date(nine), 10, Date(), 5},
                                     {Date(nine + 60), 11, Date(), 6}};
  const std::vector<Snapshot> stored{{Date(nine + 30), 10, Date(), 5},
                                     {Date(nine + 60), 12, Date(), 7}};
  const auto merged = PlanMath::merge(plugin, stored, Date(nine));
  ASSERT_EQ(merged.size(), 3u);
  EXPECT_EQ(merged[0].t, Date(nine));
  EXPECT_EQ(merged[1].t, Date(nine + 30));
  EXPECT_EQ(merged[2].w, 12);
}

TEST(PlanMath, DashboardHistoryFromThePluginsFiles) {
  test::TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  dir.write("config/plugins/data/brackwater-usage-dashboard-market/state.json",
            R"({"history": [{"t": 1796720700000, "w": 11, "wr": 1796979600, "f": 3},
                            {"t": 1796720400000, "w": 10, "wr": 1796979600, "f": 2}]})");
  dir.write("config/plugins/cache/market/brackwater-usage-dashboard/1.2.0/history.json",
            R"({"history": [{"t": 1796720400000, "w": 10, "wr": 1796979600, "f": 2}]})");
  dir.write("config/plugins/cache/market/brackwater-usage-dashboard/1.2.0/broken.json", "{\"hist");
  dir.write("config/plugins/cache/market/other-plugin/state.json",
            R"({"history": [{"t": 1796720000000, "w": 99, "f": 99}]})");
  const auto history = PlanMath::dashboardHistory(paths);
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0], (Snapshot{Date(nine), 10, Date(1796979600), 2}));
  EXPECT_EQ(history[1].w, 11);
  EXPECT_TRUE(PlanMath::dashboardHistory(test::TempDir().claudePaths()).empty());
}

const char* const fullState = R"({
  "at": 1796720400000, "version": "0.4.1",
  "app": {"status": "ok", "text": "{\"plan\": {\"status\": \"ok\", \"plan\": \"Max\", \"windows\": [{\"label\": \"Weekly · all models\", \"percentUsed\": 30}]}}"},
  "rateLimits": [{"kind": "five_hour", "percentUsed": 42, "resetsAt": 1796725800}],
  "sessions": {"status": "ok", "text": "[{\"sessionId\": \"s1\", \"title\": \"Fix the build\", \"cwd\": \"/w/a\", \"isRunning\": true, \"lastActivityAt\": 1796720000000, \"group\": {\"name\": \"Work\"}}, {\"sessionId\": \"s2\"}, {\"sessionId\": \"s3\", \"isRunning\": \"yes\"}]"},
  "groups": {"status": "ok", "text": "[{\"name\": \"Later\", \"order\": 2}, {\"name\": \"Work\", \"order\": 1}]"},
  "self": {"sessionId": "s9", "title": "Tessel", "cwd": "/w/t", "isRunning": true},
  "history": [{"t": 1796720400000, "w": 30, "wr": 1796979600, "f": 42}]
})";

TEST(ConnectorState, LoadsEverySectionAndKeepsTheLastGoodSidebar) {
  const auto state = ConnectorState::parse(fullState, Date(), true);
  ASSERT_TRUE(state);
  EXPECT_EQ(state->at, Date(nine));
  EXPECT_EQ(state->version, "0.4.1");
  EXPECT_EQ(state->appAccess, "ok");
  ASSERT_TRUE(state->appPlan);
  EXPECT_EQ(state->appPlan->plan, "Max");
  EXPECT_EQ(state->appPlan->at, Date(nine));
  ASSERT_TRUE(state->sessionPlan);
  EXPECT_EQ(state->sessionPlan->windows.at(0).percentUsed, 42);
  EXPECT_TRUE(state->sidebarRead);
  EXPECT_TRUE(state->groupsRead);
  EXPECT_EQ(state->groupOrder, (std::vector<std::string>{"Work", "Later"}));
  ASSERT_EQ(state->sidebar.size(), 3u);  // s3's wrong type leaves it out; self is added
  EXPECT_EQ(state->sidebar[0], (SidebarSession{"s1", "Fix the build", "/w/a", true, false,
                                               Date(1796720000), false, "Work"}));
  EXPECT_EQ(state->sidebar[1].title, "Untitled session");
  EXPECT_EQ(
      state->sidebar[2],
      (SidebarSession{.sessionId = "s9", .title = "Tessel", .cwd = "/w/t", .isRunning = true}));
  EXPECT_EQ(state->history.size(), 1u);
  EXPECT_TRUE(ConnectorState::parse(fullState, Date(), false)->history.empty());

  // The app could not answer: the sidebar of the last good read stands in.
  const auto later = ConnectorState::parse(R"({"at": 1796720460000,
      "sessions": {"status": "timeout"}, "groups": {"status": "ok", "text": "not json"},
      "self": {"sessionId": "s1", "isRunning": false}, "rateLimits": []})",
                                           Date(), false);
  ASSERT_TRUE(later);
  EXPECT_FALSE(later->sidebarRead);
  EXPECT_FALSE(later->groupsRead);
  EXPECT_EQ(later->appAccess, "missing");
  EXPECT_EQ(later->appPlan, std::nullopt);
  EXPECT_EQ(later->sessionPlan, std::nullopt);
  const ConnectorState kept = later->keepingSidebar(state->savedSidebar());
  EXPECT_EQ(kept.sidebar, state->sidebar);
  EXPECT_EQ(kept.groupOrder, state->groupOrder);
  EXPECT_EQ(later->keepingSidebar(std::nullopt).sidebar.size(), 1u);
  EXPECT_EQ(state->keepingSidebar(SavedSidebar{.sidebar = std::vector<SidebarSession>{}}).sidebar,
            state->sidebar);
  EXPECT_TRUE(state->replacingSidebar(SavedSidebar{.sidebar = std::vector<SidebarSession>{}})
                  .sidebar.empty());
  EXPECT_EQ(state->replacingSidebar(SavedSidebar{}).groupOrder, state->groupOrder);

  EXPECT_EQ(ConnectorState::parse("[1, 2]", Date(), false), std::nullopt);
  EXPECT_EQ(ConnectorState::parse("{\"at\": 17967", Date(), false), std::nullopt);
  // Without "at" the file's own date stands in.
  EXPECT_EQ(ConnectorState::parse("{}", Date(nine), false)->at, Date(nine));

  test::TempDir dir;
  EXPECT_EQ(ConnectorState::load(dir / "missing.json", Date(nine), false), std::nullopt);
  const std::string path = dir.write("state.json", fullState);
  EXPECT_EQ(ConnectorState::load(path, Date(nine), true), state);
}

TEST(ConnectorState, PlanPrefersFreshReadingsThenWindowsThenTheApp) {
  const auto plan = [](Plan::Source source, double at, bool windows) {
    Plan result{.source = source, .at = Date(at)};
    if (windows) result.windows = {{"seven_day", "Weekly · all models", 30, Date(nine + 86400)}};
    return result;
  };
  ConnectorState state;
  const Date now(nine + 7200);
  EXPECT_EQ(state.plan(std::nullopt, now).note,
            "No plan reading yet (it arrives with the next reply).");
  const Plan shown = plan(Plan::Source::app, nine, true);
  EXPECT_EQ(state.plan(shown, now), shown);

  // An app reading two hours old loses to a session reading a minute old.
  state.appPlan = plan(Plan::Source::app, nine, true);
  state.sessionPlan = plan(Plan::Source::session, nine + 7140, true);
  EXPECT_EQ(state.plan(std::nullopt, now).source, Plan::Source::session);
  // Both fresh: windows win, the app's on a tie.
  state.appPlan = plan(Plan::Source::app, nine + 7000, false);
  EXPECT_EQ(state.plan(std::nullopt, now).source, Plan::Source::session);
  state.appPlan = plan(Plan::Source::app, nine + 7000, true);
  EXPECT_EQ(state.plan(std::nullopt, now).source, Plan::Source::app);
  // Both old: the same.
  state.appPlan = plan(Plan::Source::app, nine, false);
  state.sessionPlan = plan(Plan::Source::session, nine, true);
  EXPECT_EQ(state.plan(std::nullopt, now).source, Plan::Source::session);

  // What was shown last holds while the window is the same.
  Plan higher = plan(Plan::Source::app, nine - 60, true);
  higher.windows[0].percentUsed = 35;
  EXPECT_EQ(state.plan(higher, now).windows[0].percentUsed, 35);
}

}  // namespace
}  // namespace tessel
