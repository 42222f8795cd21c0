#include "activity/snapshot.h"

#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "platform/host.h"
#include "platform/system_layout.h"
#include "util/text.h"

namespace tessel {

std::string_view toString(Assistant assistant) {
  return assistant == Assistant::codex ? "codex" : "claude";
}

std::string_view toString(SessionInfo::State state) {
  switch (state) {
    case SessionInfo::State::working:
      return "working";
    case SessionInfo::State::waiting:
      return "waiting";
    case SessionInfo::State::idle:
      return "idle";
    case SessionInfo::State::background:
      return "background";
  }
  return "idle";
}

double SessionInfo::cpu() const {
  double total = process ? process->cpu : 0;
  for (const ProcessEntry& child : children) total += child.cpu;
  return total;
}

int64_t SessionInfo::memory() const {
  int64_t total = ownMemory();
  for (const ProcessEntry& child : children) total += child.memory;
  return total;
}

int64_t SessionInfo::ownMemory() const { return process ? process->memory : 0; }

ActivitySnapshot ActivitySnapshot::empty() {
  ActivitySnapshot snapshot;
  snapshot.date = Date::distantPast();
  snapshot.machineMemory = platform::physicalMemory();
  return snapshot;
}

namespace {

template <typename Item, typename Keep>
std::vector<Item> filtered(const std::vector<Item>& items, Keep&& keep) {
  std::vector<Item> kept;
  std::copy_if(items.begin(), items.end(), std::back_inserter(kept), keep);
  return kept;
}

std::vector<SessionInfo> inState(const std::vector<SessionInfo>& sessions,
                                 SessionInfo::State state) {
  return filtered(sessions, [state](const SessionInfo& s) { return s.state == state; });
}

}  // namespace

std::vector<SessionInfo> ActivitySnapshot::working() const {
  return inState(sessions, SessionInfo::State::working);
}
std::vector<SessionInfo> ActivitySnapshot::waiting() const {
  return inState(sessions, SessionInfo::State::waiting);
}
std::vector<SessionInfo> ActivitySnapshot::idle() const {
  return inState(sessions, SessionInfo::State::idle);
}

std::vector<TrackedResource> ActivitySnapshot::leftovers() const {
  return filtered(resources, [](const TrackedResource& r) { return r.isLeftover; });
}

std::vector<TrackedResource> ActivitySnapshot::started() const {
  return filtered(resources, [](const TrackedResource& r) { return r.link.has_value(); });
}

std::vector<TrackedResource> ActivitySnapshot::startedByClaude() const {
  return filtered(resources, [this](const TrackedResource& r) {
    return r.link && std::find(codexSessionIDs.begin(), codexSessionIDs.end(), r.link->sessionId) ==
                         codexSessionIDs.end();
  });
}

std::vector<TrackedResource> ActivitySnapshot::resourcesFor(const std::string& sessionId) const {
  return filtered(resources, [&](const TrackedResource& r) {
    return r.link && r.link->sessionId == sessionId;
  });
}

double ActivitySnapshot::sessionCPU() const {
  double total = 0;
  for (const SessionInfo& session : sessions) total += session.cpu();
  return total;
}

int64_t ActivitySnapshot::sessionMemory() const {
  int64_t total = 0;
  for (const SessionInfo& session : sessions) total += session.memory();
  return total;
}

double ActivitySnapshot::totalCPU() const {
  double total = sessionCPU() + appCPU;
  for (const TrackedResource& r : startedByClaude()) total += r.resource.cpu.value_or(0);
  return total;
}

int64_t ActivitySnapshot::totalMemory() const {
  int64_t total = sessionMemory() + appMemory;
  for (const TrackedResource& r : startedByClaude()) total += r.resource.memory.value_or(0);
  return total;
}

int64_t ActivitySnapshot::memory(Resource::Kind kind, bool linkedOnly) const {
  int64_t total = 0;
  for (const TrackedResource& r : resources) {
    if (r.resource.kind != kind || (linkedOnly && !r.link)) continue;
    total += r.resource.memory.value_or(0);
  }
  return total;
}

namespace Activity {
namespace {

// Detached processes: how recently started, how long their line may be.
constexpr double detachedWithin = 259200;
constexpr size_t detailCodePoints = 200;
// A container session's trace older than this gives no row.
constexpr double containerSessionLifetime = 86400;

// Executable paths of the processes the snapshot looks at, kept from one build to the
// next: a process keeps its executable until it runs another program, which gives it
// another command line, so a pid with the same start and command has the same path. Each
// poll then asks the system only about processes it has not seen.
class ExecutableCache {
 public:
  std::optional<std::string> of(const ProcessEntry& entry) {
    {
      std::lock_guard guard(lock_);
      const auto found = byPID_.find(entry.pid);
      if (found != byPID_.end() && found->second.started == entry.started &&
          found->second.command == entry.command) {
        return found->second.path;
      }
    }
    std::optional<std::string> path = entry.executablePath();
    std::lock_guard guard(lock_);
    byPID_.insert_or_assign(entry.pid, Known{entry.started, entry.command, path});
    return path;
  }

