#include "usage/plan.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <nlohmann/json.hpp>

#include "util/files.h"
#include "util/json_object.h"
#include "util/text.h"

namespace tessel {
namespace {

using nlohmann::json;

// Where the usage-dashboard plugin keeps its readings: its folders under the plugin
// store (its cache, its data folder), found by name.
constexpr std::string_view dashboardPlugin = "brackwater-usage-dashboard";
// The plugin store's folders sit at most this deep (cache/<marketplace>/<plugin>).
constexpr int deepestPluginFolder = 3;
// A plugin's state file is small; anything larger is not one.
constexpr uint64_t largestStateFile = 16 << 20;

std::string lowered(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return result;
}

// An optional member: absent or null leaves `into` as it is; another type than the one
// asked for spoils the element.
template <class T>
bool optionalMember(const json& object, const char* key, T& into) {
  const json* value = Json::memberAt(object, key);
  if (!value || value->is_null()) return true;
  if constexpr (std::is_same_v<T, bool>) {
    if (!value->is_boolean()) return false;
  } else if constexpr (std::is_same_v<T, std::string>) {
    if (!value->is_string()) return false;
  } else {
    if (!value->is_number()) return false;
  }
  into = value->get<T>();
  return true;
}

std::optional<Date> resetTime(const json& object, const char* key) {
  const auto date = PlanMath::parseDate(Json::memberAt(object, key));
  if (!date) return std::nullopt;
  return PlanMath::wholeMinute(*date);
}

std::optional<PlanWindow> appWindow(const json& element) {
  if (!element.is_object()) return std::nullopt;
  const auto label = Json::stringAt(element, "label");
  const auto percent = Json::numberAt(element, "percentUsed");
  if (!label || !percent) return std::nullopt;
  return PlanWindow{.kind = PlanMath::windowKind(*label),
                    .label = *label,
                    .percentUsed = *percent,
                    .resetsAt = resetTime(element, "resetsAt")};
}

std::string_view rateLimitLabel(std::string_view kind) {
  if (kind == "five_hour") return "5-hour limit";
  if (kind == "seven_day") return "Weekly · all models";
  if (kind == "spend_limit") return "Spend limit";
  return kind;
}

std::optional<SidebarSession> sidebarSession(const json& element) {
  if (!element.is_object()) return std::nullopt;
  SidebarSession session{.title = "Untitled session"};
  if (!optionalMember(element, "sessionId", session.sessionId) || session.sessionId.empty() ||
      !optionalMember(element, "title", session.title) ||
      !optionalMember(element, "cwd", session.cwd) ||
      !optionalMember(element, "isRunning", session.isRunning) ||
      !optionalMember(element, "isArchived", session.isArchived) ||
      !optionalMember(element, "remoteControlActive", session.remoteControlActive)) {
    return std::nullopt;
  }
  if (const json* last = Json::memberAt(element, "lastActivityAt"); last && !last->is_null()) {
    if (!last->is_number() && !last->is_string()) return std::nullopt;
    session.lastActivity = PlanMath::parseDate(last);
  }
  if (const json* group = Json::objectAt(element, "group")) {
    session.group = Json::stringAt(*group, "name");
  }
  return session;
}

void readDashboardFolder(const std::string& folder, int depth, std::vector<Snapshot>& found) {
  const auto names = Files::list(folder);
  if (!names) return;
  for (const std::string& name : *names) {
    const std::string path = folder + "/" + name;
    if (name.ends_with(".json")) {
      const auto attributes = Files::attributes(path);
      if (!attributes || attributes->isDirectory || attributes->size > largestStateFile) continue;
      const auto text = Files::read(path);
      if (!text) continue;
      const json document = Json::parse(*text);
      if (!document.is_object()) continue;
      const auto more = PlanMath::snapshots(Json::memberAt(document, "history"));
      found.insert(found.end(), more.begin(), more.end());
    } else if (depth == 0 && name.find('.') == std::string::npos) {
      // A cached plugin keeps one folder per version.
      readDashboardFolder(path, depth + 1, found);
    }
  }
}

void findDashboardFolders(const std::string& folder, int depth, std::vector<Snapshot>& found) {
  const auto names = Files::list(folder);
  if (!names) return;
  for (const std::string& name : *names) {
    if (name.starts_with('.')) continue;
    const std::string path = folder + "/" + name;
    const auto attributes = Files::attributes(path);
    if (!attributes || !attributes->isDirectory) continue;
    if (name.starts_with(dashboardPlugin)) {
      readDashboardFolder(path, 0, found);
    } else if (depth < deepestPluginFolder) {
      findDashboardFolders(path, depth + 1, found);
    }
  }
}

}  // namespace

const PlanWindow* Plan::window(std::string_view kind) const {
  const auto found = std::find_if(windows.begin(), windows.end(),
                                  [&](const PlanWindow& window) { return window.kind == kind; });
  return found == windows.end() ? nullptr : &*found;
}

std::string_view toString(Plan::Source source) {
  switch (source) {
    case Plan::Source::app:
      return "app";
    case Plan::Source::session:
      return "session";
    case Plan::Source::none:
      break;
  }
  return "none";
}

template <class Document>
Document toJson(const PlanWindow& window, DateForm dates) {
  Document result = {
      {"kind", window.kind}, {"label", window.label}, {"percentUsed", window.percentUsed}};
  if (window.resetsAt) result["resetsAt"] = Json::date<Document>(*window.resetsAt, dates);
  return result;
}

template <class Document>
Document toJson(const Plan& plan, DateForm dates) {
  Document result = {{"source", toString(plan.source)}};
  if (plan.plan) result["plan"] = *plan.plan;
  Document windows = Document::array();
  for (const PlanWindow& window : plan.windows) windows.push_back(toJson<Document>(window, dates));
  result["windows"] = std::move(windows);
  if (plan.extraUsageEnabled) result["extraUsageEnabled"] = *plan.extraUsageEnabled;
  if (plan.note) result["note"] = *plan.note;
  result["at"] = Json::date<Document>(plan.at, dates);
  return result;
}

template nlohmann::json toJson(const PlanWindow&, DateForm);
template nlohmann::ordered_json toJson(const PlanWindow&, DateForm);
template nlohmann::json toJson(const Plan&, DateForm);
template nlohmann::ordered_json toJson(const Plan&, DateForm);

namespace PlanMath {

std::optional<Date> parseDate(const json* value) {
  if (!value) return std::nullopt;
  if (value->is_number()) {
    const auto number = value->get<double>();
    if (!std::isfinite(number)) return std::nullopt;
    return number > 1e11 ? Date::fromMillis(number) : Date(number);
  }
  if (value->is_string()) return Calendar::parseInternetDateTime(value->get<std::string>());
  return std::nullopt;
}

Date wholeMinute(Date date) { return Date(std::round(date.secondsSince1970() / 60) * 60); }

std::string windowKind(std::string_view label) {
  std::string text = lowered(label);
  if (text.find("5-hour") != std::string::npos || text.find("five") != std::string::npos) {
    return "five_hour";
  }
  if (text.find("weekly") != std::string::npos) {
    if (text.find("all models") != std::string::npos) return "seven_day";
    const size_t dot = text.rfind("·");
    const std::string_view last =
        dot == std::string::npos
            ? std::string_view(text)
            : std::string_view(text).substr(dot + std::string_view("·").size());
    return "model:" + std::string(Text::trimmed(last));
  }
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == ' ' || c == '\t'; }, '_');
  return text;
}

