#include "activity/hook_sessions.h"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace tessel::Activity {

std::vector<LiveSession> hookSessions(const HookLogReader::Read& read,
                                      const std::vector<LiveSession>& live,
                                      const std::function<bool(int32_t)>& alive) {
  std::unordered_set<std::string> liveIds;
  std::unordered_set<int32_t> livePIDs;
  for (const LiveSession& session : live) {
    liveIds.insert(session.sessionId);
    livePIDs.insert(session.pid);
  }

  // By pid, the session heard from last. The process probe comes last: it is a system call.
  using Entry = decltype(read.hostTraces)::value_type;
  std::unordered_map<int32_t, const Entry*> byPID;
  for (const auto& entry : read.hostTraces) {
    const auto& [id, trace] = entry;
    const auto pid = read.sessionPIDs.find(id);
    if (pid == read.sessionPIDs.end() || pid->second <= 0 || liveIds.contains(id) ||
        livePIDs.contains(pid->second) || read.ended.contains(id)) {
      continue;
    }
    auto [found, isNew] = byPID.try_emplace(pid->second, &entry);
    if (!isNew && trace.last > found->second->second.last) found->second = &entry;
  }
  std::erase_if(byPID, [&](const auto& entry) { return !alive(entry.first); });
  if (byPID.empty()) return {};

  std::unordered_set<std::string_view> open;
  for (const auto& event : read.events) {
    if (!event->end) open.insert(event->sessionId);
  }

  std::vector<LiveSession> sessions;
  for (const auto& [pid, entry] : byPID) {
    const auto& [id, trace] = *entry;
    const bool busy = trace.lastEvent == "UserPromptSubmit" || trace.lastEvent == "PreToolUse" ||
                      open.contains(id);
    sessions.push_back(LiveSession{.pid = pid,
                                   .sessionId = id,
                                   .cwd = trace.cwd.value_or(""),
                                   .status = busy ? "busy" : "idle",
                                   .entrypoint = "cli",
                                   .kind = "interactive",
                                   .startedAt = trace.started,
                                   .updatedAt = trace.last,
                                   .statusSince = trace.last});
  }
  std::sort(sessions.begin(), sessions.end(),
            [](const LiveSession& a, const LiveSession& b) { return a.pid < b.pid; });
  return sessions;
}

}  // namespace tessel::Activity
