#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "claude/live_session.h"
#include "claude/transcript.h"
#include "demo/actors.h"
#include "monitor/monitor.h"
#include "support/processes.h"
#include "support/temp_dir.h"
#include "util/calendar.h"
#include "util/files.h"

extern char** environ;

namespace tessel {
namespace {

using test::TempDir;

// Everything a demo run needs to stay away from the real home and from other runs: its
// own home and its own temporary folder, where the sandbox goes.
std::map<std::string, std::string> isolated(const TempDir& dir) {
  return {{"HOME", dir / "home"},
          {"CLAUDE_CONFIG_DIR", dir / "home/.claude"},
          {"CODEX_HOME", dir / "home/.codex"},
          {"TMPDIR", dir / "tmp"},
          {"XDG_RUNTIME_DIR", ""},
          {"TESSEL_TOOL_PATH", ""}};
}

// Starts `tessel` with `arguments` in the background, with `environment` applied.
pid_t startTessel(const std::vector<std::string>& arguments,
                  const std::map<std::string, std::string>& environment) {
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (!environment.contains(text.substr(0, text.find('=')))) variables.push_back(text);
  }
  for (const auto& [name, value] : environment) {
    if (!value.empty()) variables.push_back(name + "=" + value);
  }
  std::vector<char*> argv{const_cast<char*>(TESSEL_BINARY)};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, TESSEL_BINARY, nullptr, nullptr, argv.data(), envp.data()), 0);
  return pid;
}

