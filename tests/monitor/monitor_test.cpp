#include "monitor/monitor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "hook/container_hook.h"
#include "hook/hook_log.h"
#include "support/codex_lines.h"
#include "support/fake_tools.h"
#include "support/processes.h"
#include "support/temp_dir.h"
#include "support/transcript_lines.h"
#include "util/calendar.h"
#include "util/files.h"

namespace tessel {
namespace {

using test::ChildProcess;
using test::FakeTools;
using test::Reply;
using test::TempDir;

const std::string dbId = "7bdc25d1694ef984782a16f6f1710c1c6bc83ba7a131b515baf532bea021d011";
const std::string devId = "ef260e9aa3c673af240d17a2660480361a8e081d1ffeca2a5ed0e3219fc18567";
const std::string codexId = "019af0c2-5b1e-7c3a-9d4f-2e8b6a1c0d93";

// The snapshots below run over real processes, whose start times are real, so the
// Monitor is given the real time.
Date realNow() { return Date(std::floor(Date::now().secondsSince1970())); }

Monitor::Options options(const TempDir& dir, const FakeTools& tools) {
  return {.codexPaths = CodexPaths{dir / "codex"}, .searchPaths = {tools.folder()}};
}

std::string stamp(Date date) { return Calendar::formatInternetDateTime(date, true); }

// A live session file for `pid`, as Claude Code writes it.
void writeSession(const TempDir& dir, int32_t pid, const std::string& id, const std::string& cwd,
                  const std::string& status, Date started) {
  const std::string ms = std::to_string(std::llround(started.millisSince1970()));
  dir.write("config/sessions/" + std::to_string(pid) + ".json",
            R"({"pid":)" + std::to_string(pid) + R"(,"sessionId":")" + id + R"(","cwd":")" + cwd +
                R"(","startedAt":)" + ms +
                R"(,"kind":"interactive","entrypoint":"cli","status":")" + status +
                R"(","updatedAt":)" + ms + "}");
}

std::string transcriptPath(const TempDir& dir, const std::string& id) {
  return dir / ("config/projects/-home-ana-shop/" + id + ".jsonl");
}

HookRecord hookRecord(Date date, std::string event, std::string session) {
  return HookRecord{date.millisSince1970(), std::move(event), std::move(session)};
}

// `docker ps` lines as the CLI prints them: a compose service in `project` and a dev
// container for `devFolder`.
std::string psOutput(const std::string& project, const std::string& devFolder) {
  return R"j({"Command":"\"docker-entrypoint.sh postgres\"","CreatedAt":"2026-12-08 14:00:00 +0000 UTC","ID":")j" +
         dbId +
         R"j(","Image":"postgres:16-alpine","Labels":"com.docker.compose.oneoff=False,com.docker.compose.project.working_dir=)j" +
         project +
         R"j(,com.docker.compose.project=shop,com.docker.compose.service=db","LocalVolumes":"1","Mounts":"shop_pgdata","Names":"shop-db-1","Networks":"shop_default","Ports":"0.0.0.0:5432-\u003e5432/tcp","RunningFor":"1 minute ago","Size":"0B","State":"running","Status":"Up 1 minute"}
{"Command":"\"/bin/sh -c 'echo Container started'\"","CreatedAt":"2026-12-08 13:02:55 +0000 UTC","ID":")j" +
         devId +
         R"j(","Image":"vsc-webshop-3b8e2f1c0d9a7e6b5c4d3e2f1a0b9c8d-uid","Labels":"devcontainer.local_folder=)j" +
         devFolder +
         R"j(","Names":"gifted_lovelace","Ports":"","State":"running","Status":"Up 1 hour"}
)j";
}

std::vector<Reply> docker(const std::string& project, const std::string& devFolder,
                          Date dbStarted) {
  return {{.pattern = "ps --no-trunc --format {{json .}}", .out = psOutput(project, devFolder)},
          {.pattern = "stats *", .out = ""},
          {.pattern = "inspect *",
           .out = dbId + " " + stamp(dbStarted) + "\n" + devId + " 2026-12-08T13:02:56.9Z\n"},
          {.pattern = "info --format {{.NCPU}}", .out = "8\n"},
          {.pattern = "top *", .out = "PID                 COMMAND\n49102               claude\n"}};
}

