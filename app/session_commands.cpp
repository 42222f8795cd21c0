#include <algorithm>
#include <functional>
#include <iostream>
#include <set>
#include <variant>

#include "activity/json_form.h"
#include "claude/session_record.h"
#include "report_commands.h"
#include "text_table.h"
#include "usage/usage_summary.h"

namespace tessel::cli {
namespace {

using Object = nlohmann::ordered_json;
using TextTable::Cell;
using TextTable::Tint;

// Without --all, the list stops at this many sessions and leaves archived ones out.
constexpr size_t recentCount = 20;

struct Known {
  std::vector<SessionRecord> records{};
  std::set<std::string> live{};
  Date now{};
};

// The session records once the history has been read, newest first, and which of them
// run now.
Known knownSessions(Monitor& monitor) {
  monitor.activity(Date::now());
  monitor.waitForRefreshes();
  Known known;
  known.now = Date::now();
  const ActivitySnapshot snapshot = monitor.activity(known.now);
  known.records = monitor.records();
  for (const SessionInfo& session : snapshot.sessions) {
    known.live.insert(session.id());
    const bool isListed =
        std::any_of(known.records.begin(), known.records.end(),
                    [&](const SessionRecord& record) { return record.id == session.id(); });
    // A session that has written nothing yet is known only from its live file.
    if (!isListed) {
      known.records.push_back({.id = session.id(),
                               .title = session.title,
                               .cwd = session.live.cwd,
                               .model = session.model,
                               .lastActivity = session.live.updatedAt,
                               .entrypoint = session.live.entrypoint});
    }
  }
  std::sort(known.records.begin(), known.records.end(),
            [](const SessionRecord& a, const SessionRecord& b) {
              const Date left = a.lastActivity.value_or(Date::distantPast());
              const Date right = b.lastActivity.value_or(Date::distantPast());
              return left != right ? left > right : a.id < b.id;
            });
  return known;
}

Object encode(const SessionRecord& record, bool isLive) {
  Object object = {{"id", record.id}};
  if (record.desktopId) object["desktopId"] = *record.desktopId;
  object["title"] = record.title;
  object["cwd"] = record.cwd;
  if (record.model) object["model"] = *record.model;
  object["isArchived"] = record.isArchived;
  object["remoteControl"] = record.remoteControl;
  if (record.lastActivity) object["lastActivity"] = Report::date(*record.lastActivity);
  if (record.entrypoint) object["entrypoint"] = *record.entrypoint;
  object["project"] = Folder::name(record.cwd);
  object["isLive"] = isLive;
  return object;
}

int sessions(const Globals& globals, bool isJson, bool isAll) {
  auto monitor = Report::openMonitor(globals, Date::now());
  const Known known = knownSessions(*monitor);
  std::vector<SessionRecord> shown;
  for (const SessionRecord& record : known.records) {
    if (!isAll && (record.isArchived || shown.size() == recentCount)) continue;
    shown.push_back(record);
  }
  if (isJson) {
    Object list = Object::array();
    for (const SessionRecord& record : shown) {
      list.push_back(encode(record, known.live.contains(record.id)));
    }
    Report::print(list);
    return success;
  }
  if (shown.empty()) {
    std::cout << "No Claude Code session was active in the last 14 days.\n";
    return success;
  }
  TextTable::Table table{.headers = {"ID", "TITLE", "PROJECT", "MODEL", "LAST ACTIVE", ""}};
  for (const SessionRecord& record : shown) {
    const bool isLive = known.live.contains(record.id);
    table.rows.push_back(
        {{record.id.substr(0, 8), Tint::dim},
         {TextTable::clipped(record.title, 50)},
         {Folder::name(record.cwd)},
         {record.model ? prettyModel(*record.model) : "-"},
         {record.lastActivity ? TextTable::when(*record.lastActivity, known.now) : "-"},
         {isLive              ? "running"
          : record.isArchived ? "archived"
                              : "",
          isLive ? Tint::green : Tint::dim}});
  }
  std::cout << table.render(globals.usesColor());
  if (!isAll && known.records.size() > shown.size()) {
    std::cout << known.records.size() - shown.size()
              << " older or archived sessions are left out; --all lists them too.\n";
  }
  return success;
}

bool containsFolded(std::string_view text, std::string_view part) {
  const auto folded = [](std::string_view value) {
    std::string lower(value);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
  };
  return folded(text).find(folded(part)) != std::string::npos;
}

// The one session `query` names: its id, a prefix of its id, or its title (whole, then
// in part, ignoring case). Otherwise the sentence that says why none was chosen.
std::variant<SessionRecord, std::string> resolve(const std::vector<SessionRecord>& records,
                                                 const std::string& query) {
  using Test = std::function<bool(const SessionRecord&)>;
  const std::vector<Test> tests = {
      [&](const SessionRecord& r) { return r.id == query; },
      [&](const SessionRecord& r) { return r.id.starts_with(query); },
      [&](const SessionRecord& r) {
        return r.title.size() == query.size() && containsFolded(r.title, query);
      },
      [&](const SessionRecord& r) { return containsFolded(r.title, query); }};
  for (const Test& test : tests) {
    std::vector<const SessionRecord*> found;
    for (const SessionRecord& record : records) {
      if (test(record)) found.push_back(&record);
    }
    if (found.size() == 1) return *found.front();
    if (found.size() > 1) {
      std::string sentence = "“" + query + "” matches " + std::to_string(found.size()) +
                             " sessions; give more of the id:";
      for (const SessionRecord* record : found) {
        sentence += "\n  " + record->id + "  " + record->title;
      }
      return sentence;
    }
  }
  return "No session’s id or title matches “" + query + "”; `tessel sessions --all` lists them.";
}

int timeline(const Globals& globals, const std::string& query, bool isJson) {
  if (query.empty()) return fail("Name a session by its id, a prefix of it or its title.");
  auto monitor = Report::openMonitor(globals, Date::now());
  const Known known = knownSessions(*monitor);
  const auto found = resolve(known.records, query);
  const auto* record = std::get_if<SessionRecord>(&found);
  // A whole id still finds a transcript the records leave out, one never prompted.
  const SessionRecord session =
      record != nullptr ? *record : SessionRecord{.id = query, .title = query.substr(0, 8)};
  const std::vector<ToolEvent> calls = monitor->timeline(session.id, known.now);
  if (record == nullptr && calls.empty()) return fail(std::get<std::string>(found));
  if (isJson) {
    Object list = Object::array();
    for (const ToolEvent& call : calls) list.push_back(PublicJson::encode(call));
    Report::print(Object{{"id", session.id}, {"title", session.title}, {"calls", list}});
    return success;
  }
  const bool isColored = globals.usesColor();
  std::cout << TextTable::tinted(session.title, Tint::bold, isColored) << "  "
            << TextTable::tinted(session.id, Tint::dim, isColored) << '\n';
  if (calls.empty()) {
    std::cout << "No tool call is recorded for this session.\n";
    return success;
  }
  TextTable::Table table{.headers = {"START", "DURATION", "TOOL", "SUMMARY", ""},
                         .isRightAligned = {false, true, false, false, false},
                         .widest = 80};
  for (const ToolEvent& call : calls) {
    std::string duration = "running";
    if (const auto seconds = call.duration()) duration = TextTable::span(*seconds);
    Cell mark{};
    if (call.isError) {
      mark = {"failed", Tint::red};
    } else if (call.isBackground) {
      mark = {"background", Tint::blue};
    }
    table.rows.push_back({{TextTable::when(call.start, known.now)},
                          {duration, call.end ? Tint::none : Tint::green},
                          {ToolEvent::prettyTool(call.tool)},
                          {call.summary},
                          mark});
  }
  std::cout << table.render(isColored);
  return success;
}

}  // namespace

void addSessionCommands(CLI::App& app, Run& run) {
  auto isJson = std::make_shared<bool>(false);
  auto isAll = std::make_shared<bool>(false);
  CLI::App* list =
      addCommand(app, run, "sessions",
                 "Claude Code sessions of the last 14 days, newest first: the 20 latest, without "
                 "archived ones, unless --all",
                 "  tessel sessions\n"
                 "  tessel sessions --all --json | jq -r '.[] | select(.isLive) | .title'\n",
                 [&run, isJson, isAll] { return sessions(run.globals, *isJson, *isAll); });
  list->add_flag("--json", *isJson, "The sessions as JSON (docs/json.md)");
  list->add_flag("--all", *isAll, "Every session of the last 14 days, archived ones too");

  auto query = std::make_shared<std::string>();
  auto isTimelineJson = std::make_shared<bool>(false);
  CLI::App* calls = addCommand(
      app, run, "timeline",
      "One session's tool calls, oldest first, with their durations and failures",
      "  tessel timeline 8d0c7b3e\n"
      "  tessel timeline \"checkout refactor\"\n"
      "  tessel timeline 8d0c --json | jq '.calls[] | select(.isError)'\n",
      [&run, query, isTimelineJson] { return timeline(run.globals, *query, *isTimelineJson); });
  calls->add_option("session", *query, "The session's id, a prefix of it, or its title")
      ->required();
  calls->add_flag("--json", *isTimelineJson, "The calls as JSON (docs/json.md)");
}

}  // namespace tessel::cli
