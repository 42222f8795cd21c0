// The one long-lived object of the core: it owns every reader, cache and sampler, and
// each `activity` call reads what changed since the last one and returns the whole
// picture as a snapshot. The slow refreshes (Codex index, session history) run on two
// serial queues of their own, so a snapshot never waits for them. Safe from any thread:
// `lock_` guards the mutable members, `timelineLock_` the timelines, and neither is held
// while a command runs or a file is read.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "activity/snapshot.h"
#include "claude/command_index.h"
#include "claude/desktop_session_store.h"
#include "claude/live_session.h"
#include "claude/session_history.h"
#include "claude/transcript.h"
#include "codex/codex_index.h"
#include "environments/context.h"
#include "environments/volumes.h"
#include "hook/hook_log_reader.h"
#include "metrics/metrics_sampler.h"
#include "metrics/system_sampler.h"
#include "monitor/plugin_writers.h"
#include "paths/claude_paths.h"
#include "usage/index_store.h"
#include "usage/usage_scanner.h"
#include "util/serial_queue.h"

namespace tessel {

class Monitor {
 public:
  static constexpr double readingEvery = 10;  // seconds between stored readings
  static constexpr double keepReadingsDays = 7;
  // Seconds between two history refreshes; the history changes when a session ends.
  static constexpr double historyEvery = 30;
  static constexpr double codexEvery = 5;
  static constexpr uint64_t refreshBudget = 300000000;  // bytes read per refresh
  static constexpr uint64_t tailBytes = 400000;
  static constexpr uint64_t timelineBytes = 3000000;
  // Seconds between two looks for the container events files of the known folders.
  static constexpr double eventsFilesEvery = 60;

  // Where the Monitor looks besides Claude Code's paths; tests point these at
  // temporary folders and fake tools.
  struct Options {
    CodexPaths codexPaths = CodexPaths::standard();
    std::vector<std::string> searchPaths = Shell::standardSearchPaths();
  };

  // With `keep`, the index store at `paths.supportDir` + "/index.sqlite" is opened (or
  // created) and every index resumes from it; without, nothing is written anywhere.
  Monitor(ClaudePaths paths, bool keep, Date now);
  Monitor(ClaudePaths paths, bool keep, Date now, Options options);
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;
  ~Monitor();

  ActivitySnapshot activity(Date now);

  bool codexEnabled() const;
  void setCodexEnabled(bool isEnabled);
  // The merged session records of the last snapshot.
  std::vector<SessionRecord> records() const;

  const ClaudePaths& paths() const { return paths_; }
  const CodexPaths& codexPaths() const { return codexPaths_; }
  const SessionHistory& history() const { return history_; }
  const CodexIndex& codex() const { return codex_; }
  const UsageScanner& usage() const { return usage_; }
  const std::shared_ptr<IndexStore>& store() const { return store_; }
  const PluginWriters& pluginWriters() const { return pluginWriters_; }

  // A fresh environment scan, with container statistics when the last scan that
  // collected them is `statsEvery` seconds old or more.
  EnvironmentScan scanEnvironments(double statsEvery, Date now);
  // Run on the caller's thread, which the caller chooses. `budget` bounds the bytes one
  // usage refresh reads; true when it ran out with transcripts left to read.
  bool refreshUsage(Date now, uint64_t budget = refreshBudget);
  void refreshCommands(Date now);

  // Every tool call of one session, oldest first: its transcript's and those only the
  // hook log has seen.
  std::vector<ToolEvent> timeline(const std::string& sessionId, Date now);

  Volumes::Scan volumes(Date now);
  Volumes::Outcome deleteVolumes(const std::vector<ContainerVolume>& volumes);

  // The stored readings from `since` on, then those not yet stored, oldest first.
  std::vector<SystemSample> systemReadings(Date since) const;
  std::vector<MetricsSample> claudeReadings(Date since) const;

  // Whether a process's command line is Codex's: the program "codex" or "codex-*", or
  // node running a "codex…" script.
  static bool isCodexProcess(std::string_view command);

  // Blocks until the background refreshes started so far have finished.
  void waitForRefreshes();