// A process that holds `files` open under the name `name`, as Codex holds its locks.
std::unique_ptr<ChildProcess> holder(const TempDir& dir, const std::string& name,
                                     const std::vector<std::string>& files) {
  const std::string program = dir / ("bin/" + name);
  std::filesystem::create_directories(dir / "bin");
  std::filesystem::copy_file("/bin/sleep", program);
  std::string script = "exec";
  int fd = 3;
  // Appended piece by piece: GCC 12 at -O3 takes `"literal" + std::string&&` for an
  // overlapping copy and fails the build with -Werror=restrict.
  for (const std::string& file : files) {
    script.append(" ").append(std::to_string(fd++)).append("<'").append(file).append("'");
  }
  auto child = std::make_unique<ChildProcess>(
      "/bin/sh", std::vector<std::string>{"-c", script + "; exec '" + program + "' 30"});
  EXPECT_TRUE(test::waitForExecutable(child->pid(), program));
  return child;
}

const SessionInfo* row(const std::vector<SessionInfo>& rows, const std::string& id) {
  for (const SessionInfo& info : rows) {
    if (info.id() == id) return &info;
  }
  return nullptr;
}

TEST(Monitor, ShowsEverySessionWithItsCallItsContainerAndItsCodexProcess) {
  TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  const Date now = realNow();
  const std::string project = dir / "shop";
  const std::string devFolder = dir / "webshop";
  std::filesystem::create_directories(project);
  std::filesystem::create_directories(devFolder);

  // A Claude Code session running `docker compose up`, seen in its transcript and its hook
  // log; the compose service started 30 s after the call.
  ChildProcess claude("/bin/sleep", {"30"});
  writeSession(dir, claude.pid(), "s1", project, "busy", now - 600);
  const Date callStart = now - 90;
  const std::string command = R"({"command":"docker compose up -d","description":"Start db"})";
  dir.write("config/projects/-home-ana-shop/s1.jsonl",
            test::toolUseLine(now - 300, "toolu_01", "Read", R"({"file_path":"/x"})", "s1") +
                test::toolResultLine(now - 299, "toolu_01", "", "s1") +
                test::toolUseLine(callStart, "toolu_02", "Bash", command, "s1"));
  HookRecord started = hookRecord(now - 600, "SessionStart", "s1");
  started.pid = claude.pid();
  started.cwd = project;
  HookLog::append(started, paths, now);
  HookRecord pre = hookRecord(callStart, "PreToolUse", "s1");
  pre.tool = "Bash";
  pre.id = "toolu_02";
  pre.sum = "docker compose up -d";
  pre.cwd = project;
  HookLog::append(pre, paths, now);
  // A call only the hook log saw, for the timeline.
  HookRecord hookOnly = hookRecord(now - 200, "PreToolUse", "s1");
  hookOnly.tool = "Grep";
  hookOnly.id = "toolu_hook";
  hookOnly.sum = "TODO";
  HookLog::append(hookOnly, paths, now);

  // A session of a Claude Code version that writes no session file: the hook log knows it.
  ChildProcess quiet("/bin/sleep", {"30"});
  HookRecord quietStart = hookRecord(now - 100, "SessionStart", "s2");
  quietStart.pid = quiet.pid();
  quietStart.cwd = project;
  HookLog::append(quietStart, paths, now);
  HookLog::append(hookRecord(now - 50, "UserPromptSubmit", "s2"), paths, now);

  // A session inside the dev container, seen only through its events file.
  Files::createDirectories(ContainerHook::dir(devFolder));
  const std::string ms = std::to_string(std::llround((now - 30).millisSince1970()));
  Files::appendOnce(
      ContainerHook::log(devFolder),
      R"({"t":)" + ms +
          R"(,"ctr":"a1b2c3d4e5f6","hook_event_name":"PreToolUse","session_id":"c1","cwd":"/workspaces/webshop","tool_name":"Bash","tool_use_id":"toolu_c1","tool_input":{"command":"npm test"}})"
          "\n",
      0644);

  // A Codex session whose lock a real process named codex holds.
  dir.write("codex/sessions/2026/12/08/rollout-2026-12-08T13-20-41-" + codexId + ".jsonl",
            test::codex::meta(stamp(now - 120), codexId, project) +
                test::codex::turnContext(stamp(now - 119), "gpt-5.2-codex", project) +
                test::codex::functionCall(stamp(now - 60), "exec_command",
                                          R"({"cmd":"cargo test"})", "call_1"));
  const std::string lock = dir.write("codex/thread-writer-locks/" + codexId + ".lock", "");
  const auto codex = holder(dir, "codex", {lock});

  FakeTools tools;
  tools.add("docker", docker(project, devFolder, callStart + 30));
  Monitor monitor(paths, false, now, options(dir, tools));
  monitor.setCodexEnabled(true);
  const EnvironmentScan scan = monitor.scanEnvironments(30, now);
  ASSERT_EQ(scan.resources.size(), 2U);
  monitor.activity(now);
  monitor.waitForRefreshes();
  const ActivitySnapshot snapshot = monitor.activity(now + 1);

  const SessionInfo* host = row(snapshot.sessions, "s1");
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(host->state, SessionInfo::State::working);
  ASSERT_TRUE(host->process);
  EXPECT_EQ(host->process->pid, claude.pid());
  ASSERT_TRUE(host->lastEvent);
  EXPECT_EQ(host->lastEvent->id, "toolu_02");
  EXPECT_EQ(host->lastEvent->end, std::nullopt);
  EXPECT_EQ(host->model, "claude-opus-4-7");
  const auto resources = snapshot.resourcesFor("s1");
  ASSERT_EQ(resources.size(), 1U);
  EXPECT_EQ(resources[0].resource.name, "shop-db-1");
  ASSERT_TRUE(resources[0].link);
  EXPECT_EQ(resources[0].link->how, Attribution::How::hook);
  // Once the command index has read the transcript, its copy of the call is the one used,
  // in this snapshot and in the next, which reuses the index's list.
  monitor.refreshCommands(now + 1);
  for (int i = 0; i < 2; ++i) {
    const auto linked = monitor.activity(now + 1).resourcesFor("s1");
    ASSERT_EQ(linked.size(), 1U);
    ASSERT_TRUE(linked[0].link);
    EXPECT_EQ(linked[0].link->how, Attribution::How::history);
    EXPECT_EQ(linked[0].link->sessionId, "s1");
  }

  const SessionInfo* fromHook = row(snapshot.sessions, "s2");
  ASSERT_NE(fromHook, nullptr);
  EXPECT_EQ(fromHook->state, SessionInfo::State::working);
  ASSERT_TRUE(fromHook->process);
  EXPECT_EQ(fromHook->process->pid, quiet.pid());

  const SessionInfo* container = row(snapshot.sessions, "c1");
  ASSERT_NE(container, nullptr);
  ASSERT_TRUE(container->lastEvent);
  EXPECT_EQ(container->lastEvent->summary, "npm test");

  ASSERT_EQ(snapshot.codexSessions.size(), 1U);
  EXPECT_EQ(snapshot.codexSessions[0].id(), codexId);
  ASSERT_TRUE(snapshot.codexSessions[0].process);
  EXPECT_EQ(snapshot.codexSessions[0].process->pid, codex->pid());
  ASSERT_TRUE(snapshot.codexSessions[0].lastEvent);
  EXPECT_EQ(snapshot.codexSessions[0].lastEvent->id, "call_1");
  EXPECT_EQ(snapshot.codexSessions[0].lastEvent->end, std::nullopt);
  EXPECT_TRUE(snapshot.metrics);
  EXPECT_TRUE(snapshot.system);
  EXPECT_FALSE(snapshot.topCPU.empty());

  // The timeline: the transcript's calls and the one only the hook saw, oldest first.
  std::vector<std::string> ids;
  for (const ToolEvent& call : monitor.timeline("s1", now + 1)) ids.push_back(call.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"toolu_01", "toolu_hook", "toolu_02"}));

  // Codex off: no rows, and the index is left alone.
  monitor.setCodexEnabled(false);
  EXPECT_TRUE(monitor.activity(now + 2).codexSessions.empty());
}

