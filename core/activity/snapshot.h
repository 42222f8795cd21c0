// What is going on at one moment: every agent session with its state, process and last
// tool call, the containers, machines and processes tied to them, and the machine's
// figures. Snapshots are immutable values, built by Activity::build from the readers'
// results and safe to hand between threads.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "activity/attribution.h"
#include "claude/live_session.h"
#include "claude/session_record.h"
#include "codex/codex_session.h"
#include "environments/process_table.h"
#include "environments/resource.h"
#include "hook/hook_log_reader.h"
#include "metrics/samples.h"
#include "model/tool_event.h"

namespace tessel {

enum class Assistant { claude, codex };
std::string_view toString(Assistant assistant);

struct SessionInfo {
  enum class State { working, waiting, idle, background };

  LiveSession live;
  std::string title{};
  std::string project{};
  std::optional<std::string> model{};
  std::optional<ProcessEntry> process{};  // the session's own agent process
  std::vector<ProcessEntry> children{};   // its descendants
  std::optional<ToolEvent> lastEvent{};
  State state = State::idle;
  double quietFor = 0;  // seconds the status has been unchanged
  std::optional<std::string> devContainer{};
  std::optional<std::string> devFolder{};
  bool remoteControl = false;
  Assistant assistant = Assistant::claude;
  bool sharesProcess = false;  // another row has the same process

  const std::string& id() const { return live.sessionId; }
  double cpu() const;
  int64_t memory() const;
  int64_t ownMemory() const;

  bool operator==(const SessionInfo&) const = default;
};

std::string_view toString(SessionInfo::State state);

struct ActivitySnapshot {
  // A session whose status has been unchanged for longer is idle.
  static constexpr double idleAfter = 900;

  Date date{};
  std::vector<SessionInfo> sessions{};  // Claude Code's, sorted for display
  std::vector<TrackedResource> resources{};
  double appCPU = 0;
  int64_t appMemory = 0;
  uint64_t machineMemory = 0;
  std::optional<Date> hookLastSeen{};
  std::set<int32_t> claudePIDs{};
  std::vector<SessionInfo> codexSessions{};
  std::set<int32_t> codexPIDs{};
  std::optional<MetricsSample> metrics{};
  std::optional<SystemSample> system{};
  std::vector<double> perCore{};
  std::vector<ProcessEntry> topCPU{};
  std::vector<ProcessEntry> topMemory{};
  std::vector<std::string> codexSessionIDs{};
  std::set<std::string> codexOpenIDs{};

  // What the interface shows before the first real snapshot.
  static ActivitySnapshot empty();

  std::vector<SessionInfo> working() const;
  std::vector<SessionInfo> waiting() const;
  std::vector<SessionInfo> idle() const;
  std::vector<TrackedResource> leftovers() const;
  std::vector<TrackedResource> started() const;
  std::vector<TrackedResource> startedByClaude() const;
  std::vector<TrackedResource> resourcesFor(const std::string& sessionId) const;
  double sessionCPU() const;
  int64_t sessionMemory() const;
  double totalCPU() const;
  int64_t totalMemory() const;
  int64_t memory(Resource::Kind kind, bool linkedOnly) const;

  bool operator==(const ActivitySnapshot&) const = default;
};

// What the Codex readers know for one snapshot.
struct CodexActivity {
  std::vector<CodexSession> sessions{};
  std::map<std::string, std::string> titles{};
  std::map<std::string, int32_t> open{};  // session id -> the process holding it open
  std::vector<ToolEvent> commands{};

  bool operator==(const CodexActivity&) const = default;
};

namespace Activity {

struct Inputs {
  Date now{};
  ProcessTable table{};
  std::vector<LiveSession> live{};
  std::vector<SessionRecord> records{};
  std::optional<EnvironmentScan> environments{};
  std::vector<ToolEvent> commands{};  // the recent shell commands of all sessions
  // The same commands and Codex's, already prepared and sorted by start, from a caller
  // that keeps them between snapshots; when given, `commands` is not read, and Codex's
  // only for each Codex row's latest call, so they may be cut down to those.
  std::optional<std::vector<Command>> prepared{};
  std::optional<HookLogReader::Read> hook{};
  std::map<std::string, ToolEvent> lastEvents{};  // by session id
  std::map<std::string, std::string> models{};    // by session id
  std::optional<CodexActivity> codex{};
};

ActivitySnapshot build(const Inputs& inputs);

// One row per session seen only through a container's events file.
std::vector<SessionInfo> containerSessions(const Inputs& inputs);
// One row per Codex session a process holds open.
std::vector<SessionInfo> codexSessions(const Inputs& inputs);

// Whether the interface may move its selection to another session.
bool shouldAutoSelect(const std::optional<std::string>& selected, const std::set<std::string>& live,
                      const std::set<std::string>& recent);

}  // namespace Activity
}  // namespace tessel