// The running demo's environment, from `--print-env`, once it answers.
std::map<std::string, std::string> demoEnvironment(
    const std::map<std::string, std::string>& environment) {
  for (int attempt = 0; attempt < 150; ++attempt) {
    const auto printed = test::runProgram(TESSEL_BINARY, {"demo", "--print-env"}, "", environment);
    if (printed.exitStatus == 0) {
      std::map<std::string, std::string> variables;
      size_t at = 0;
      while ((at = printed.out.find("export ", at)) != std::string::npos) {
        const size_t equals = printed.out.find('=', at);
        const size_t end = printed.out.find('\n', equals);
        std::string value = printed.out.substr(equals + 1, end - equals - 1);
        // Quoted for the shell as '...'; the sandbox's paths hold no quote of their own.
        variables[printed.out.substr(at + 7, equals - at - 7)] = value.substr(1, value.size() - 2);
        at = end;
      }
      return variables;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return {};
}

// Waits for the demo to end; its wait status, or -1 when it is still running after
// `seconds`.
int waitForExit(pid_t pid, double seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < until) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// A process that has ended but waits to be reaped by whoever inherited it is gone too.
bool isGone(pid_t pid) {
  if (kill(pid, 0) != 0) return errno == ESRCH;
  const std::string stat = test::readFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close != std::string::npos && stat.size() > close + 2 && stat[close + 2] == 'Z';
}

std::set<pid_t> claudeProcesses(const std::string& configDir) {
  std::set<pid_t> pids;
  for (const std::string& name :
       Files::list(configDir + "/sessions").value_or(std::vector<std::string>{})) {
    if (name.ends_with(".json")) pids.insert(std::atoi(name.c_str()));
  }
  return pids;
}

TEST(Demo, ShowsLiveSessionsWithTheirContainersAndUsageThenRemovesEverything) {
  TempDir dir;
  std::filesystem::create_directories(dir / "tmp");
  const auto environment = isolated(dir);
  const pid_t demo = startTessel({"demo", "--no-view", "--for", "20"}, environment);
  const auto sandbox = demoEnvironment(environment);
  ASSERT_EQ(sandbox.size(), 4U);
  const std::string home = sandbox.at("HOME");
  EXPECT_EQ(home.rfind(dir / "tmp/tessel-demo-", 0), 0U) << home;

  const ClaudePaths paths{home, sandbox.at("CLAUDE_CONFIG_DIR"),
                          home + "/Library/Application Support/Claude",
                          home + "/Library/Application Support/Tessel"};
  std::vector<std::string> searchPaths = Shell::standardSearchPaths();
  searchPaths.insert(searchPaths.begin(), sandbox.at("TESSEL_TOOL_PATH"));
  Monitor monitor(paths, false, Date::now(),
                  Monitor::Options{.codexPaths = CodexPaths{sandbox.at("CODEX_HOME")},
                                   .searchPaths = searchPaths});
  monitor.setCodexEnabled(true);

  // The sessions move on every second or two; within a few seconds each of these is seen.
  bool isCallRunning = false, isQuietSeen = false, isComposeLinked = false;
  ActivitySnapshot snapshot;
  std::set<pid_t> started;
  for (int second = 0; second < 15; ++second) {
    monitor.scanEnvironments(30, Date::now());
    monitor.refreshCommands(Date::now());
    monitor.activity(Date::now());
    monitor.waitForRefreshes();
    snapshot = monitor.activity(Date::now());
    for (const SessionInfo& session : snapshot.sessions) {
      EXPECT_FALSE(session.title.empty());
      EXPECT_TRUE(session.model && session.model->starts_with("claude-")) << session.title;
      if (session.process) started.insert(session.process->pid);
      for (const ProcessEntry& child : session.children) started.insert(child.pid);
      isCallRunning = isCallRunning || (session.state == SessionInfo::State::working &&
                                        session.lastEvent && !session.lastEvent->end);
      isQuietSeen = isQuietSeen || session.state == SessionInfo::State::waiting ||
                    session.state == SessionInfo::State::idle;
      if (session.project != "shop") continue;
      const auto linked = snapshot.resourcesFor(session.id());
      isComposeLinked = std::count_if(linked.begin(), linked.end(), [](const TrackedResource& r) {
                          return r.resource.group == "shop" && r.link && r.link->started;
                        }) == 3;
    }
    for (const SessionInfo& session : snapshot.codexSessions) {
      if (session.process) started.insert(session.process->pid);
    }
    if (isCallRunning && isQuietSeen && isComposeLinked && !snapshot.codexSessions.empty()) break;
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  EXPECT_EQ(snapshot.sessions.size(), 4U);
  EXPECT_TRUE(isCallRunning);
  EXPECT_TRUE(isQuietSeen);
  EXPECT_TRUE(isComposeLinked);
  ASSERT_EQ(snapshot.codexSessions.size(), 1U);
  EXPECT_TRUE(snapshot.codexOpenIDs.contains(snapshot.codexSessions[0].id()));
  // Four Claude Code processes, Codex's, and the calls' own under them.
  EXPECT_GT(started.size(), 5U);

  // Hook events went through the real hook program, run under each session's process.
  std::string hookLog;
  for (const std::string& name :
       Files::list(paths.hookDir()).value_or(std::vector<std::string>{})) {
    hookLog += test::readFile(paths.hookDir() + "/" + name);
  }
  for (const pid_t pid : snapshot.claudePIDs) {
    EXPECT_NE(hookLog.find("\"pid\":" + std::to_string(pid)), std::string::npos) << pid;
  }
  EXPECT_NE(hookLog.find("\"e\":\"PreToolUse\""), std::string::npos);

  // The volumes the earlier work left, one of them under the running database.
  const Volumes::Scan volumes = monitor.volumes(Date::now());
  ASSERT_EQ(volumes.volumes.size(), 3U) << volumes.note.value_or("");
  for (const ContainerVolume& volume : volumes.volumes) {
    EXPECT_EQ(volume.use() == ContainerVolume::Use::running, volume.name == "shop_pgdata")
        << volume.name;
  }

  monitor.refreshUsage(Date::now());
  std::set<int64_t> days;
  for (const auto& [bucket, counts] : monitor.usage().buckets()) {
    days.insert(Calendar::localTime(Date(static_cast<double>(bucket.t))).day);
  }
  ASSERT_FALSE(days.empty());
  EXPECT_EQ(*days.rbegin() - *days.begin(), 13) << days.size() << " days";
  EXPECT_GE(days.size(), 10U);

  const int status = waitForExit(demo, 40);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (const pid_t pid : started) EXPECT_TRUE(isGone(pid)) << pid;
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(home).parent_path()));
  EXPECT_EQ(test::runProgram(TESSEL_BINARY, {"demo", "--print-env"}, "", environment).exitStatus,
            1);
}

TEST(Demo, RefusesASecondDemoAndCleansUpWhenTerminated) {
  TempDir dir;
  std::filesystem::create_directories(dir / "tmp");
  const auto environment = isolated(dir);
  const pid_t demo = startTessel({"demo", "--no-view"}, environment);
  const auto sandbox = demoEnvironment(environment);
  ASSERT_EQ(sandbox.size(), 4U);
  const std::set<pid_t> sessions = claudeProcesses(sandbox.at("CLAUDE_CONFIG_DIR"));
  EXPECT_EQ(sessions.size(), 4U);

  const auto second =
      test::runProgram(TESSEL_BINARY, {"demo", "--no-view", "--for", "1"}, "", environment);
  EXPECT_EQ(second.exitStatus, 1);
  EXPECT_NE(second.err.find("already running"), std::string::npos) << second.err;
  EXPECT_EQ(claudeProcesses(sandbox.at("CLAUDE_CONFIG_DIR")), sessions);

  kill(demo, SIGTERM);
  const int status = waitForExit(demo, 10);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  for (const pid_t pid : sessions) EXPECT_TRUE(isGone(pid)) << pid;
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(sandbox.at("HOME")).parent_path()));
}