TEST(Monitor, LeavesCodexAloneWhileItIsOff) {
  TempDir dir;
  const Date now = realNow();
  dir.write("codex/sessions/2026/12/08/rollout-2026-12-08T13-20-41-" + codexId + ".jsonl",
            test::codex::meta(stamp(now - 120), codexId, "/home/ana/shop"));
  FakeTools tools;
  Monitor monitor(dir.claudePaths(), false, now, options(dir, tools));
  EXPECT_FALSE(monitor.codexEnabled());
  monitor.activity(now);
  monitor.activity(now + 10);
  monitor.waitForRefreshes();
  EXPECT_TRUE(monitor.codex().allSessions().empty());

  monitor.setCodexEnabled(true);
  monitor.activity(now + 20);
  // Quick calls while a refresh may be running add none of their own; the index still
  // ends up with the one session.
  monitor.activity(now + 20);
  monitor.waitForRefreshes();
  EXPECT_EQ(monitor.codex().allSessions().size(), 1U);

  EXPECT_TRUE(Monitor::isCodexProcess("/home/ana/.local/bin/codex exec --json"));
  EXPECT_TRUE(Monitor::isCodexProcess("codex-x86_64-unknown-linux-musl"));
  EXPECT_TRUE(Monitor::isCodexProcess(
      "node /usr/lib/node_modules/@openai/codex/bin/codex.js --model gpt-5.2-codex"));
  EXPECT_FALSE(Monitor::isCodexProcess("node /srv/app/server.js --name codex"));
  EXPECT_FALSE(Monitor::isCodexProcess("/usr/bin/vim codex.md"));
  EXPECT_FALSE(Monitor::isCodexProcess("[kworker/0:1]"));
  EXPECT_FALSE(Monitor::isCodexProcess(""));
}

