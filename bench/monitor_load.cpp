// What one Monitor costs on a working machine. It builds a world in a temporary folder:
// live Claude Code and Codex sessions run by real processes (copies of /bin/sleep under
// the names those programs run as), their transcripts and rollouts growing, hook events
// sent through the real tessel-hook by a simulator in a separate process (so its work
// is not counted), and a crowd of background processes. Then it times snapshots, polls
// as the front end does, and restarts on the same store.
//
//   monitor_load [--sessions N] [--background N] [--snapshots K] [--poll-seconds S]
//                [--interval S] [--config DIR] [--restart]
//
// --config points at a Claude Code folder with a projects tree (bench/make_projects
// writes one) that the usage, command and history readers then index; live sessions'
// transcripts are added under it. --restart measures the bytes a second Monitor on the
// same store reads before its first full snapshot.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "monitor/monitor.h"
#include "process_memory.h"
#include "util/calendar.h"
#include "util/files.h"

extern char** environ;

namespace {

using namespace tessel;

// Set by SIGINT and SIGTERM: the run stops early but still ends its processes and removes
// its world.
std::atomic<bool> interrupted = false;
void interrupt(int) { interrupted = true; }
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

struct Settings {
  int sessions = 10;
  int background = 300;
  int snapshots = 60;
  double pollSeconds = 0;
  double interval = 2;
  std::string config;
  bool restart = false;
};

pid_t spawn(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

std::string stamp(Date date) { return Calendar::formatInternetDateTime(date, true); }

std::string millis(Date date) { return std::to_string(std::llround(date.millisSince1970())); }

struct Session {
  pid_t pid = -1;
  std::string id;
  std::string cwd;
  std::string log;  // transcript or rollout
  bool isCodex = false;
};

std::string toolUse(Date date, const std::string& session, const std::string& cwd,
                    const std::string& id, const std::string& command) {
  return R"({"parentUuid":"p","isSidechain":false,"userType":"external","cwd":")" + cwd +
         R"(","sessionId":")" + session +
         R"(","version":"2.1.3","type":"assistant","message":{"model":"claude-opus-4-7","id":"msg_)" +
         id + R"(","type":"message","role":"assistant","content":[{"type":"tool_use","id":")" + id +
         R"(","name":"Bash","input":{"command":")" + command +
         R"("}}],"stop_reason":null,"usage":{"input_tokens":3,"cache_creation_input_tokens":1200,"cache_read_input_tokens":40000,"output_tokens":90}},"uuid":"u)" +
         id + R"(","timestamp":")" + stamp(date) + "\"}\n";
}

std::string toolResult(Date date, const std::string& session, const std::string& cwd,
                       const std::string& id) {
  return R"({"parentUuid":"u)" + id + R"(","isSidechain":false,"userType":"external","cwd":")" +
         cwd + R"(","sessionId":")" + session +
         R"(","version":"2.1.3","type":"user","message":{"role":"user","content":[{"tool_use_id":")" +
         id + R"(","type":"tool_result","content":"ok\n42 passed","is_error":false}]},"uuid":"r)" +
         id + R"(","timestamp":")" + stamp(date) + "\"}\n";
}

std::string rolloutLine(Date date, const std::string& type, const std::string& payload) {
  return R"({"timestamp":")" + stamp(date) + R"(","type":")" + type + R"(","payload":)" + payload +
         "}\n";
}