std::optional<Plan> parseApp(std::string_view text, Date at) {
  const json reply = Json::parse(text);
  if (!reply.is_object()) return std::nullopt;
  const json* planObject = Json::objectAt(reply, "plan");
  if (!planObject) return std::nullopt;
  Plan plan{.source = Plan::Source::app, .at = at};
  const auto status = Json::stringAt(*planObject, "status");
  if (status == "ok") {
    if (const json* windows = Json::memberAt(*planObject, "windows");
        windows && windows->is_array()) {
      for (const json& element : *windows) {
        if (auto window = appWindow(element)) plan.windows.push_back(std::move(*window));
      }
    }
    plan.plan = Json::stringAt(*planObject, "plan");
    if (const json* extra = Json::objectAt(*planObject, "extraUsage")) {
      plan.extraUsageEnabled = Json::boolAt(*extra, "enabled");
    }
    return plan;
  }
  plan.note = Json::stringAt(*planObject, "note");
  if (!plan.note) plan.note = "Plan limits " + status.value_or("unavailable");
  return plan;
}

Plan planFromRateLimits(const json& limits, Date at) {
  Plan plan{.at = at};
  if (limits.is_array()) {
    for (const json& element : limits) {
      if (!element.is_object()) continue;
      const auto kind = Json::stringAt(element, "kind");
      const auto percent = Json::numberAt(element, "percentUsed");
      if (!kind || !percent) continue;
      plan.windows.push_back(PlanWindow{.kind = *kind,
                                        .label = std::string(rateLimitLabel(*kind)),
                                        .percentUsed = *percent,
                                        .resetsAt = resetTime(element, "resetsAt")});
    }
  }
  if (plan.windows.empty()) {
    plan.note = std::string(noReadingNote);
  } else {
    plan.source = Plan::Source::session;
  }
  return plan;
}