TEST(Monitor, CollectsContainerStatisticsAtMostOncePerInterval) {
  TempDir dir;
  const Date now = realNow();
  FakeTools tools;
  tools.add("docker", docker(dir / "shop", dir / "webshop", now - 60));
  Monitor monitor(dir.claudePaths(), false, now, options(dir, tools));
  monitor.scanEnvironments(30, now);
  monitor.scanEnvironments(30, now + 10);
  EXPECT_EQ(tools.calls("docker", "stats").size(), 1U);
  EXPECT_EQ(tools.calls("docker", "ps").size(), 2U);
  monitor.scanEnvironments(30, now + 31);
  EXPECT_EQ(tools.calls("docker", "stats").size(), 2U);
}

TEST(Monitor, ReadsATranscriptAgainOnlyWhenItsSizeChanges) {
  TempDir dir;
  const Date now = realNow();
  ChildProcess claude("/bin/sleep", {"30"});
  writeSession(dir, claude.pid(), "s1", "/home/ana/shop", "busy", now - 600);
  const std::string path = transcriptPath(dir, "s1");
  const auto call = [&](const char* id) {
    return test::toolUseLine(now - 60, id, "Bash", R"({"command":"make"})", "s1");
  };
  dir.write("config/projects/-home-ana-shop/s1.jsonl", call("toolu_A"));
  FakeTools tools;
  Monitor monitor(dir.claudePaths(), false, now, options(dir, tools));
  const auto lastCall = [&](Date at) {
    // The snapshot outlives the look-up.
    const ActivitySnapshot snapshot = monitor.activity(at);
    const SessionInfo* info = row(snapshot.sessions, "s1");
    return info && info->lastEvent ? info->lastEvent->id : std::string();
  };
  EXPECT_EQ(lastCall(now), "toolu_A");

  // The same size: the earlier reading stands, so the new bytes are not seen.
  dir.write("config/projects/-home-ana-shop/s1.jsonl", call("toolu_B"));
  EXPECT_EQ(lastCall(now + 2), "toolu_A");

  Files::appendOnce(path, call("toolu_C"), 0644);
  EXPECT_EQ(lastCall(now + 4), "toolu_C");

  // Only what was appended is read from here on: the known call's result closes it, and
  // a line written in two pieces counts once whole.
  const auto last = [&](Date at) {
    const ActivitySnapshot snapshot = monitor.activity(at);
    const SessionInfo* info = row(snapshot.sessions, "s1");
    return info && info->lastEvent ? std::optional<ToolEvent>(*info->lastEvent) : std::nullopt;
  };
  Files::appendOnce(path, test::toolResultLine(now - 30, "toolu_C", R"(,"is_error":true)", "s1"),
                    0644);
  auto closed = last(now + 6);
  ASSERT_TRUE(closed);
  EXPECT_EQ(closed->id, "toolu_C");
  EXPECT_TRUE(closed->end);
  EXPECT_TRUE(closed->isError);
  const std::string torn = call("toolu_D");
  Files::appendOnce(path, torn.substr(0, 40), 0644);
  EXPECT_EQ(lastCall(now + 8), "toolu_C");
  Files::appendOnce(path, torn.substr(40), 0644);
  EXPECT_EQ(lastCall(now + 10), "toolu_D");

  // A shorter file was replaced: its tail is read again whole.
  dir.write("config/projects/-home-ana-shop/s1.jsonl", call("toolu_E"));
  EXPECT_EQ(lastCall(now + 12), "toolu_E");

  // The records are merged again once the history has read a new session.
  const auto recordIds = [&] {
    std::set<std::string> ids;
    for (const SessionRecord& record : monitor.records()) ids.insert(record.id);
    return ids;
  };
  monitor.waitForRefreshes();
  monitor.activity(now + 14);
  EXPECT_TRUE(recordIds().empty());  // s1 was never prompted
  dir.write("config/projects/-home-ana-shop/s2.jsonl",
            R"({"type":"last-prompt","lastPrompt":"fix the build","sessionId":"s2"})"
            "\n");
  // The refresh runs beside the snapshots, so a few polls may pass before it is seen.
  for (int poll = 0; poll < 5 && recordIds() != std::set<std::string>{"s2"}; ++poll) {
    monitor.activity(now + 40 + 2 * poll);
    monitor.waitForRefreshes();
  }
  EXPECT_EQ(recordIds(), std::set<std::string>{"s2"});
}

