// What the connector plugin last wrote to its state file: the plan as the desktop app and
// as the session's rate limits report it, the desktop app's sidebar and the plugin's
// history of plan readings. A value loaded in one call; safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "usage/plan.h"
#include "util/date.h"

namespace tessel {

struct ConnectorState {
  // A reading this old loses to a fresher one from the other source.
  static constexpr double freshSeconds = 3600;

  Date at{};
  std::optional<std::string> version{};
  std::optional<Plan> appPlan{};
  std::optional<Plan> sessionPlan{};
  // The "status" of the plugin's access to the app's usage tool; "missing" when the
  // file says nothing of it.
  std::string appAccess = "missing";
  std::vector<SidebarSession> sidebar{};
  std::vector<std::string> groupOrder{};
  // True when this file held the list with status "ok" and a reply that parsed.
  bool sidebarRead = false;
  bool groupsRead = false;
  std::vector<Snapshot> history{};

  // Nothing when the file is missing, unreadable or not a JSON object. The history is
  // read only when asked for.
  static std::optional<ConnectorState> load(const std::string& path, Date now, bool history);
  // The same from the file's text; `written` stands in for a missing "at".
  static std::optional<ConnectorState> parse(std::string_view text, Date written, bool history);

  // The plan to show now, given the one shown last.
  Plan plan(const std::optional<Plan>& last, Date now) const;
  // The saved sidebar and group order where this read had none.
  ConnectorState keepingSidebar(const std::optional<SavedSidebar>& saved) const;
  // The saved ones wherever they are given.
  ConnectorState replacingSidebar(const SavedSidebar& saved) const;
  SavedSidebar savedSidebar() const;

  bool operator==(const ConnectorState&) const = default;
};

}  // namespace tessel
