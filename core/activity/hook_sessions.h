// Claude Code sessions known only from the host's hook log: versions of Claude Code that
// write no session file still run the hook, and the hook records the session's process.
// Pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "claude/live_session.h"
#include "hook/hook_log_reader.h"
#include "platform/process_probe.h"

namespace tessel::Activity {

// One live session for each session of `read`'s host traces whose recorded process is
// `alive` and that has not ended since it last started, leaving out those `live` already
// holds by session id or pid. A process runs one session at a time: when several claim
// one pid, the one heard from last wins. Sorted by pid.
std::vector<LiveSession> hookSessions(
    const HookLogReader::Read& read, const std::vector<LiveSession>& live,
    const std::function<bool(int32_t)>& alive = platform::processExists);

}  // namespace tessel::Activity
