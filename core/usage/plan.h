// The plan allowance: how much of the five-hour and weekly limits is used and when each
// resets, as the desktop app's usage tool or a session's rate limits report it, and the
// history of those readings. Plain values and pure rules; safe from any thread.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "paths/claude_paths.h"
#include "usage/index_store.h"
#include "util/date.h"
#include "util/date_form.h"

namespace tessel {

struct PlanWindow {
  // "five_hour", "seven_day", "model:<name>", or the label's own words.
  std::string kind{};
  std::string label{};
  double percentUsed = 0;
  // Always a whole minute, so that readings a few seconds apart name the same reset.
  std::optional<Date> resetsAt{};

  bool operator==(const PlanWindow&) const = default;
};

struct Plan {
  enum class Source { app, session, none };

  Source source = Source::none;
  std::optional<std::string> plan{};
  std::vector<PlanWindow> windows{};
  std::optional<bool> extraUsageEnabled{};
  // Shown instead of windows.
  std::optional<std::string> note{};
  Date at{};

  const PlanWindow* window(std::string_view kind) const;
  bool operator==(const Plan&) const = default;
};

std::string_view toString(Plan::Source source);

// The JSON form, keys as the fields.
template <class Document = nlohmann::json>
Document toJson(const PlanWindow& window, DateForm dates = DateForm::referenceSeconds);
template <class Document = nlohmann::json>
Document toJson(const Plan& plan, DateForm dates = DateForm::referenceSeconds);

// One reading of the history: `w` weekly percent used, `wr` when the weekly window
// resets, `f` five-hour percent used. The same record is a row of the store.
using Snapshot = IndexStore::PlanReading;

// One session as the desktop app's sidebar lists it.
struct SidebarSession {
  std::string sessionId{};
  std::string title{};
  std::string cwd{};
  bool isRunning = false;
  bool isArchived = false;
  std::optional<Date> lastActivity{};
  bool remoteControlActive = false;
  std::optional<std::string> group{};

  bool operator==(const SidebarSession&) const = default;
};

// The last good sidebar, kept across reads that did not get one.
struct SavedSidebar {
  std::optional<std::vector<SidebarSession>> sidebar{};
  std::optional<std::vector<std::string>> groupOrder{};

  bool operator==(const SavedSidebar&) const = default;
};

namespace PlanMath {

// Readings older than this are kept out of the history.
constexpr double historyDays = 35;
// The history takes a reading at most this often unless a percentage moved a point.
constexpr double snapshotEvery = 300;
constexpr std::string_view noReadingNote = "No plan reading yet (it arrives with the next reply).";

// A number is seconds since 1970, or milliseconds when above 1e11; a string is an ISO
// 8601 date-time. Anything else, or nothing, is no date.
std::optional<Date> parseDate(const nlohmann::json* value);
// To the nearest minute, half a minute away from zero.
Date wholeMinute(Date date);
std::string windowKind(std::string_view label);

// The usage tool's reply; nothing when it is not JSON or has no "plan" object.
std::optional<Plan> parseApp(std::string_view text, Date at);
// The rate-limit windows a session reported ({"kind", "percentUsed", "resetsAt"}).
Plan planFromRateLimits(const nlohmann::json& limits, Date at);
// The session tool's reply; empty when it is not JSON.
std::vector<SidebarSession> parseSessions(std::string_view text);
// The same from the reply already parsed.
std::vector<SidebarSession> sessionsFrom(const nlohmann::json& reply);
// The readings of a history array; those without a time are skipped.
std::vector<Snapshot> snapshots(const nlohmann::json* value);

// `plan` with no window lower than in `last` while both name the same reset time:
// readings can arrive out of order. A window whose reset time has passed by the new
// reading starts again from it.
Plan noLowerThan(Plan plan, const std::optional<Plan>& last);
// Both histories by time, `later` winning on equal times, the last `historyDays` only.
std::vector<Snapshot> merge(const std::vector<Snapshot>& earlier,
                            const std::vector<Snapshot>& later, Date now);
// Appends the plan's weekly and five-hour reading when the last one is older than
// `snapshotEvery` or a percentage moved by a point; true when it did.
bool pushSnapshot(std::vector<Snapshot>& history, const Plan& plan, Date now);
// The history a usage-dashboard plugin keeps in the ".json" files of its folders under
// Claude Code's plugin store, oldest first.
std::vector<Snapshot> dashboardHistory(const ClaudePaths& paths);

}  // namespace PlanMath
}  // namespace tessel
