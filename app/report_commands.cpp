#include "report_commands.h"

#include <cmath>
#include <filesystem>
#include <iostream>
#include <limits>
#include <thread>

#include "text_table.h"
#include "util/calendar.h"

namespace tessel::cli {
namespace Report {

std::unique_ptr<Monitor> openMonitor(const Globals& globals, Date now) {
  auto monitor =
      std::make_unique<Monitor>(globals.claudePaths(), true, now, globals.monitorOptions());
  monitor->setCodexEnabled(globals.codexPaths().exists());
  return monitor;
}

ActivitySnapshot firstSnapshot(Monitor& monitor, bool withStats, EnvironmentScan* scan) {
  const Date start = Date::now();
  EnvironmentScan found =
      monitor.scanEnvironments(withStats ? 0 : std::numeric_limits<double>::infinity(), start);
  if (scan != nullptr) *scan = std::move(found);
  monitor.activity(start);
  // Read now rather than on the live view's later cadence, so that resources are tied
  // to the transcripts' commands as well as to the hook's.
  monitor.refreshCommands(start);
  monitor.waitForRefreshes();
  // A process's first reading only knows its CPU time since it began; the second one,
  // half a second on, knows what it uses now.
  const Date settled = start + 0.5;
  const double wait = settled - Date::now();
  if (wait > 0) std::this_thread::sleep_for(std::chrono::duration<double>(wait));
  return monitor.activity(Date::now());
}

namespace {

// The title of the session `id` in this snapshot, else the id's first part.
std::string sessionLabel(const ActivitySnapshot& snapshot, const std::string& id) {
  for (const auto* rows : {&snapshot.sessions, &snapshot.codexSessions}) {
    for (const SessionInfo& session : *rows) {
      if (session.id() == id) return session.title;
    }
  }
  return id.substr(0, 8);
}

}  // namespace

std::string resourceTable(const ActivitySnapshot& snapshot,
                          const std::vector<TrackedResource>& resources, bool isColored) {
  using TextTable::Cell;
  using TextTable::Tint;
  TextTable::Table table{
      .headers = {"KIND", "NAME", "PROVIDER", "STATE", "SESSION", "EVIDENCE", "CPU", "MEMORY"},
      .isRightAligned = {false, false, false, false, false, false, true, true}};
  for (const TrackedResource& tracked : resources) {
    const Resource& resource = tracked.resource;
    Cell session{"-"};
    Cell evidence{"-"};
    if (tracked.link) {
      session = {sessionLabel(snapshot, tracked.link->sessionId) +
                     (tracked.isLeftover ? " (ended: leftover)" : ""),
                 tracked.isLeftover ? Tint::red : Tint::none};
      evidence = {std::string(toString(tracked.link->how)) +
                  (tracked.link->started ? ", started it" : ", used it")};
    }
    table.rows.push_back({{kindName(resource.kind)},
                          {resource.name},
                          {resource.provider},
                          {resource.state},
                          session,
                          evidence,
                          {resource.cpu ? std::to_string(std::lround(*resource.cpu)) + "%" : "-"},
                          {resource.memory ? TextTable::bytes(*resource.memory) : "-"}});
  }
  return table.render(isColored);
}

uint64_t bytesToRead(const std::string& folder, double keepDays) {
  uint64_t total = 0;
  std::error_code error;
  const auto cutoff = std::filesystem::file_time_type::clock::now() -
                      std::chrono::seconds(static_cast<int64_t>(keepDays * 86400));
  for (std::filesystem::recursive_directory_iterator entry(folder, error), end;
       !error && entry != end; entry.increment(error)) {
    if (!entry->is_regular_file(error) || entry->path().extension() != ".jsonl") continue;
    if (entry->last_write_time(error) < cutoff) continue;
    total += entry->file_size(error);
  }
  return total;
}

void catchUp(CodexIndex& index, const Globals& globals, Date now) {
  index.store(now, std::shared_ptr<IndexStore>(IndexStore::standard(globals.claudePaths())));
  const CodexPaths paths = globals.codexPaths();
  // Each refresh reads up to its budget; the rounds are bounded by what there is to read.
  const uint64_t rounds =
      bytesToRead(paths.sessionsDir(), CodexIndex::keepDays) / Monitor::refreshBudget + 1;
  for (uint64_t round = 0; round < rounds; ++round) {
    index.refresh(paths, now, 0, Monitor::refreshBudget);
  }
}

std::string date(Date date) { return Calendar::formatInternetDateTime(date, true); }

void print(const nlohmann::ordered_json& document) {
  std::cout << document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
}

}  // namespace Report

void addReportCommands(CLI::App& app, Run& run) {
  addSnapshotCommands(app, run);
  addUsageCommands(app, run);
  addLimitsCommand(app, run);
  addSessionCommands(app, run);
  addEnvironmentCommands(app, run);
}

}  // namespace tessel::cli