  // Forgets the processes that have gone.
  void keepOnly(const ProcessTable& table) {
    std::lock_guard guard(lock_);
    std::erase_if(byPID_, [&](const auto& item) { return !table.byPID.contains(item.first); });
  }

 private:
  struct Known {
    Date started;
    std::string command;
    std::optional<std::string> path;
  };
  std::mutex lock_;
  // Guarded by lock_.
  std::unordered_map<int32_t, Known> byPID_;
};

// Process-wide like the command cache: every snapshot of the process shares the answers.
ExecutableCache& executables() {
  static ExecutableCache cache;
  return cache;
}

const SessionRecord* recordOf(const std::vector<SessionRecord>& records, const std::string& id) {
  const auto found = std::find_if(records.begin(), records.end(),
                                  [&](const SessionRecord& r) { return r.id == id; });
  return found == records.end() ? nullptr : &*found;
}

// The folder name of `cwd`, one trailing "/" removed first.
std::string folderName(std::string_view cwd) {
  if (cwd.ends_with('/')) cwd.remove_suffix(1);
  return std::string(cwd.substr(cwd.rfind('/') + 1));
}

SessionInfo::State stateOf(const LiveSession& live, double quietFor) {
  if (live.isBackground()) return SessionInfo::State::background;
  if (live.status == "busy") return SessionInfo::State::working;
  return quietFor > ActivitySnapshot::idleAfter ? SessionInfo::State::idle
                                                : SessionInfo::State::waiting;
}

int stateRank(SessionInfo::State state) {
  switch (state) {
    case SessionInfo::State::working:
      return 0;
    case SessionInfo::State::waiting:
      return 1;
    case SessionInfo::State::background:
      return 2;
    case SessionInfo::State::idle:
      return 3;
  }
  return 3;
}

std::optional<ProcessEntry> processOf(const ProcessTable& table, int32_t pid) {
  if (pid <= 0) return std::nullopt;
  const auto found = table.byPID.find(pid);
  if (found == table.byPID.end()) return std::nullopt;
  return found->second;
}

// A row's common parts: state, title, project, process and the children shown with it.
SessionInfo rowOf(const Inputs& inputs, LiveSession live, Assistant assistant) {
  SessionInfo row{.live = std::move(live), .assistant = assistant};
  const SessionRecord* record = recordOf(inputs.records, row.live.sessionId);
  row.quietFor = inputs.now - row.live.statusSince;
  row.state = stateOf(row.live, row.quietFor);
  // A desktop-app record's title wins over the live name, which wins over any other's.
  const bool isDesktop = record != nullptr && record->desktopId;
  if (row.live.name && !isDesktop) {
    row.title = *row.live.name;
  } else if (record != nullptr) {
    row.title = record->title;
  } else {
    row.title = folderName(row.live.cwd);
  }
  row.project = folderName(row.live.cwd);
  row.remoteControl = record != nullptr && record->remoteControl;
  if (const auto model = inputs.models.find(row.live.sessionId); model != inputs.models.end()) {
    row.model = model->second;
  } else if (record != nullptr) {
    row.model = record->model;
  }
  if (const auto last = inputs.lastEvents.find(row.live.sessionId);
      last != inputs.lastEvents.end()) {
    row.lastEvent = last->second;
  }
  row.process = processOf(inputs.table, row.live.pid);
  if (row.process) {
    for (ProcessEntry& child : inputs.table.descendants(row.process->pid)) {
      if (looksLikeTool(child, executables().of(child))) row.children.push_back(std::move(child));
    }
  }
  return row;
}

// A resource still running: a process always is, a container or machine says so.
bool isRunning(const Resource& resource) {
  if (resource.kind == Resource::Kind::process) return true;
  std::string state = resource.state;
  std::transform(state.begin(), state.end(), state.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return state == "running";
}

// The table's processes that outlived their parents, of this user, started lately, known
// to nothing else and looking like a developer's tool.
std::vector<Resource> detachedProcesses(const Inputs& inputs,
                                        const std::unordered_set<int32_t>& known) {
  const int32_t me = platform::userId();
  std::unordered_map<int32_t, bool> adopting;  // parent pid -> adopts orphans
  std::vector<Resource> found;
  std::vector<const ProcessEntry*> entries;
  for (const auto& [pid, entry] : inputs.table.byPID) entries.push_back(&entry);
  std::sort(entries.begin(), entries.end(),
            [](const ProcessEntry* a, const ProcessEntry* b) { return a->pid < b->pid; });
  for (const ProcessEntry* entry : entries) {
    // The cheap tests first: the name and the tool test each cost a system call.
    if (entry->uid != me || !(entry->started > inputs.now - detachedWithin) ||
        known.contains(entry->pid)) {
      continue;
    }
    auto [parent, isNew] = adopting.try_emplace(entry->ppid, false);
    if (isNew) {
      const auto parentEntry = inputs.table.byPID.find(entry->ppid);
      parent->second = entry->ppid == 1 ||
                       (parentEntry != inputs.table.byPID.end() &&
                        platform::adoptsOrphans(
                            entry->ppid, parentEntry->second.uid,
                            parentEntry->second.name(executables().of(parentEntry->second))));
    }
    if (!parent->second) continue;
    const std::optional<std::string> executable = executables().of(*entry);
    if (!looksLikeTool(*entry, executable)) continue;
    std::string name = entry->name(executable);
    std::vector<std::string> keywords = processKeywords(*entry, name);
    found.push_back(Resource{
        .id = "process:" + std::to_string(entry->pid),
        .kind = Resource::Kind::process,
        .name = std::move(name),
        .detail =
            std::string(Text::prefixCodePoints(Text::repairUtf8(entry->command), detailCodePoints)),
        .provider = "Processes",
        .state = "running",
        .memory = entry->memory,
        .cpu = entry->cpu,
        .started = entry->started,
        .pid = entry->pid,
        .keywords = std::move(keywords),
        .context = entry->workingDirectory(),
    });
  }
  return found;
}

}  // namespace

std::vector<SessionInfo> containerSessions(const Inputs& inputs) {
  std::vector<SessionInfo> rows;
  if (!inputs.hook) return rows;
  std::unordered_set<std::string> live;
  for (const LiveSession& session : inputs.live) live.insert(session.sessionId);
  // Each shown session's latest call, and whether one of its calls is still open: one
  // pass over the calls for all of them.
  struct Calls {
    const ToolEvent* latest = nullptr;
    bool open = false;
  };
  std::unordered_map<std::string, Calls> shown;
  for (const auto& [id, trace] : inputs.hook->traces) {
    if (!live.contains(id) && trace.lastEvent != "SessionEnd" &&
        inputs.now - trace.last <= containerSessionLifetime) {
      shown.try_emplace(id);
    }
  }
  if (shown.empty()) return rows;
  for (const auto& event : inputs.hook->events) {
    const auto found = shown.find(event->sessionId);
    if (found == shown.end()) continue;
    Calls& calls = found->second;
    calls.open = calls.open || !event->end;
    if (calls.latest == nullptr || event->start > calls.latest->start) calls.latest = event.get();
  }
  for (const auto& [id, calls] : shown) {
    const HookLogReader::SessionTrace& trace = inputs.hook->traces.at(id);
    const ToolEvent* latest = calls.latest;
    const bool busy =
        trace.lastEvent == "UserPromptSubmit" || trace.lastEvent == "PreToolUse" || calls.open;
    LiveSession session{.pid = 0,
                        .sessionId = id,
                        .cwd = trace.cwd.value_or(""),
                        .status = busy ? "busy" : "idle",
                        .startedAt = trace.started,
                        .updatedAt = trace.last,
                        .statusSince = trace.last};
    SessionInfo row = rowOf(inputs, std::move(session), Assistant::claude);
    if (latest != nullptr && !row.lastEvent) row.lastEvent = *latest;
    row.devContainer = trace.container;
    // The events file lies in <project>/.claude/tessel/.
    const size_t slash = trace.log.rfind('/');
    std::string_view folder = slash == std::string::npos
                                  ? std::string_view()
                                  : std::string_view(trace.log).substr(0, slash);
    constexpr std::string_view hookFolder = "/.claude/tessel";
    if (folder.ends_with(hookFolder)) folder.remove_suffix(hookFolder.size());
    row.devFolder = std::string(folder);
    rows.push_back(std::move(row));
  }
  std::sort(rows.begin(), rows.end(),
            [](const SessionInfo& a, const SessionInfo& b) { return a.id() < b.id(); });
  return rows;
}

std::vector<SessionInfo> codexSessions(const Inputs& inputs) {
  std::vector<SessionInfo> rows;
  if (!inputs.codex) return rows;
  const CodexActivity& codex = *inputs.codex;
  for (const CodexSession& session : codex.sessions) {
    const auto open = codex.open.find(session.id);
    if (open == codex.open.end()) continue;
    const bool busy =
        session.turnStarted && (!session.turnEnded || *session.turnStarted > *session.turnEnded);
    std::optional<Date> since = session.turnStarted;
    if (session.turnEnded && (!since || *session.turnEnded > *since)) since = session.turnEnded;
    LiveSession live{.pid = open->second,
                     .sessionId = session.id,
                     .cwd = session.cwd.value_or(""),
                     .status = busy ? "busy" : "idle",
                     .startedAt = session.started.value_or(session.lastActivity),
                     .updatedAt = session.lastActivity,
                     .statusSince = since.value_or(session.lastActivity)};
    SessionInfo row = rowOf(inputs, std::move(live), Assistant::codex);
    const auto title = codex.titles.find(session.id);
    row.title = title != codex.titles.end() ? title->second : folderName(row.live.cwd);
    row.model = session.model;
    row.lastEvent.reset();
    for (const ToolEvent& event : codex.commands) {
      if (event.sessionId == session.id && (!row.lastEvent || event.start > row.lastEvent->start)) {
        row.lastEvent = event;
      }
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

ActivitySnapshot build(const Inputs& inputs) {
  ActivitySnapshot snapshot;
  snapshot.date = inputs.now;
  executables().keepOnly(inputs.table);
  for (const LiveSession& live : inputs.live) {
    snapshot.sessions.push_back(rowOf(inputs, live, Assistant::claude));
    if (live.pid > 0) snapshot.claudePIDs.insert(live.pid);
  }
  for (SessionInfo& row : containerSessions(inputs)) snapshot.sessions.push_back(std::move(row));
  snapshot.codexSessions = codexSessions(inputs);
  if (inputs.codex) {
    for (const CodexSession& session : inputs.codex->sessions) {
      snapshot.codexSessionIDs.push_back(session.id);
    }
    for (const auto& [id, pid] : inputs.codex->open) snapshot.codexOpenIDs.insert(id);
  }
  for (const SessionInfo& row : snapshot.codexSessions) snapshot.codexPIDs.insert(row.live.pid);

  // Whose process is whose: a resource below a session's process is that session's child.
  std::unordered_map<int32_t, std::string> sessionOfPID;
  std::unordered_set<int32_t> sessionPIDs;
  std::unordered_set<int32_t> known;
  for (const std::vector<SessionInfo>* rows : {&snapshot.sessions, &snapshot.codexSessions}) {
    for (const SessionInfo& row : *rows) {
      if (!row.process) continue;
      sessionOfPID.try_emplace(row.process->pid, row.id());
      sessionPIDs.insert(row.process->pid);
      known.insert(row.process->pid);
      for (const ProcessEntry& descendant : inputs.table.descendants(row.process->pid)) {
        known.insert(descendant.pid);
      }
    }
  }
  for (const int32_t pid : snapshot.codexPIDs) known.insert(pid);

  std::vector<Command> ownPrepared;
  if (!inputs.prepared) {
    const auto byStart = [](const ToolEvent& a, const ToolEvent& b) { return a.start < b.start; };
    // The recent commands usually come in order: then they are not copied to be sorted.
    const std::vector<ToolEvent>* commands = &inputs.commands;
    std::vector<ToolEvent> merged;
    if ((inputs.codex && !inputs.codex->commands.empty()) ||
        !std::is_sorted(inputs.commands.begin(), inputs.commands.end(), byStart)) {
      merged = inputs.commands;
      if (inputs.codex) {
        merged.insert(merged.end(), inputs.codex->commands.begin(), inputs.codex->commands.end());
      }
      std::stable_sort(merged.begin(), merged.end(), byStart);
      commands = &merged;
    }
    ownPrepared = commandCache().prepare(*commands);
  }
  const std::vector<Command>& prepared = inputs.prepared ? *inputs.prepared : ownPrepared;

  std::vector<Resource> resources;
  if (inputs.environments) resources = inputs.environments->resources;
  for (const Resource& resource : resources) {
    if (resource.pid) known.insert(*resource.pid);
  }
  for (Resource& process : detachedProcesses(inputs, known))
    resources.push_back(std::move(process));

  // Sessions that are there to come back to: a resource tied to none of them is left over.
  std::unordered_set<std::string> present;
  for (const SessionInfo& row : snapshot.sessions) present.insert(row.id());
  present.insert(snapshot.codexOpenIDs.begin(), snapshot.codexOpenIDs.end());
  for (Resource& resource : resources) {
    TrackedResource tracked{.resource = std::move(resource)};
    if (tracked.resource.pid) {
      if (const auto owner = inputs.table.ancestor(*tracked.resource.pid, sessionPIDs)) {
        tracked.link = Attribution{
            .sessionId = sessionOfPID.at(*owner), .how = Attribution::How::child, .started = true};
      }
    }
    if (!tracked.link) tracked.link = attribute(tracked.resource, prepared);
    tracked.isLeftover = tracked.link && tracked.link->how != Attribution::How::child &&
                         !present.contains(tracked.link->sessionId) && isRunning(tracked.resource);
    snapshot.resources.push_back(std::move(tracked));
  }

  // One process behind two rows: a resumed session, or Codex and Claude in one terminal.
  std::unordered_map<int32_t, int> rowsOfPID;
  for (const std::vector<SessionInfo>* rows : {&snapshot.sessions, &snapshot.codexSessions}) {
    for (const SessionInfo& row : *rows) {
      if (row.process) ++rowsOfPID[row.process->pid];
    }
  }
  for (std::vector<SessionInfo>* rows : {&snapshot.sessions, &snapshot.codexSessions}) {
    for (SessionInfo& row : *rows)
      row.sharesProcess = row.process && rowsOfPID[row.process->pid] > 1;
  }

  const auto forDisplay = [](const SessionInfo& a, const SessionInfo& b) {
    const int rankA = stateRank(a.state);
    const int rankB = stateRank(b.state);
    if (rankA != rankB) return rankA < rankB;
    return a.memory() > b.memory();
  };
  std::stable_sort(snapshot.sessions.begin(), snapshot.sessions.end(), forDisplay);
  std::stable_sort(snapshot.codexSessions.begin(), snapshot.codexSessions.end(), forDisplay);

  if (const auto self = processOf(inputs.table, static_cast<int32_t>(getpid()))) {
    snapshot.appCPU = self->cpu;
    snapshot.appMemory = self->memory;
  }
  snapshot.machineMemory = platform::physicalMemory();
  if (inputs.hook) snapshot.hookLastSeen = inputs.hook->lastRecord;
  return snapshot;
}

bool shouldAutoSelect(const std::optional<std::string>& selected, const std::set<std::string>& live,
                      const std::set<std::string>& recent) {
  if (!selected) return true;
  if (live.contains(*selected)) return false;
  return !recent.contains(*selected);
}

}  // namespace Activity
}  // namespace tessel
