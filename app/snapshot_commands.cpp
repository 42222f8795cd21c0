#include <csignal>
#include <cstdio>
#include <iostream>
#include <thread>

#include "activity/json_form.h"
#include "report_commands.h"
#include "text_table.h"
#include "usage/usage_summary.h"
#include "view/background.h"

namespace tessel::cli {
namespace {

using TextTable::Cell;
using TextTable::Tint;

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int) { stopRequested = 1; }

Cell stateCell(SessionInfo::State state) {
  switch (state) {
    case SessionInfo::State::working:
      return {"● working", Tint::green};
    case SessionInfo::State::waiting:
      return {"◐ waiting", Tint::yellow};
    case SessionInfo::State::background:
      return {"◌ background", Tint::blue};
    case SessionInfo::State::idle:
      break;
  }
  return {"○ idle", Tint::dim};
}

// What the session is doing: the call in progress, else how long it has been quiet.
std::string doing(const SessionInfo& session) {
  if (session.lastEvent && !session.lastEvent->end) {
    const std::string tool = ToolEvent::prettyTool(session.lastEvent->tool);
    return session.lastEvent->summary.empty() ? tool : tool + ": " + session.lastEvent->summary;
  }
  return "quiet " + TextTable::span(session.quietFor);
}

std::string agent(const SessionInfo& session) {
  if (session.assistant == Assistant::codex) return "Codex";
  return session.devContainer ? "Claude Code (container)" : "Claude Code";
}

std::string headline(const ActivitySnapshot& snapshot, Date now) {
  const size_t total = snapshot.sessions.size() + snapshot.codexSessions.size();
  std::string line = TextTable::when(snapshot.date, now) + "  " + std::to_string(total) +
                     (total == 1 ? " session: " : " sessions: ");
  size_t working = 0, waiting = 0, idle = 0;
  for (const auto* rows : {&snapshot.sessions, &snapshot.codexSessions}) {
    for (const SessionInfo& session : *rows) {
      if (session.state == SessionInfo::State::working) ++working;
      if (session.state == SessionInfo::State::waiting) ++waiting;
      if (session.state == SessionInfo::State::idle) ++idle;
    }
  }
  line += std::to_string(working) + " working, " + std::to_string(waiting) + " waiting, " +
          std::to_string(idle) + " idle";
  if (snapshot.system) {
    char load[32];
    std::snprintf(load, sizeof load, "%.2f", snapshot.system->load);
    line += " · machine CPU " + std::to_string(std::lround(snapshot.system->cpu)) + "%, memory " +
            TextTable::bytes(snapshot.system->memUsed) + " of " +
            TextTable::bytes(snapshot.system->memTotal) + ", load " + load;
  }
  return line;
}

std::string summary(const ActivitySnapshot& snapshot, bool isColored) {
  const Date now = snapshot.date;
  std::string out = headline(snapshot, now) + "\n";

  TextTable::Table sessions{
      .headers = {"STATE", "TITLE", "PROJECT", "AGENT", "DOING", "MODEL", "CPU", "MEMORY"},
      .isRightAligned = {false, false, false, false, false, false, true, true}};
  for (const auto* rows : {&snapshot.sessions, &snapshot.codexSessions}) {
    for (const SessionInfo& session : *rows) {
      sessions.rows.push_back({stateCell(session.state),
                               {TextTable::clipped(session.title, 40)},
                               {session.project},
                               {agent(session)},
                               {doing(session)},
                               {session.model ? prettyModel(*session.model) : "-"},
                               {std::to_string(std::lround(session.cpu())) + "%"},
                               {TextTable::bytes(session.memory())}});
    }
  }
  out += sessions.rows.empty() ? "\nNo agent session is running.\n"
                               : "\n" + sessions.render(isColored);

  // Most processes and containers belong to no session; `tessel env` lists them all.
  std::vector<TrackedResource> tied;
  for (const TrackedResource& tracked : snapshot.resources) {
    if (tracked.link) tied.push_back(tracked);
  }
  const std::string resources = Report::resourceTable(snapshot, tied, isColored);
  if (!resources.empty()) out += "\n" + resources;
  if (const size_t others = snapshot.resources.size() - tied.size(); others > 0) {
    out += "\n" + std::to_string(others) + (others == 1 ? " resource is" : " resources are") +
           " tied to no session; tessel env lists them.\n";
  }
  return out;
}

// Writes one line and flushes it; false once nobody reads any more.
bool emit(const std::string& line) {
  if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size()) return false;
  return std::fflush(stdout) == 0;
}

