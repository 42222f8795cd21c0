// The Claude Code sessions running right now, as Claude Code announces them with one
// small JSON file per process in its sessions folder. LiveSession is a plain value;
// LiveSessionReader keeps the last good reading of each file and is safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "paths/claude_paths.h"
#include "util/date.h"
#include "util/date_form.h"

namespace tessel {

struct LiveSession {
  int32_t pid = 0;
  std::string sessionId{};
  std::string cwd{};
  std::optional<std::string> name{};
  std::string status = "idle";
  std::optional<std::string> entrypoint{};
  std::optional<std::string> hostSessionId{};
  std::optional<std::string> kind{};
  std::optional<std::string> version{};
  std::optional<std::string> bridgeSessionId{};
  Date startedAt{};
  Date updatedAt{};
  Date statusSince{};

  // One process runs one session at a time, so the pid tells live sessions apart.
  int32_t id() const { return pid; }
  // A session Claude Code runs on its own, without a terminal.
  bool isBackground() const { return kind == "background"; }

  // One session file (`name` is its file name, "<pid>.json"); nothing when the file is
  // unreadable, not a session, or its process has ended.
  static std::optional<LiveSession> read(const std::string& path, const std::string& name);
  // Every live session, sorted by pid, without any memory of earlier readings.
  static std::vector<LiveSession> load(const ClaudePaths& paths);

  bool operator==(const LiveSession&) const = default;
};

// Our own record form: keys in field order, absent optionals left out. `Document` is
// nlohmann::json or ordered_json.
template <class Document = nlohmann::json>
Document toJson(const LiveSession& session, DateForm dates = DateForm::referenceSeconds);
std::optional<LiveSession> liveSessionFromJson(const nlohmann::json& json);

// Reads the sessions folder on every load, but keeps a session whose file is caught
// mid-rewrite for as long as its process lives, so sessions do not flicker.
class LiveSessionReader {
 public:
  // Every live session, sorted by pid. File reading runs without the lock held.
  std::vector<LiveSession> load(const ClaudePaths& paths);

 private:
  mutable std::mutex lock_;
  // Guarded by lock_. Keyed by file name.
  std::unordered_map<std::string, LiveSession> cache_;
};

}  // namespace tessel

template <>
struct std::hash<tessel::LiveSession> {
  size_t operator()(const tessel::LiveSession& s) const;
};