// One session played second by second: its status follows the story's calls, its hooks
// run under its own process in order, and its transcript holds every call with its end.
TEST(Demo, PlaysASessionsTurnsCallByCallThenLoops) {
  TempDir dir;
  const demo::Sandbox sandbox{dir / "sandbox"};
  ASSERT_EQ(sandbox.create(), std::nullopt);
  // A hook that keeps each input with the pid of the process that ran it.
  const std::string hook =
      dir.script("hook", "#!/bin/sh\ninput=$(cat)\nprintf '%s %s\\n' \"$PPID\" \"$input\" >> '" +
                             (dir / "hooks") + "'\n");
  demo::Engine engine(sandbox.engineFolder(), sandbox.toolsFolder(), dir / "shop", 1);
  demo::World world{.sandbox = &sandbox, .engine = &engine, .hookProgram = hook};
  demo::Step permitted{.tool = "Bash", .input = {{"command", "npm run deploy"}}};
  permitted.permissionSeconds = 2;
  demo::Step failed{.tool = "Bash", .input = {{"command", "npm test"}}, .isFailed = true};
  const demo::Story story{
      .title = "Deploy",
      .project = "shop",
      .model = "claude-opus-4-5",
      .opening = {demo::Turn{
          .prompt = "Test and deploy", .steps = {failed, permitted}, .pauseSeconds = 2}},
      .loop = {demo::Turn{.prompt = "Again",
                          .steps = {demo::Step{.tool = "Task", .input = {{"prompt", "Review"}}}}}}};
  auto actor = demo::claudeActor(story, world, 1);
  Date now = Date::now();
  ASSERT_TRUE(actor->begin(now));

  const std::string sessions = sandbox.configDir() + "/sessions";
  const auto sessionFile = Files::list(sessions).value_or(std::vector<std::string>{});
  ASSERT_EQ(sessionFile.size(), 1U);
  const auto status = [&] {
    const auto live = LiveSession::read(sessions + "/" + sessionFile[0], sessionFile[0]);
    return live ? live->status : "gone";
  };
  std::vector<std::string> statuses;
  for (int second = 0; second < 7; ++second) {
    now = now + 1;
    actor->advance(now);
    statuses.push_back(status());
  }
  EXPECT_EQ(statuses, (std::vector<std::string>{"busy", "waiting", "waiting", "busy", "idle",
                                                "idle", "busy"}));

  const std::string agent = sessionFile[0].substr(0, sessionFile[0].find('.'));
  std::vector<std::string> events;
  for (int attempt = 0; attempt < 100 && events.size() < 10; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    events.clear();
    const std::string text = test::readFile(dir / "hooks");
    for (size_t at = 0; at < text.size();) {
      const size_t end = std::min(text.find('\n', at), text.size());
      const std::string line = text.substr(at, end - at);
      at = end + 1;
      if (line.empty()) continue;
      EXPECT_EQ(line.substr(0, line.find(' ')), agent);
      // A line still being written is read again on the next attempt.
      const auto input = nlohmann::json::parse(line.substr(line.find(' ') + 1), nullptr, false);
      if (input.is_discarded()) break;
      events.push_back(input.value("hook_event_name", ""));
    }
  }
  EXPECT_EQ(events,
            (std::vector<std::string>{"SessionStart", "UserPromptSubmit", "PreToolUse",
                                      "PostToolUseFailure", "PreToolUse", "Notification",
                                      "PostToolUse", "Stop", "UserPromptSubmit", "PreToolUse"}));

  std::string transcript;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(sandbox.configDir() + "/projects")) {
    if (entry.path().extension() == ".jsonl" &&
        entry.path().parent_path().filename() != "subagents") {
      transcript = test::readFile(entry.path());
    }
  }
  const auto calls = Transcript::events(transcript, std::nullopt, false);
  ASSERT_EQ(calls.size(), 3U);
  EXPECT_EQ(calls[0].summary, "npm test");
  EXPECT_TRUE(calls[0].isError);
  EXPECT_TRUE(calls[1].end && !calls[1].isError);
  EXPECT_EQ(calls[2].tool, "Task");
  EXPECT_FALSE(calls[2].end);
  // The sub-agent the running Task started keeps its own transcript, tied to the call.
  std::string meta, subagent;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(sandbox.configDir() + "/projects")) {
    if (entry.path().parent_path().filename() != "subagents") continue;
    (entry.path().extension() == ".jsonl" ? subagent : meta) = test::readFile(entry.path());
  }
  EXPECT_NE(meta.find(calls[2].id), std::string::npos) << meta;
  EXPECT_NE(subagent.find("\"isSidechain\":true"), std::string::npos) << subagent;
  EXPECT_EQ(Transcript::lastModel(transcript), "claude-opus-4-5");
  actor->stop();
}

}  // namespace
}  // namespace tessel