std::vector<SidebarSession> parseSessions(std::string_view text) {
  return sessionsFrom(Json::parse(text));
}

std::vector<SidebarSession> sessionsFrom(const json& reply) {
  const json* list = &reply;
  if (reply.is_object()) list = Json::memberAt(reply, "sessions");
  std::vector<SidebarSession> sessions;
  if (!list || !list->is_array()) return sessions;
  for (const json& element : *list) {
    if (auto session = sidebarSession(element)) sessions.push_back(std::move(*session));
  }
  return sessions;
}

std::vector<Snapshot> snapshots(const json* value) {
  std::vector<Snapshot> result;
  if (!value || !value->is_array()) return result;
  for (const json& element : *value) {
    if (!element.is_object()) continue;
    const auto t = Json::numberAt(element, "t");
    if (!t || !std::isfinite(*t)) continue;
    Snapshot snapshot{.t = Date::fromMillis(*t)};
    if (!optionalMember(element, "w", snapshot.w) || !optionalMember(element, "f", snapshot.f)) {
      continue;
    }
    if (const auto reset = resetTime(element, "wr")) snapshot.wr = *reset;
    result.push_back(snapshot);
  }
  return result;
}

Plan noLowerThan(Plan plan, const std::optional<Plan>& last) {
  if (!last) return plan;
  for (PlanWindow& window : plan.windows) {
    const PlanWindow* earlier = last->window(window.kind);
    if (!earlier || !window.resetsAt || earlier->resetsAt != window.resetsAt) continue;
    if (*window.resetsAt <= plan.at) continue;
    window.percentUsed = std::max(window.percentUsed, earlier->percentUsed);
  }
  return plan;
}

std::vector<Snapshot> merge(const std::vector<Snapshot>& earlier,
                            const std::vector<Snapshot>& later, Date now) {
  const Date keepFrom = now - historyDays * 86400;
  std::map<Date, Snapshot> byTime;
  for (const auto* history : {&earlier, &later}) {
    for (const Snapshot& snapshot : *history) {
      if (snapshot.t >= keepFrom) byTime.insert_or_assign(snapshot.t, snapshot);
    }
  }
  std::vector<Snapshot> result;
  result.reserve(byTime.size());
  for (const auto& [t, snapshot] : byTime) result.push_back(snapshot);
  return result;
}

bool pushSnapshot(std::vector<Snapshot>& history, const Plan& plan, Date now) {
  const PlanWindow* weekly = plan.window("seven_day");
  const PlanWindow* fiveHour = plan.window("five_hour");
  if (!weekly && !fiveHour) return false;
  const Snapshot* last = history.empty() ? nullptr : &history.back();
  if (last && plan.at <= last->t) return false;
  // A window the reading lacks keeps its last known value rather than dropping to 0.
  Snapshot next{.t = plan.at,
                .w = weekly ? weekly->percentUsed
                     : last ? last->w
                            : 0,
                .wr = weekly && weekly->resetsAt ? *weekly->resetsAt
                      : last                     ? last->wr
                                                 : Date(),
                .f = fiveHour ? fiveHour->percentUsed
                     : last   ? last->f
                              : 0};
  if (last && plan.at - last->t < snapshotEvery && std::abs(next.w - last->w) < 1 &&
      std::abs(next.f - last->f) < 1) {
    return false;
  }
  history.push_back(next);
  const Date keepFrom = now - historyDays * 86400;
  std::erase_if(history, [&](const Snapshot& snapshot) { return snapshot.t < keepFrom; });
  return true;
}

std::vector<Snapshot> dashboardHistory(const ClaudePaths& paths) {
  std::vector<Snapshot> found;
  findDashboardFolders(paths.configDir + "/plugins", 1, found);
  std::stable_sort(found.begin(), found.end(),
                   [](const Snapshot& a, const Snapshot& b) { return a.t < b.t; });
  // The same reading in two copies of the plugin's files counts once.
  found.erase(std::unique(found.begin(), found.end(),
                          [](const Snapshot& a, const Snapshot& b) { return a.t == b.t; }),
              found.end());
  return found;
}

}  // namespace PlanMath
}  // namespace tessel
