#include "monitor/monitor.h"

#include <algorithm>
#include <iterator>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "activity/hook_sessions.h"
#include "environments/environments.h"
#include "hook/container_hook.h"
#include "hook/hook_log.h"
#include "platform/memory.h"
#include "util/files.h"
#include "util/json_object.h"
#include "util/path.h"
#include "util/text.h"

namespace tessel {

namespace {

std::shared_ptr<IndexStore> openStore(const ClaudePaths& paths, bool keep) {
  if (!keep) return nullptr;
  return IndexStore::open(paths.supportDir + "/index.sqlite");
}

// The container events files are trimmed to this many days once they pass this size.
constexpr double eventsKeepDays = 3;
constexpr uint64_t eventsOverBytes = 2000000;

// Both readers' per-session maps in one: the host's entries win where both know a session,
// since the host log is the one Claude Code itself writes through our hook.
HookLogReader::Read merged(HookLogReader::Read host, const HookLogReader::Read& container) {
  host.events = host.events.joined(container.events);
  for (const auto& [id, pid] : container.sessionPIDs) host.sessionPIDs.try_emplace(id, pid);
  for (const auto& [id, date] : container.ended) {
    auto [found, isNew] = host.ended.try_emplace(id, date);
    if (!isNew) found->second = std::max(found->second, date);
  }
  for (const auto& [id, trace] : container.traces) host.traces.try_emplace(id, trace);
  return host;
}

std::vector<ToolEvent> latestOfEachSession(const std::vector<ToolEvent>& events) {
  std::unordered_map<std::string, const ToolEvent*> latest;
  for (const ToolEvent& event : events) {
    const ToolEvent*& kept = latest[event.sessionId];
    if (kept == nullptr || event.start > kept->start) kept = &event;
  }
  std::vector<ToolEvent> kept;
  kept.reserve(latest.size());
  for (const auto& [id, event] : latest) kept.push_back(*event);
  return kept;
}

template <class Sample>
std::vector<Sample> readingsSince(const std::shared_ptr<IndexStore>& store, const char* kind,
                                  Date since, std::vector<Sample> pending,
                                  std::optional<Sample> (*decode)(const nlohmann::json&)) {
  std::vector<Sample> samples;
  if (store) {
    for (const std::string& data : store->readings(kind, since)) {
      if (auto sample = decode(Json::parse(data))) samples.push_back(std::move(*sample));
    }
  }
  for (Sample& sample : pending) {
    if (sample.t >= since) samples.push_back(std::move(sample));
  }
  std::stable_sort(samples.begin(), samples.end(),
                   [](const Sample& a, const Sample& b) { return a.t < b.t; });
  return samples;
}

}  // namespace

Monitor::Monitor(ClaudePaths paths, bool keep, Date now)
    : Monitor(std::move(paths), keep, now, Options{}) {}

Monitor::Monitor(ClaudePaths paths, bool keep, Date now, Options options)
    : paths_(std::move(paths)),
      store_(openStore(paths_, keep)),
      history_(store_),
      codexPaths_(std::move(options.codexPaths)),
      commands_(store_, now),
      context_(std::move(options.searchPaths)) {
  // The Monitor lives as long as its process, and its readers' pieces of transcripts and
  // rollouts are the biggest buffers that process frees.
  platform::mapBigBuffersApart();
  usage_.store(now, store_);
  codex_.store(now, store_);
}

Monitor::~Monitor() {
  // The queued refreshes use the members below the queues; they finish first.
  waitForRefreshes();
}

bool Monitor::isCodexProcess(std::string_view command) {
  const auto words = [&] {
    std::vector<std::string_view> found;
    size_t at = 0;
    while (found.size() < 2) {
      at = command.find_first_not_of(' ', at);
      if (at == std::string_view::npos) break;
      const size_t end = std::min(command.find(' ', at), command.size());
      found.push_back(command.substr(at, end - at));
      at = end;
    }
    return found;
  }();
  if (words.empty()) return false;
  const std::string_view program = Path::lastComponent(words[0]);
  if (program == "codex" || program.starts_with("codex-")) return true;
  // The npm package runs as `node …/bin/codex.js`.
  return program == "node" && words.size() > 1 &&
         Path::lastComponent(words[1]).starts_with("codex");
}

ProcessTable Monitor::processTable() const { return ProcessTable::take(context_.tools()); }

ActivitySnapshot Monitor::activity(Date now) {
  Activity::Inputs inputs;
  inputs.now = now;
  inputs.table = processTable();
  inputs.live = liveReader_.load(paths_);
  refreshHistory(now);
  refreshCodex(now);
  pluginWriters_.check(paths_);
  pluginWriters_.prune(inputs.live, PluginWriters::dir(paths_), now);
  // Fourteen days of sessions are merged again only when the history or the desktop
  // app's sessions changed, which is seldom between two polls. The changes are read
  // before the summaries, so a refresh in between only makes the next poll merge again.
  const uint64_t historyChanges = history_.changes();
  std::vector<SessionRecord> desktop = desktopStore_.load(paths_);
  bool isMerged = false;
  {
    std::lock_guard guard(lock_);
    isMerged = recordsHistory_ == historyChanges && recordsDesktop_ == desktop;
  }
  std::optional<std::vector<SessionRecord>> records;
  if (!isMerged) records = SessionRecord::merge(history_.all(), desktop);
  bool isCodexOn = false;
  {
    std::lock_guard guard(lock_);
    if (records) {
      recordList_ = std::move(*records);
      recordsHistory_ = historyChanges;
      recordsDesktop_ = std::move(desktop);
    }
    inputs.records = recordList_;
    inputs.environments = environments_;
    isCodexOn = codexOn_;
  }
  inputs.hook = readHooks(inputs.live, inputs.records, inputs.environments, now);
  // Claude Code versions that write no session file are known from the hook log alone.
  for (LiveSession& session : Activity::hookSessions(*inputs.hook, inputs.live)) {
    inputs.live.push_back(std::move(session));
  }
  readTails(inputs.live, now, inputs);
  std::vector<ToolEvent> codexCommands;
  if (isCodexOn) {
    inputs.codex = readCodex(inputs.table);
    codexCommands = std::move(inputs.codex->commands);
    // Its rows show each session's latest call; every call goes in with the others.
    inputs.codex->commands = latestOfEachSession(codexCommands);
  }
  Lent lent;
  inputs.prepared = recentCommands(*inputs.hook, std::move(codexCommands), lent);
  ActivitySnapshot snapshot = Activity::build(inputs);
  giveBack(std::move(*inputs.prepared), lent);
  sample(snapshot, inputs.table, now);
  keep(snapshot.system, snapshot.metrics, now);
  return snapshot;
}

HookLogReader::Read Monitor::readHooks(const std::vector<LiveSession>& live,
                                       const std::vector<SessionRecord>& records,
                                       const std::optional<EnvironmentScan>& scan, Date now) {
  HookLogReader::Read read = hookReader_.refresh(paths_, now);
  const std::vector<std::string> files = eventsFiles(live, records, scan, now);
  if (!files.empty()) {
    for (const std::string& file : files) {
      HookLog::trimContainerLog(file, eventsKeepDays, eventsOverBytes, now);
    }
    read = merged(std::move(read), containerReader_.refresh(files, now));
  }
  std::lock_guard guard(lock_);
  hook_ = read;
  return read;
}

std::vector<std::string> Monitor::eventsFiles(const std::vector<LiveSession>& live,
                                              const std::vector<SessionRecord>& records,
                                              const std::optional<EnvironmentScan>& scan,
                                              Date now) {
  {
    std::lock_guard guard(lock_);
    if (now >= eventsFilesAt_ && now - eventsFilesAt_ < eventsFilesEvery) return eventsFiles_;
  }
  // Every folder a session worked in may hold a dev container whose hook writes there.
  std::set<std::string> folders;
  if (scan) {
    for (const Resource& resource : scan->resources) {
      if (resource.devContainer && resource.devContainer->folder) {
        folders.insert(*resource.devContainer->folder);
      }
    }
  }
  for (const LiveSession& session : live) {
    if (!session.cwd.empty()) folders.insert(session.cwd);
  }
  for (const SessionRecord& record : records) {
    if (!record.cwd.empty()) folders.insert(record.cwd);
  }
  std::vector<std::string> files;
  for (const std::string& folder : folders) {
    std::string file = ContainerHook::log(folder);
    if (Files::attributes(file)) files.push_back(std::move(file));
  }
  std::lock_guard guard(lock_);
  eventsFiles_ = files;
  eventsFilesAt_ = now;
  return files;
}

void Monitor::readTails(const std::vector<LiveSession>& live, Date now, Activity::Inputs& inputs) {
  std::unordered_set<std::string> current;
  for (const LiveSession& session : live) {
    auto path = locator_.path(session.sessionId, paths_, now);
    if (!path) continue;
    current.insert(*path);
    const auto attributes = Files::attributes(*path);
    if (!attributes) continue;
    std::optional<Tail> tail;
    {
      std::lock_guard guard(lock_);
      if (const auto it = tails_.find(*path); it != tails_.end()) tail = it->second;
    }
    if (!tail || tail->size != attributes->size) {
      tail = readTail(*path, session.sessionId, attributes->size, tail);
      std::lock_guard guard(lock_);
      tails_.insert_or_assign(*path, *tail);
    }
    if (tail->last) inputs.lastEvents.insert_or_assign(session.sessionId, std::move(*tail->last));
    if (tail->model) inputs.models.insert_or_assign(session.sessionId, std::move(*tail->model));
  }
  // The tails of sessions that ended are not kept.
  std::lock_guard guard(lock_);
  std::erase_if(tails_, [&](const auto& entry) { return !current.contains(entry.first); });
}

// A live transcript grows by a few lines between two polls: reading its whole tail again
// each time cost more than the rest of a snapshot. The lines written since the last read
// give the newest call, or the result of the one already known.
Monitor::Tail Monitor::readTail(const std::string& path, const std::string& sessionId,
                                uint64_t size, const std::optional<Tail>& known) {
  if (known && known->read > 0 && size > known->size && size - known->read <= tailBytes) {
    Tail tail = *known;
    tail.size = size;
    const auto file = Files::OpenFile::open(path);
    if (!file) return tail;
    const std::string bytes = file->read(known->read, size);
    std::string repaired;
    const auto lines = Text::wholeLines(bytes, repaired);
    if (!lines) return tail;
    tail.read = known->read + lines->length;
    const std::string_view text = lines->text;
    const std::string lastId = tail.last ? tail.last->id : std::string();
    std::vector<Transcript::Result> results;
    std::vector<ToolEvent> events = Transcript::events(
        text, sessionId, false, [&](std::string_view id) { return id == lastId; }, results);
    if (!events.empty()) {
      tail.last = std::move(events.back());
    } else if (tail.last && !results.empty()) {
      tail.last->end = results.back().end;
      tail.last->isError = results.back().isError;
    }
    if (auto model = Transcript::lastModel(text)) tail.model = std::move(model);
    return tail;
  }
  Tail tail{size};
  if (const auto text = Transcript::tail(path, tailBytes, &tail.read)) {
    std::vector<ToolEvent> events = Transcript::events(*text, sessionId, false);
    if (!events.empty()) tail.last = std::move(events.back());
    tail.model = Transcript::lastModel(*text);
  }
  return tail;
}

namespace {

bool startsEarlier(const ToolEvent& a, const ToolEvent& b) { return a.start < b.start; }

bool commandStartsEarlier(const Activity::Command& a, const Activity::Command& b) {
  return a.event->start < b.event->start;
}

}  // namespace

// The index holds thousands of calls and changes only when it is refreshed, so its sorted,
// prepared list is kept between snapshots and lent to each: a snapshot adds the hook's
// newer calls and Codex's and takes them out again, instead of copying, sorting and
// looking up every call every time.
std::vector<Activity::Command> Monitor::recentCommands(const HookLogReader::Read& hook,
                                                       std::vector<ToolEvent> codex, Lent& lent) {
  lent.changes = commands_.changes();
  std::vector<Activity::Command> commands;
  bool isKept = false;
  {
    std::lock_guard guard(lock_);
    if (indexChanges_ == lent.changes) {
      commands = std::move(indexCommands_);
      indexCommands_.clear();
      indexChanges_.reset();
      lent.ids = indexIDs_;
      isKept = true;
    }
  }
  if (!isKept) {
    std::vector<ToolEvent> all = commands_.all();
    std::stable_sort(all.begin(), all.end(), startsEarlier);
    auto ids = std::make_shared<std::unordered_set<std::string>>();
    ids->reserve(all.size());
    for (const ToolEvent& command : all) ids->insert(command.id);
    lent.ids = std::move(ids);
    commands = indexParsings_.prepare(all);
  }
  // The hook log has the calls of the last seconds, which the index reads only on its
  // next refresh; where both have a call, the index's copy holds its result.
  std::vector<ToolEvent> added = std::move(codex);
  for (const auto& event : hook.events) {
    if (event->isCommand() && !lent.ids->contains(event->id)) added.push_back(*event);
  }
  std::stable_sort(added.begin(), added.end(), startsEarlier);
  std::vector<Activity::Command> prepared = addedParsings_.prepare(added);
  // Added calls are mostly the newest: only the index's calls after the first of them
  // are merged with them.
  const auto first = prepared.empty() ? commands.end()
                                      : std::upper_bound(commands.begin(), commands.end(),
                                                         prepared.front(), commandStartsEarlier);
  lent.from = static_cast<size_t>(first - commands.begin());
  const auto middle = static_cast<std::ptrdiff_t>(commands.size());
  commands.insert(commands.end(), std::make_move_iterator(prepared.begin()),
                  std::make_move_iterator(prepared.end()));
  std::inplace_merge(commands.begin() + static_cast<std::ptrdiff_t>(lent.from),
                     commands.begin() + middle, commands.end(), commandStartsEarlier);
  return commands;
}

void Monitor::giveBack(std::vector<Activity::Command> commands, const Lent& lent) {
  // Only the calls a snapshot added are missing from the index's ids.
  commands.erase(
      std::remove_if(
          commands.begin() + static_cast<std::ptrdiff_t>(lent.from), commands.end(),
          [&](const Activity::Command& command) { return !lent.ids->contains(command.event->id); }),
      commands.end());
  std::lock_guard guard(lock_);
  indexCommands_ = std::move(commands);
  indexChanges_ = lent.changes;
  indexIDs_ = lent.ids;
}

CodexActivity Monitor::readCodex(const ProcessTable& table) const {
  CodexActivity codex;
  codex.sessions = codex_.allSessions();
  codex.titles = codex_.titles();
  codex.commands = codex_.allCommands();
  // Listing every process's descriptors would cost more than the rest of the snapshot,
  // and only Codex's own processes hold its lock files.
  std::vector<int32_t> pids;
  for (const auto& [pid, entry] : table.byPID) {
    if (isCodexProcess(entry.command)) pids.push_back(pid);
  }
  std::sort(pids.begin(), pids.end());
  codex.open = CodexIndex::openSessions(pids, codexPaths_);
  return codex;
}

void Monitor::sample(ActivitySnapshot& snapshot, const ProcessTable& table, Date now) {
  std::set<int32_t> pids;
  for (const auto* rows : {&snapshot.sessions, &snapshot.codexSessions}) {
    for (const SessionInfo& session : *rows) {
      if (session.process) pids.insert(session.process->pid);
      for (const ProcessEntry& child : session.children) pids.insert(child.pid);
    }
  }
  snapshot.metrics = sampler_.sample(pids, snapshot.totalMemory(), snapshot.totalCPU(), now);
  snapshot.system = systemSampler_.sample(snapshot.metrics->gpuSystem, now);
  snapshot.perCore = systemSampler_.perCore();
  SystemSampler::Top top = SystemSampler::top(table, 8);
  snapshot.topCPU = std::move(top.cpu);
  snapshot.topMemory = std::move(top.memory);
}

void Monitor::keep(const std::optional<SystemSample>& system,
                   const std::optional<MetricsSample>& claude, Date now) {
  if (!store_) return;
  std::vector<SystemSample> systemBatch;
  std::vector<MetricsSample> claudeBatch;
  {
    std::lock_guard guard(lock_);
    if (system) pendingSystem_.push_back(*system);
    if (claude) pendingClaude_.push_back(*claude);
    std::optional<Date> began;
    if (!pendingSystem_.empty()) began = pendingSystem_.front().t;
    if (!pendingClaude_.empty()) {
      began = std::min(began.value_or(Date::distantFuture()), pendingClaude_.front().t);
    }
    if (!began || now - *began < readingEvery) return;
    systemBatch.swap(pendingSystem_);
    claudeBatch.swap(pendingClaude_);
  }
  const Date keepFrom = now - keepReadingsDays * 86400;
  if (const auto average = SystemSample::average(systemBatch)) {
    store_->addReading("system", average->t, toJson(*average).dump(), keepFrom);
  }
  if (const auto average = MetricsSample::average(claudeBatch)) {
    store_->addReading("claude", average->t, toJson(*average).dump(), keepFrom);
  }
}

void Monitor::refreshCodex(Date now) {
  {
    std::lock_guard guard(lock_);
    if (!codexOn_ || codexReading_) return;
    codexReading_ = true;
  }
  codexQueue_.async([this, now] {
    codex_.refresh(codexPaths_, now, codexEvery, refreshBudget);
    std::lock_guard guard(lock_);
    codexReading_ = false;
  });
}

void Monitor::refreshHistory(Date now) {
  {
    std::lock_guard guard(lock_);
    if (historyReading_) return;
    historyReading_ = true;
  }
  historyQueue_.async([this, now] {
    history_.refresh(paths_, now, historyEvery);
    // Its chunks of large transcripts are the biggest buffers a steady Monitor frees.
    platform::releaseFreeMemory();
    std::lock_guard guard(lock_);
    historyReading_ = false;
  });
}

void Monitor::waitForRefreshes() {
  codexQueue_.drain();
  historyQueue_.drain();
}

bool Monitor::codexEnabled() const {
  std::lock_guard guard(lock_);
  return codexOn_;
}

void Monitor::setCodexEnabled(bool isEnabled) {
  std::lock_guard guard(lock_);
  codexOn_ = isEnabled;
}

std::vector<SessionRecord> Monitor::records() const {
  std::lock_guard guard(lock_);
  return recordList_;
}

EnvironmentScan Monitor::scanEnvironments(double statsEvery, Date now) {
  bool withStats = false;
  std::optional<EnvironmentScan> previous;
  {
    std::lock_guard guard(lock_);
    withStats = now - lastStats_ >= statsEvery;
    if (withStats) lastStats_ = now;
    previous = environments_;
  }
  const ProcessTable table = processTable();
  EnvironmentScan scan =
      Environments::scan(context_, table, withStats, previous ? &*previous : nullptr, now);
  std::lock_guard guard(lock_);
  environments_ = scan;
  return scan;
}

// The big reads of these refreshes leave freed buffers between the indexes' small, lasting
// allocations; the allocator would keep those pages for the life of the process.
bool Monitor::refreshUsage(Date now, uint64_t budget) {
  const bool isCut = usage_.refresh(paths_, now, budget);
  platform::releaseFreeMemory();
  return isCut;
}

void Monitor::refreshCommands(Date now) {
  commands_.refresh(paths_, now);
  platform::releaseFreeMemory();
}

std::vector<ToolEvent> Monitor::timeline(const std::string& sessionId, Date now) {
  std::vector<ToolEvent> calls;
  if (const auto path = locator_.path(sessionId, paths_, now)) {
    const uint64_t size = Files::attributes(*path).value_or(Files::Attributes{}).size;
    bool isKnown = false;
    {
      std::lock_guard guard(timelineLock_);
      if (const auto it = timelines_.find(*path);
          it != timelines_.end() && it->second.size == size) {
        calls = it->second.events;
        isKnown = true;
      }
    }
    if (!isKnown) {
      if (const auto text = Transcript::tail(*path, timelineBytes)) {
        calls = Transcript::events(*text, sessionId, false);
      }
      std::lock_guard guard(timelineLock_);
      timelines_.insert_or_assign(*path, Timeline{size, calls});
    }
  }
  std::unordered_set<std::string> ids;
  for (const ToolEvent& call : calls) ids.insert(call.id);
  {
    std::lock_guard guard(lock_);
    if (hook_) {
      for (const auto& event : hook_->events) {
        if (event->sessionId == sessionId && !ids.contains(event->id)) calls.push_back(*event);
      }
    }
  }
  std::stable_sort(calls.begin(), calls.end(),
                   [](const ToolEvent& a, const ToolEvent& b) { return a.start < b.start; });
  return calls;
}

Volumes::Scan Monitor::volumes(Date now) {
  Volumes::Scan scan = Volumes::docker(context_.tools());
  std::unordered_set<std::string> inUse;
  std::unordered_set<std::string> present;
  for (const ContainerVolume& volume : scan.volumes) {
    present.insert(volume.id());
    if (volume.use() == ContainerVolume::Use::running) inUse.insert(volume.id());
  }
  std::unordered_map<std::string, Date> seen;
  if (store_) {
    store_->saveVolumesSeen(inUse, now, present);
    seen = store_->volumesSeen();
  } else {
    std::lock_guard guard(lock_);
    std::erase_if(volumesSeen_, [&](const auto& entry) { return !present.contains(entry.first); });
    for (const std::string& id : inUse) volumesSeen_[id] = now;
    seen = volumesSeen_;
  }
  for (ContainerVolume& volume : scan.volumes) {
    if (const auto it = seen.find(volume.id()); it != seen.end()) volume.lastSeenInUse = it->second;
  }
  return scan;
}

Volumes::Outcome Monitor::deleteVolumes(const std::vector<ContainerVolume>& volumes) {
  return Volumes::remove(context_.tools(), volumes);
}

std::vector<SystemSample> Monitor::systemReadings(Date since) const {
  std::vector<SystemSample> pending;
  {
    std::lock_guard guard(lock_);
    pending = pendingSystem_;
  }
  return readingsSince(store_, "system", since, std::move(pending), &systemSampleFromJson);
}

std::vector<MetricsSample> Monitor::claudeReadings(Date since) const {
  std::vector<MetricsSample> pending;
  {
    std::lock_guard guard(lock_);
    pending = pendingClaude_;
  }
  return readingsSince(store_, "claude", since, std::move(pending), &metricsSampleFromJson);
}

}  // namespace tessel
