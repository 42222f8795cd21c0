#include "demo/history.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>

#include "util/calendar.h"
#include "util/files.h"

namespace tessel::demo {
namespace {

void setModified(const std::string& path, Date date) {
  using namespace std::chrono;
  const auto since =
      duration_cast<system_clock::duration>(duration<double>(date.secondsSince1970()));
  std::error_code error;
  std::filesystem::last_write_time(path, file_clock::from_sys(system_clock::time_point(since)),
                                   error);
}

// One finished session: a prompt, its calls a minute or so apart, a reply; another
// prompt now and then. Returns when the session's last line was written.
Date writeSession(const std::string& projectsDir, const PastProject& project, Date start, Ids& ids,
                  const std::string& forcedCommand = {}, Date* forcedAt = nullptr) {
  ClaudeSessionFacts facts{.sessionId = ids.uuid(), .cwd = project.cwd, .model = project.model};
  const std::string folder = projectsDir + "/" + projectFolderName(project.cwd);
  Files::createDirectories(folder);
  TranscriptWriter transcript(folder + "/" + facts.sessionId + ".jsonl", facts,
                              static_cast<uint64_t>(start.secondsSince1970()));
  Date at = start;
  const int turns = ids.between(1, 3);
  for (int turn = 0; turn < turns; ++turn) {
    const std::string prompt = project.prompts[static_cast<size_t>(
        ids.between(0, static_cast<int>(project.prompts.size()) - 1))];
    if (turn == 0) transcript.title(prompt);
    transcript.prompt(prompt, at);
    const int calls = ids.between(4, 18);
    for (int call = 0; call < calls; ++call) {
      at = at + ids.between(8, 90);
      std::string command = project.commands[static_cast<size_t>(
          ids.between(0, static_cast<int>(project.commands.size()) - 1))];
      if (turn == 0 && call == 1 && forcedAt != nullptr) {
        command = forcedCommand;
        *forcedAt = at;
      }
      const std::string id = transcript.toolUse(
          "Bash", Json{{"command", command}, {"description", "Run " + command}}, at);
      at = at + ids.between(1, 40);
      transcript.toolResult(id, "ok", false, at);
    }
    at = at + ids.between(5, 30);
    transcript.reply("Done: the change is in and the checks pass.", at);
    at = at + ids.between(120, 1800);
  }
  setModified(transcript.path(), at);
  return at;
}

}  // namespace

Date writeUsageHistory(const std::string& projectsDir, const std::vector<PastProject>& projects,
                       Date now) {
  Ids ids(14);
  const int64_t today = Calendar::localTime(now).day;
  Date mailpitAt = now - 86400;
  for (int64_t day = today - 13; day < today; ++day) {
    const Date midnight = Calendar::localMidnight(day);
    const bool isWeekend = Calendar::localTime(midnight + 43200).weekday >= 5;
    for (size_t index = 0; index < projects.size(); ++index) {
      int sessions = isWeekend ? ids.between(0, 1) : ids.between(1, 3);
      // The fortnight opens with a session, so the history reaches back the whole way.
      if (day == today - 13 && index == 0) sessions = std::max(sessions, 1);
      for (int session = 0; session < sessions; ++session) {
        const Date start = midnight + 3600 * ids.between(9, 17) + 60 * ids.between(0, 59);
        const bool startsMailpit = day == today - 1 && index == 1 && session == 0;
        const std::string forced =
            startsMailpit ? "docker run -d --name mailpit -p 8025:8025 -p 1025:1025 axllent/mailpit"
                          : "";
        Date commandAt = start;
        writeSession(projectsDir, projects[index], start, ids, forced,
                     startsMailpit ? &commandAt : nullptr);
        // The container answers a few seconds after the command that ran it.
        if (startsMailpit) mailpitAt = commandAt + 4;
      }
    }
  }
  return mailpitAt;
}

void writePlanReading(const std::string& connectorFile, const PlanWindows& plan, Date now) {
  const auto millis = [](Date date) { return std::llround(date.secondsSince1970() * 1000); };
  const auto seconds = [](Date date) { return std::llround(date.secondsSince1970()); };
  const auto window = [&](const std::string& label, double percent, Date resets) {
    return Json{
        {"label", label}, {"percentUsed", std::round(percent)}, {"resetsAt", seconds(resets)}};
  };
  const Json reply = {
      {"plan",
       {{"status", "ok"},
        {"plan", "Max (5x)"},
        {"windows", Json::array({window("5-hour limit", plan.fiveHour, plan.fiveHourResets),
                                 window("Weekly · all models", plan.weekly, plan.weeklyResets),
                                 window("Weekly · Opus", plan.weekly * 0.6, plan.weeklyResets)})},
        {"extraUsage", {{"enabled", false}}}}}};
  Json history = Json::array();
  for (int step = 56; step > 0; --step) {
    const Date t = now - step * 10800.0;
    const double weekly = std::max(0.0, plan.weekly - step * (plan.weekly / 60));
    history.push_back(Json{{"t", millis(t)},
                           {"w", std::round(weekly)},
                           {"wr", seconds(plan.weeklyResets)},
                           {"f", std::fmod(step * 13.0, 80)}});
  }
  const Json state = {{"at", millis(now)},
                      {"version", "1.4.2"},
                      {"app", {{"status", "ok"}, {"text", reply.dump()}, {"at", millis(now)}}},
                      {"rateLimits", Json::array({Json{{"kind", "five_hour"},
                                                       {"percentUsed", std::round(plan.fiveHour)},
                                                       {"resetsAt", seconds(plan.fiveHourResets)}},
                                                  Json{{"kind", "seven_day"},
                                                       {"percentUsed", std::round(plan.weekly)},
                                                       {"resetsAt", seconds(plan.weeklyResets)}}})},
                      {"history", std::move(history)}};
  const std::string folder = connectorFile.substr(0, connectorFile.rfind('/'));
  Files::createDirectories(folder);
  Files::replace(connectorFile, state.dump(), ".new", 0600);
}

}  // namespace tessel::demo
