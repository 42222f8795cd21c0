// What the live view draws from and where the user is in it: the latest snapshot with
// the slower figures beside it, and the screen, selection, filter and toggles the keys
// change. Plain values; the key handling is a pure function so tests can drive it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "activity/snapshot.h"
#include "codex/codex_limits.h"
#include "environments/resource.h"
#include "model/tool_event.h"
#include "usage/plan.h"
#include "usage/usage_summary.h"

namespace tessel::view {

struct ViewData {
  ActivitySnapshot snapshot = ActivitySnapshot::empty();
  std::optional<Plan> plan{};
  std::optional<CodexLimits> codexLimits{};
  std::optional<Aggregate> usage{};
  std::map<std::string, int64_t> tokensToday{};  // by session id
  std::optional<EnvironmentScan> scan{};
  // The titles of ended sessions whose containers or processes are still running.
  std::map<std::string, std::string> endedTitles{};
  // The selected session's tool calls, oldest first; read only while its detail shows.
  std::vector<ToolEvent> timeline{};
};

enum class Screen { sessions, environments, usage, system };

struct ViewState {
  Screen screen = Screen::sessions;
  bool isDetail = false;
  bool showsHelp = false;
  bool isPaused = false;
  bool showsCodex = true;
  bool isTypingFilter = false;
  std::string filter{};
  // Kept by id, so the selection follows its session when the rows reorder.
  std::optional<std::string> selectedId{};
  size_t scroll = 0;  // first line shown of a screen longer than the terminal
};

// The keys the view answers, as the terminal layer reads them.
struct Key {
  enum class Kind {
    character,
    up,
    down,
    pageUp,
    pageDown,
    home,
    end,
    enter,
    escape,
    tab,
    backTab,
    backspace
  };
  Kind kind = Kind::character;
  char32_t character = 0;
};

// The session rows of the Sessions screen, in display order: Claude Code's, then Codex's
// while they are shown, those that do not match the filter left out.
std::vector<const SessionInfo*> visibleSessions(const ActivitySnapshot& snapshot,
                                                const ViewState& state);

// The selected row among `rows`: the one with the selected id, else the first.
const SessionInfo* selectedSession(const std::vector<const SessionInfo*>& rows,
                                   const ViewState& state);

// Applies one key; false when the user asked to quit.
bool handleKey(ViewState& state, const Key& key, const ActivitySnapshot& snapshot);

}  // namespace tessel::view
