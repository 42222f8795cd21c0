#include "usage/connector_state.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "util/files.h"
#include "util/json_object.h"

namespace tessel {
namespace {

using nlohmann::json;

// A section the plugin filled from one of the app's tools: its reply text when the
// tool answered "ok".
std::optional<std::string> okText(const json* section) {
  if (!section || Json::stringAt(*section, "status") != "ok") return std::nullopt;
  return Json::stringAt(*section, "text");
}

std::optional<std::vector<std::string>> readGroupOrder(const std::string& text) {
  const json reply = Json::parse(text);
  const json* list = &reply;
  if (reply.is_object()) {
    const auto found = reply.find("groups");
    list = found == reply.end() ? nullptr : &*found;
  }
  if (!list || !list->is_array()) return std::nullopt;
  std::vector<std::pair<double, std::string>> groups;
  for (const json& group : *list) {
    if (!group.is_object()) continue;
    auto name = Json::stringAt(group, "name");
    if (!name) continue;
    groups.emplace_back(Json::numberAt(group, "order").value_or(0), std::move(*name));
  }
  std::stable_sort(groups.begin(), groups.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> names;
  names.reserve(groups.size());
  for (auto& [order, name] : groups) names.push_back(std::move(name));
  return names;
}

// The plugin's own session is in the sidebar even before the app lists it.
void mergeSelf(const json& self, std::vector<SidebarSession>& sidebar) {
  const auto id = Json::stringAt(self, "sessionId");
  if (!id || id->empty()) return;
  auto found = std::find_if(sidebar.begin(), sidebar.end(), [&](const SidebarSession& session) {
    return session.sessionId == *id;
  });
  if (found == sidebar.end()) {
    sidebar.push_back(SidebarSession{.sessionId = *id, .title = "Untitled session"});
    found = sidebar.end() - 1;
  }
  if (auto title = Json::stringAt(self, "title")) found->title = std::move(*title);
  if (auto cwd = Json::stringAt(self, "cwd")) found->cwd = std::move(*cwd);
  if (const auto running = Json::boolAt(self, "isRunning")) found->isRunning = *running;
}

bool isFresh(const Plan& plan, Date now) { return now - plan.at <= ConnectorState::freshSeconds; }

}  // namespace

std::optional<ConnectorState> ConnectorState::load(const std::string& path, Date now,
                                                   bool history) {
  const auto text = Files::read(path);
  if (!text) return std::nullopt;
  return parse(*text, Files::modificationTime(path).value_or(now), history);
}

std::optional<ConnectorState> ConnectorState::parse(std::string_view text, Date written,
                                                    bool history) {
  const json document = Json::parse(text);
  if (!document.is_object()) return std::nullopt;
  ConnectorState state;
  const auto at = Json::numberAt(document, "at");
  state.at = at ? Date::fromMillis(*at) : written;
  state.version = Json::stringAt(document, "version");

  if (const json* app = Json::objectAt(document, "app")) {
    state.appAccess = Json::stringAt(*app, "status").value_or("missing");
    // The status line rewrites "at" with every reply; the app's reading keeps its own.
    const auto appAt = Json::numberAt(*app, "at");
    if (const auto reply = Json::stringAt(*app, "text")) {
      state.appPlan = PlanMath::parseApp(*reply, appAt ? Date::fromMillis(*appAt) : state.at);
    }
  }
  if (const auto limits = document.find("rateLimits");
      limits != document.end() && limits->is_array() && !limits->empty()) {
    state.sessionPlan = PlanMath::planFromRateLimits(*limits, state.at);
  }
  if (const auto reply = okText(Json::objectAt(document, "sessions"))) {
    const json parsed = Json::parse(*reply);
    if (!parsed.is_discarded()) {
      state.sidebar = PlanMath::sessionsFrom(parsed);
      state.sidebarRead = true;
    }
  }
  if (const auto reply = okText(Json::objectAt(document, "groups"))) {
    if (auto order = readGroupOrder(*reply)) {
      state.groupOrder = std::move(*order);
      state.groupsRead = true;
    }
  }
  if (const json* self = Json::objectAt(document, "self")) mergeSelf(*self, state.sidebar);
  if (history) {
    const auto found = document.find("history");
    if (found != document.end()) state.history = PlanMath::snapshots(&*found);
  }
  return state;
}

Plan ConnectorState::plan(const std::optional<Plan>& last, Date now) const {
  const Plan* chosen = nullptr;
  if (appPlan && sessionPlan) {
    const bool appFresh = isFresh(*appPlan, now);
    const bool sessionFresh = isFresh(*sessionPlan, now);
    if (appFresh != sessionFresh) {
      chosen = appFresh ? &*appPlan : &*sessionPlan;
    } else {
      const bool appHasWindows = !appPlan->windows.empty();
      const bool sessionHasWindows = !sessionPlan->windows.empty();
      chosen = sessionHasWindows && !appHasWindows ? &*sessionPlan : &*appPlan;
    }
  } else if (appPlan) {
    chosen = &*appPlan;
  } else if (sessionPlan) {
    chosen = &*sessionPlan;
  }
  if (!chosen) {
    if (last) return *last;
    return Plan{.note = std::string(PlanMath::noReadingNote), .at = at};
  }
  if (last && !last->windows.empty()) return PlanMath::noLowerThan(*chosen, last);
  return *chosen;
}

ConnectorState ConnectorState::keepingSidebar(const std::optional<SavedSidebar>& saved) const {
  ConnectorState copy = *this;
  if (!saved) return copy;
  if (!sidebarRead && saved->sidebar) copy.sidebar = *saved->sidebar;
  if (!groupsRead && saved->groupOrder) copy.groupOrder = *saved->groupOrder;
  return copy;
}

ConnectorState ConnectorState::replacingSidebar(const SavedSidebar& saved) const {
  ConnectorState copy = *this;
  if (saved.sidebar) copy.sidebar = *saved.sidebar;
  if (saved.groupOrder) copy.groupOrder = *saved.groupOrder;
  return copy;
}

SavedSidebar ConnectorState::savedSidebar() const {
  return SavedSidebar{.sidebar = sidebar, .groupOrder = groupOrder};
}

}  // namespace tessel