// Runs tessel-hook with one hook input, as Claude Code does.
void sendHook(const std::string& hook, const std::string& input) {
  int pipes[2];
  if (pipe(pipes) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipes[0], 0);
  posix_spawn_file_actions_addclose(&actions, pipes[1]);
  char* argv[] = {const_cast<char*>(hook.c_str()), nullptr};
  pid_t pid = -1;
  const bool started = posix_spawn(&pid, hook.c_str(), &actions, nullptr, argv, environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  close(pipes[0]);
  if (started) static_cast<void>(!write(pipes[1], input.data(), input.size()));
  close(pipes[1]);
  if (started) waitpid(pid, nullptr, 0);
}

// The simulator's loop: every quarter second one session makes progress. Runs in its own
// process until killed.
[[noreturn]] void simulate(const std::vector<Session>& sessions, const std::string& hook) {
  std::mt19937 random(7);
  static constexpr const char* commands[] = {
      "npm test",        "git status",        "cargo build --release",
      "pytest -q tests", "docker compose ps", "make lint"};
  std::vector<std::string> open(sessions.size());
  for (uint64_t step = 0;; ++step) {
    const size_t n = random() % sessions.size();
    const Session& session = sessions[n];
    const Date now = Date::now();
    const std::string command = commands[random() % std::size(commands)];
    if (session.isCodex) {
      const std::string call = "call_" + std::to_string(step);
      Files::appendOnce(
          session.log,
          rolloutLine(now, "response_item",
                      R"({"type":"function_call","name":"exec_command","arguments":"{\"cmd\":\")" +
                          command + R"(\"}","call_id":")" + call + "\"}") +
              rolloutLine(now, "response_item",
                          R"({"type":"function_call_output","call_id":")" + call +
                              R"(","output":"Process exited with code 0\nok"})"),
          0644);
    } else if (open[n].empty()) {
      open[n] = "toolu_" + std::to_string(step);
      Files::appendOnce(session.log, toolUse(now, session.id, session.cwd, open[n], command), 0644);
      sendHook(
          hook,
          R"({"session_id":")" + session.id + R"(","cwd":")" + session.cwd +
              R"(","hook_event_name":"PreToolUse","tool_name":"Bash","tool_input":{"command":")" +
              command + R"("},"tool_use_id":")" + open[n] + "\"}");
    } else {
      Files::appendOnce(session.log, toolResult(now, session.id, session.cwd, open[n]), 0644);
      sendHook(
          hook,
          R"({"session_id":")" + session.id + R"(","cwd":")" + session.cwd +
              R"(","hook_event_name":"PostToolUse","tool_name":"Bash","tool_input":{},"tool_use_id":")" +
              open[n] + R"(","tool_response":{"stdout":"ok"}})");
      open[n].clear();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
}

// User plus system CPU seconds of this process, all its threads.
double cpuSeconds() {
  std::ifstream stat("/proc/self/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<std::string> fields;
  std::string field;
  for (size_t i = close + 2; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ' ') {
      fields.push_back(field);
      field.clear();
    } else {
      field += text[i];
    }
  }
  // utime and stime are the 14th and 15th fields; fields[0] here is the 3rd.
  if (fields.size() < 13) return 0;
  return (std::stod(fields[11]) + std::stod(fields[12])) /
         static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Bytes this process asked the kernel to read, files and pipes alike.
uint64_t bytesRead() {
  std::ifstream io("/proc/self/io");
  std::string key;
  uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  return 0;
}

double millisecondsFor(const std::function<void()>& work) {
  const auto start = Clock::now();
  work();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(std::lround(
                                                p * static_cast<double>(values.size() - 1))))];
}

Settings parse(int argc, char** argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "monitor_load: %s needs a value\n", flag.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (flag == "--sessions")
      settings.sessions = std::stoi(value());
    else if (flag == "--background")
      settings.background = std::stoi(value());
    else if (flag == "--snapshots")
      settings.snapshots = std::stoi(value());
    else if (flag == "--poll-seconds")
      settings.pollSeconds = std::stod(value());
    else if (flag == "--interval")
      settings.interval = std::stod(value());
    else if (flag == "--config")
      settings.config = value();
    else if (flag == "--restart")
      settings.restart = true;
    else {
      std::fprintf(stderr, "monitor_load: unknown option %s\n", flag.c_str());
      std::exit(2);
    }
  }
  return settings;
}

