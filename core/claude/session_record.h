// One Claude Code session a user can pick and reopen: a desktop-app record, or a past
// session known only from its transcript, joined into one list by merge. Plain values
// and stateless functions; safe from any thread.
#pragma once

#include <cstddef>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/date.h"

namespace tessel {

struct HistorySession;

struct SessionRecord {
  std::string id{};
  std::optional<std::string> desktopId{};
  std::string title{};
  std::string cwd{};
  std::optional<std::string> model{};
  bool isArchived = false;
  bool remoteControl = false;
  std::optional<Date> lastActivity{};
  std::optional<std::string> entrypoint{};

  // The desktop records win over the history's summary of the same session, and
  // borrow what the desktop app does not know (titles, folder, model, entry point).
  // Returned in no particular order.
  static std::vector<SessionRecord> merge(const std::vector<HistorySession>& history,
                                          const std::vector<SessionRecord>& desktop);

  bool operator==(const SessionRecord&) const = default;
};

// Our own record form: dates in seconds since 2001, absent optionals left out.
nlohmann::json toJson(const SessionRecord& record);
std::optional<SessionRecord> sessionRecordFromJson(const nlohmann::json& json);

namespace Folder {

// `path` with the user's home directory (from the user database) shown as "~", for
// display. ("short" itself is a C++ keyword.)
std::string shortPath(std::string_view path);
// The folder's own name: "/work/app/" -> "app".
std::string name(std::string_view path);

}  // namespace Folder

}  // namespace tessel

template <>
struct std::hash<tessel::SessionRecord> {
  size_t operator()(const tessel::SessionRecord& r) const;
};