int watch(const Globals& globals, bool isJson, double interval) {
  if (!(interval >= 0.1)) return fail("The interval must be at least 0.1 seconds.");
  // A closed pipe ends the loop like an interruption: its write fails instead of killing
  // the process. A handler rather than SIG_IGN, which the tools the Monitor runs would
  // inherit.
  struct sigaction action {};
  action.sa_handler = requestStop;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGPIPE}) sigaction(signal, &action, nullptr);

  auto monitor = Report::openMonitor(globals, Date::now());
  // Containers change slowly and asking the engines costs them CPU: they are scanned as
  // often as the live view scans them.
  Date scanned = Date::distantPast();
  bool isFirst = true;
  while (stopRequested == 0) {
    const Date now = Date::now();
    ActivitySnapshot snapshot;
    if (isFirst) {
      snapshot = Report::firstSnapshot(*monitor, true);
      scanned = now;
      isFirst = false;
    } else {
      if (now - scanned >= view::Background::scanEvery) {
        monitor->scanEnvironments(view::Background::statsEvery, now);
        scanned = now;
      }
      snapshot = monitor->activity(now);
    }
    const std::string line = isJson ? PublicJson::encode(snapshot).dump(
                                          -1, ' ', false, nlohmann::json::error_handler_t::replace)
                                    : headline(snapshot, snapshot.date);
    if (!emit(line + "\n")) break;
    const Date next = now + interval;
    while (stopRequested == 0 && Date::now() < next) {
      std::this_thread::sleep_for(
          std::chrono::duration<double>(std::min(0.1, std::max(0.0, next - Date::now()))));
    }
  }
  return success;
}

}  // namespace

void addSnapshotCommands(CLI::App& app, Run& run) {
  auto isJson = std::make_shared<bool>(false);
  CLI::App* snapshot =
      addCommand(app, run, "snapshot", "Print what every agent session is doing right now, once",
                 "  tessel snapshot\n"
                 "  tessel snapshot --json | jq '.sessions[] | {title, state}'\n",
                 [&run, isJson] {
                   auto monitor = Report::openMonitor(run.globals, Date::now());
                   const ActivitySnapshot snapshot = Report::firstSnapshot(*monitor, true);
                   if (*isJson) {
                     Report::print(PublicJson::encode(snapshot));
                   } else {
                     std::cout << summary(snapshot, run.globals.usesColor());
                   }
                   return success;
                 });
  snapshot->add_flag("--json", *isJson, "The snapshot in the JSON form of docs/json.md");

  auto isWatchJson = std::make_shared<bool>(false);
  auto interval = std::make_shared<double>(2);
  CLI::App* watchCommand = addCommand(
      app, run, "watch",
      "Print a snapshot every interval until stopped: one JSON document per line with --json",
      "  tessel watch --json | jq -c '[.date, (.sessions | length)]'\n"
      "  tessel watch --json --interval 10 >> activity.jsonl\n"
      "  tessel watch --json | head -1\n",
      [&run, isWatchJson, interval] { return watch(run.globals, *isWatchJson, *interval); });
  watchCommand->add_flag("--json", *isWatchJson,
                         "One snapshot per line in the JSON form of docs/json.md");
  watchCommand->add_option("--interval", *interval, "Seconds between snapshots (default 2)");
}

}  // namespace tessel::cli