 private:
  struct Tail {
    uint64_t size = 0;
    // Where the bytes not yet read begin, just after the last whole line read; 0 when
    // unknown, and the next change then reads the whole tail again.
    uint64_t read = 0;
    std::optional<ToolEvent> last{};
    std::optional<std::string> model{};
  };
  static Tail readTail(const std::string& path, const std::string& sessionId, uint64_t size,
                       const std::optional<Tail>& known);
  struct Timeline {
    uint64_t size = 0;
    std::vector<ToolEvent> events{};
  };

  ProcessTable processTable() const;
  void refreshCodex(Date now);
  void refreshHistory(Date now);
  HookLogReader::Read readHooks(const std::vector<LiveSession>& live,
                                const std::vector<SessionRecord>& records,
                                const std::optional<EnvironmentScan>& scan, Date now);
  std::vector<std::string> eventsFiles(const std::vector<LiveSession>& live,
                                       const std::vector<SessionRecord>& records,
                                       const std::optional<EnvironmentScan>& scan, Date now);
  void readTails(const std::vector<LiveSession>& live, Date now, Activity::Inputs& inputs);
  // What a snapshot borrowed the index's prepared calls under.
  struct Lent {
    uint64_t changes = 0;
    std::shared_ptr<const std::unordered_set<std::string>> ids{};
    size_t from = 0;  // where the calls added to the index's may be
  };

  // The index's calls, the hook's newer ones and `codex`, prepared and sorted by start.
  std::vector<Activity::Command> recentCommands(const HookLogReader::Read& hook,
                                                std::vector<ToolEvent> codex, Lent& lent);
  void giveBack(std::vector<Activity::Command> commands, const Lent& lent);
  CodexActivity readCodex(const ProcessTable& table) const;
  void sample(ActivitySnapshot& snapshot, const ProcessTable& table, Date now);
  void keep(const std::optional<SystemSample>& system, const std::optional<MetricsSample>& claude,
            Date now);

  const ClaudePaths paths_;
  // Opened before the indexes below, which resume from it.
  const std::shared_ptr<IndexStore> store_;
  DesktopSessionStore desktopStore_;
  SessionHistory history_;
  CodexIndex codex_;
  const CodexPaths codexPaths_;
  SerialQueue codexQueue_{"codex"};
  PluginWriters pluginWriters_;
  SerialQueue historyQueue_{"history"};
  TranscriptLocator locator_;
  CommandIndex commands_;
  HookLogReader hookReader_;
  LiveSessionReader liveReader_;
  HookLogReader containerReader_;
  UsageScanner usage_;
  MetricsSampler sampler_;
  SystemSampler systemSampler_;
  Environments::Context context_;
  // The parsings of the index's calls, kept across its changes, and of the calls added
  // to them in each snapshot.
  Activity::CommandCache indexParsings_;
  Activity::CommandCache addedParsings_;

  mutable std::mutex lock_;
  // Guarded by lock_.
  bool codexOn_ = false;
  bool codexReading_ = false;
  bool historyReading_ = false;
  std::vector<SystemSample> pendingSystem_;
  std::vector<MetricsSample> pendingClaude_;
  std::optional<EnvironmentScan> environments_;
  Date lastStats_ = Date::distantPast();
  std::optional<HookLogReader::Read> hook_;
  std::unordered_map<std::string, Tail> tails_;
  std::vector<SessionRecord> recordList_;
  // What `recordList_` was merged from: the history at these changes, these desktop records.
  std::optional<uint64_t> recordsHistory_;
  std::vector<SessionRecord> recordsDesktop_;
  std::vector<std::string> eventsFiles_;
  Date eventsFilesAt_ = Date::distantPast();
  std::unordered_map<std::string, Date> volumesSeen_;  // without a store: volume id -> last use
  // The index's calls prepared and sorted by start, while the index is at
  // `indexChanges_`; none while a snapshot has them.
  std::optional<uint64_t> indexChanges_;
  std::vector<Activity::Command> indexCommands_;
  std::shared_ptr<const std::unordered_set<std::string>> indexIDs_;

  mutable std::mutex timelineLock_;
  // Guarded by timelineLock_.
  std::unordered_map<std::string, Timeline> timelines_;
};

}  // namespace tessel