TEST(Monitor, KeepsAveragedReadingsOnlyWithAStore) {
  TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  const Date now = realNow();
  FakeTools tools;
  {
    Monitor monitor(paths, false, now, options(dir, tools));
    monitor.activity(now);
    monitor.activity(now + 11);
    monitor.waitForRefreshes();
    EXPECT_EQ(monitor.store(), nullptr);
    EXPECT_TRUE(monitor.systemReadings(Date::distantPast()).empty());
  }
  EXPECT_FALSE(std::filesystem::exists(paths.supportDir + "/index.sqlite"));

  Monitor monitor(paths, true, now, options(dir, tools));
  ASSERT_NE(monitor.store(), nullptr);
  EXPECT_TRUE(std::filesystem::exists(paths.supportDir + "/index.sqlite"));
  // A reading from before the kept days goes with the next write.
  monitor.store()->addReading("system", now - 8 * 86400, "{}", Date::distantPast());

  monitor.activity(now);
  monitor.activity(now + 4);
  EXPECT_EQ(monitor.store()->readings("system", Date::distantPast()).size(), 1U);
  // Not yet stored, still returned, oldest first.
  std::vector<SystemSample> pending = monitor.systemReadings(now - 1);
  ASSERT_EQ(pending.size(), 2U);
  EXPECT_LT(pending[0].t, pending[1].t);

  monitor.activity(now + 11);
  EXPECT_EQ(monitor.store()->readings("system", Date::distantPast()).size(), 1U);
  EXPECT_EQ(monitor.store()->readings("claude", Date::distantPast()).size(), 1U);
  monitor.activity(now + 13);
  const std::vector<SystemSample> system = monitor.systemReadings(now - 1);
  ASSERT_EQ(system.size(), 2U);
  EXPECT_GE(system[0].t, now);
  EXPECT_LE(system[0].t, now + 11);
  EXPECT_EQ(system[1].t, now + 13);
  EXPECT_EQ(monitor.claudeReadings(now - 1).size(), 2U);
  EXPECT_EQ(monitor.systemReadings(now + 12).size(), 1U);
  monitor.waitForRefreshes();
}

TEST(Monitor, ServesSnapshotsScansTimelinesAndRefreshesFromManyThreads) {
  TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  const Date now = realNow();
  ChildProcess claude("/bin/sleep", {"30"});
  writeSession(dir, claude.pid(), "s1", "/home/ana/shop", "busy", now - 600);
  const std::string path = transcriptPath(dir, "s1");
  dir.write("config/projects/-home-ana-shop/s1.jsonl", "");
  dir.write("codex/sessions/2026/12/08/rollout-2026-12-08T13-20-41-" + codexId + ".jsonl",
            test::codex::meta(stamp(now - 120), codexId, "/home/ana/shop"));
  FakeTools tools;
  tools.add("docker", docker(dir / "shop", dir / "webshop", now - 60));
  Monitor monitor(paths, true, now, options(dir, tools));
  monitor.setCodexEnabled(true);

  std::atomic<bool> stop = false;
  std::atomic<int> snapshots = 0;
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 0; !stop; ++i) {
      monitor.activity(now + i);
      ++snapshots;
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; !stop; ++i) monitor.scanEnvironments(30, now + i);
  });
  threads.emplace_back([&] {
    for (int i = 0; !stop; ++i) {
      Files::appendOnce(path,
                        test::toolUseLine(now, "toolu_" + std::to_string(i), "Bash",
                                          R"({"command":"make"})", "s1"),
                        0644);
      monitor.timeline("s1", now + i);
      monitor.records();
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; !stop; ++i) {
      monitor.refreshUsage(now + i);
      monitor.refreshCommands(now + i);
      monitor.systemReadings(now);
    }
  });
  std::this_thread::sleep_for(std::chrono::seconds(3));
  stop = true;
  for (auto& thread : threads) thread.join();
  monitor.waitForRefreshes();
  EXPECT_GT(snapshots, 0);
  EXPECT_FALSE(monitor.timeline("s1", now + 100).empty());
}

}  // namespace
}  // namespace tessel