void poll(Monitor& monitor, const Settings& settings) {
  std::atomic<bool> stop = false;
  // The front end's cadence: environment scans every 10 s with statistics every 30 s,
  // usage and commands every 60 s, each on a thread of its own.
  std::thread scans([&] {
    while (!stop) {
      monitor.scanEnvironments(30, Date::now());
      for (int i = 0; i < 100 && !stop; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  std::thread usage([&] {
    while (!stop) {
      monitor.refreshUsage(Date::now());
      monitor.refreshCommands(Date::now());
      for (int i = 0; i < 600 && !stop; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  const auto start = Clock::now();
  const double cpuStart = cpuSeconds();
  double minuteCpu = cpuStart;
  auto minuteStart = start;
  int minute = 0;
  auto next = start;
  while (!interrupted &&
         std::chrono::duration<double>(Clock::now() - start).count() < settings.pollSeconds) {
    monitor.activity(Date::now());
    next += std::chrono::milliseconds(static_cast<int64_t>(settings.interval * 1000));
    std::this_thread::sleep_until(next);
    if (Clock::now() - minuteStart >= std::chrono::seconds(60)) {
      const double cpu = cpuSeconds();
      const double wall = std::chrono::duration<double>(Clock::now() - minuteStart).count();
      std::printf("minute %2d: %.2f %% of a core, resident %.1f MB\n", ++minute,
                  100 * (cpu - minuteCpu) / wall, bench::statusKilobytes("VmRSS") / 1000.0);
      std::fflush(stdout);
      minuteCpu = cpu;
      minuteStart = Clock::now();
    }
  }
  stop = true;
  scans.join();
  usage.join();
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf(
      "poll: %.0f s every %.1f s: %.2f %% of a core on average, resident %.1f MB (peak %.1f)\n",
      wall, settings.interval, 100 * (cpuSeconds() - cpuStart) / wall,
      bench::statusKilobytes("VmRSS") / 1000.0, bench::statusKilobytes("VmHWM") / 1000.0);
}

}  // namespace

int main(int argc, char** argv) {
  const Settings settings = parse(argc, argv);
  char pattern[] = "/tmp/tessel-load-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const std::string world = pattern;
  const std::string config = settings.config.empty() ? world + "/config" : settings.config;
  setenv("HOME", (world + "/home").c_str(), 1);
  setenv("CLAUDE_CONFIG_DIR", config.c_str(), 1);
  setenv("CODEX_HOME", (world + "/codex").c_str(), 1);
  const ClaudePaths paths = ClaudePaths::standard();
  const CodexPaths codexPaths = CodexPaths::standard();
  for (const std::string& folder :
       {paths.sessionsDir(), paths.projectsDir(), world + "/bin",
        world + "/home/.local/share/claude/versions", codexPaths.locksDir(),
        codexPaths.sessionsDir() + "/2026/12/08"}) {
    fs::create_directories(folder);
  }
  const std::string claude = world + "/home/.local/share/claude/versions/2.1.3";
  const std::string codex = world + "/bin/codex";
  fs::copy_file("/bin/sleep", claude);
  fs::copy_file("/bin/sleep", codex);

  const Date now = Date::now();
  std::vector<Session> sessions;
  for (int n = 0; n < settings.sessions; ++n) {
    Session session;
    session.isCodex = n % 5 == 4;
    char id[64];
    std::snprintf(
        id, sizeof id,
        session.isCodex ? "019af0c2-5b1e-7c3a-9d4f-%012d" : "5f0c%04d-1e2d-4c3b-8a79-0123456789ab",
        n);
    session.id = id;
    session.cwd = world + "/src/project-" + std::to_string(n);
    fs::create_directories(session.cwd);
    if (session.isCodex) {
      session.log = codexPaths.sessionsDir() + "/2026/12/08/rollout-2026-12-08T09-00-00-" +
                    session.id + ".jsonl";
      const std::string lock = codexPaths.locksDir() + "/" + session.id + ".lock";
      Files::create(lock, "");
      Files::create(
          session.log,
          rolloutLine(
              now - 600, "session_meta",
              R"({"id":")" + session.id + R"(","timestamp":")" + stamp(now - 600) + R"(","cwd":")" +
                  session.cwd +
                  R"(","originator":"codex_cli_rs","cli_version":"0.63.0","source":"cli"})") +
              rolloutLine(now - 599, "turn_context",
                          R"({"cwd":")" + session.cwd + R"(","model":"gpt-5.2-codex"})"));
      session.pid =
          spawn("/bin/sh", {"sh", "-c", "exec 3<'" + lock + "'; exec '" + codex + "' 100000"});
    } else {
      session.log =
          paths.projectsDir() + "/-load-project-" + std::to_string(n) + "/" + session.id + ".jsonl";
      fs::create_directories(fs::path(session.log).parent_path());
      std::string transcript;
      for (int call = 0; call < 200; ++call) {
        const std::string callId = "toolu_init_" + std::to_string(call);
        transcript += toolUse(now - 3600 + call * 10, session.id, session.cwd, callId, "npm test");
        transcript += toolResult(now - 3600 + call * 10 + 5, session.id, session.cwd, callId);
      }
      Files::create(session.log, transcript);
      session.pid = spawn(claude, {"claude", "100000"});
      Files::create(paths.sessionsDir() + "/" + std::to_string(session.pid) + ".json",
                    R"({"pid":)" + std::to_string(session.pid) + R"(,"sessionId":")" + session.id +
                        R"(","cwd":")" + session.cwd + R"(","startedAt":)" + millis(now - 3600) +
                        R"(,"kind":"interactive","entrypoint":"cli","status":"busy","updatedAt":)" +
                        millis(now) + R"(,"version":"2.1.3"})");
    }
    sessions.push_back(std::move(session));
  }
  std::vector<pid_t> crowd;
  for (int n = 0; n < settings.background; ++n)
    crowd.push_back(spawn("/bin/sleep", {"sleep", "100000"}));

  const pid_t simulator = fork();
  if (simulator == 0) simulate(sessions, TESSEL_HOOK_BINARY);
  signal(SIGINT, interrupt);
  signal(SIGTERM, interrupt);
  std::printf("world %s: %d sessions, %d background processes\n", world.c_str(), settings.sessions,
              settings.background);

  {
    const uint64_t readBefore = bytesRead();
    Monitor monitor(paths, settings.restart, Date::now());
    monitor.setCodexEnabled(true);
    monitor.scanEnvironments(30, Date::now());
    const double first = millisecondsFor([&] {
      // A first scan of a large tree takes several budgets.
      for (int call = 0; call < 20; ++call) {
        const uint64_t before = bytesRead();
        monitor.refreshUsage(Date::now());
        if (bytesRead() - before < Monitor::refreshBudget / 2) break;
      }
      monitor.refreshCommands(Date::now());
      monitor.activity(Date::now());
      monitor.waitForRefreshes();
    });
    std::printf("first full snapshot (usage, commands, history, Codex): %.0f ms, %.1f MB read\n",
                first, (bytesRead() - readBefore) / 1e6);
    for (int i = 0; i < 3; ++i) monitor.activity(Date::now());

    std::vector<double> tables;
    std::vector<double> snapshots;
    std::vector<double> rests;
    for (int i = 0; i < settings.snapshots; ++i) {
      // A table read just before and just after each snapshot: their mean stands for the
      // snapshot's own read, whose cost drifts with the kernel's caches.
      const double before = millisecondsFor([] { ProcessTable::take(ToolRunner()); });
      snapshots.push_back(millisecondsFor([&] { monitor.activity(Date::now()); }));
      const double after = millisecondsFor([] { ProcessTable::take(ToolRunner()); });
      tables.push_back((before + after) / 2);
      rests.push_back(snapshots.back() - tables.back());
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const ProcessTable table = ProcessTable::take(ToolRunner());
    std::printf(
        "activity with %d sessions and %zu processes: median %.2f ms, p95 %.2f ms; "
        "process table alone: median %.2f ms; the rest: median %.2f ms, p95 %.2f ms\n",
        settings.sessions, table.byPID.size(), percentile(snapshots, 0.5),
        percentile(snapshots, 0.95), percentile(tables, 0.5), percentile(rests, 0.5),
        percentile(rests, 0.95));
    std::fflush(stdout);
    if (settings.pollSeconds > 0) poll(monitor, settings);
  }

  if (settings.restart && !interrupted) {
    std::printf("restart begins\n");
    std::fflush(stdout);
    const uint64_t readBefore = bytesRead();
    Monitor monitor(paths, true, Date::now());
    monitor.setCodexEnabled(true);
    monitor.refreshUsage(Date::now());
    monitor.refreshCommands(Date::now());
    monitor.activity(Date::now());
    monitor.waitForRefreshes();
    uint64_t transcripts = 0;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(paths.projectsDir(), error);
         it != fs::recursive_directory_iterator(); it.increment(error)) {
      if (it->is_regular_file(error)) transcripts += it->file_size(error);
    }
    std::printf(
        "restart on the same store: %.2f MB read before the first full snapshot (the store is "
        "%.1f MB), of %.1f MB of transcripts\n",
        (bytesRead() - readBefore) / 1e6,
        Files::attributes(paths.supportDir + "/index.sqlite").value_or(Files::Attributes{}).size /
            1e6,
        transcripts / 1e6);
  }

  kill(simulator, SIGKILL);
  waitpid(simulator, nullptr, 0);
  for (const Session& session : sessions) kill(session.pid, SIGKILL);
  for (pid_t pid : crowd) kill(pid, SIGKILL);
  while (waitpid(-1, nullptr, 0) > 0) {
  }
  // Live transcripts added under a given projects tree go with the world.
  std::error_code error;
  for (const Session& session : sessions) {
    if (!session.isCodex) fs::remove_all(fs::path(session.log).parent_path(), error);
    fs::remove(paths.sessionsDir() + "/" + std::to_string(session.pid) + ".json", error);
  }
  fs::remove_all(world, error);
  return 0;
}
