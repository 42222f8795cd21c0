// Cost of the activity snapshot on a busy developer machine: 50 agent sessions, 2000
// processes (kernel threads, daemons, a browser, shells, dev servers, test runners),
// 200 containers and virtual machines, and the last day's 5000 shell commands, most of
// them docker, compose, npm and python lines. The Monitor rebuilds the snapshot on
// every poll, so a warm build must cost far less than the poll interval.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "activity/attribution.h"
#include "activity/snapshot.h"
#include "platform/system_layout.h"

namespace tessel {
namespace {

const Date now(1796494841);  // a Saturday evening in December 2026
// Above any pid the kernel hands out, so no lookup in /proc finds a real process and the
// names come from the command lines, the same on every machine.
constexpr int32_t base = 10'000'000;
constexpr int sessionCount = 50;
constexpr int processCount = 2000;
constexpr int containerCount = 190;
constexpr int vmCount = 10;
constexpr int commandCount = 5000;

std::string project(int n) { return "project-" + std::to_string(n); }

struct Machine {
  std::vector<ProcessEntry> processes;
  std::vector<LiveSession> live;
  std::vector<SessionRecord> records;
  std::vector<Resource> resources;
  std::vector<ToolEvent> commands;
};

class Generator {
 public:
  Machine generate() {
    kernelAndDaemons();
    const int32_t userManager = add(1, "/usr/lib/systemd/systemd --user", me_, 7200);
    const int32_t desktop = add(userManager, "/usr/libexec/gnome-session-binary", me_, 7200);
    const int32_t terminal = add(userManager, "/usr/libexec/gnome-terminal-server", me_, 7000);
    browser(desktop);
    for (int n = 0; n < sessionCount; ++n) session(n, terminal);
    // Servers an agent put in the background and whose shell has gone: adopted by the
    // user's service manager, they are what the detached-process step looks for.
    for (int n = 0; n < 20; ++n) {
      add(userManager, "python3 -m http.server " + std::to_string(8000 + n), me_, 600);
    }
    while (machine_.processes.size() < processCount) add(terminal, "-bash", me_, 5000);
    environments();
    commands();
    return std::move(machine_);
  }

 private:
  int32_t add(int32_t ppid, std::string command, int32_t uid, double startedAgo) {
    const int32_t pid = base + static_cast<int32_t>(machine_.processes.size());
    machine_.processes.push_back({pid, ppid, uid, static_cast<double>(random_() % 300) / 10,
                                  static_cast<int64_t>(random_() % 800) << 20, now - startedAgo,
                                  std::move(command)});
    return pid;
  }

  void kernelAndDaemons() {
    machine_.processes.push_back({1, 0, system_, 0, 12 << 20, now - 90000, "/sbin/init splash"});
    const int32_t kthreadd = add(0, "[kthreadd]", system_, 90000);
    for (int i = 0; i < 300; ++i) {
      add(kthreadd, "[kworker/u8:" + std::to_string(i) + "]", system_, 90000);
    }
    static constexpr std::array daemons = {
        "/usr/lib/systemd/systemd-journald", "/usr/sbin/cron -f", "/usr/sbin/sshd -D",
        "/usr/bin/dbus-daemon --system --address=systemd: --nofork",
        "/usr/bin/dockerd -H fd:// --containerd=/run/containerd/containerd.sock"};
    for (int i = 0; i < 100; ++i) add(1, daemons[i % daemons.size()], system_, 90000);
    for (int i = 0; i < containerCount; ++i) {
      add(1, "/usr/bin/containerd-shim-runc-v2 -namespace moby -id " + std::to_string(i), system_,
          7000);
    }
  }

  void browser(int32_t parent) {
    const int32_t main = add(parent, "/opt/browser/browser --restore-last-session", me_, 7000);
    for (int i = 0; i < 400; ++i) {
      add(main,
          "/opt/browser/browser --type=renderer --lang=en-US --renderer-client-id=" +
              std::to_string(i),
          me_, 6000);
    }
  }

  void session(int n, int32_t parent) {
    const int32_t shell = add(parent, "-bash", me_, 6000);
    const int32_t agent = add(shell, "claude", me_, 5000);
    LiveSession live;
    live.pid = agent;
    live.sessionId = "session-" + std::to_string(n);
    live.cwd = "/home/dev/" + project(n);
    live.status = n % 3 == 0 ? "busy" : "idle";
    live.entrypoint = "cli";
    live.startedAt = now - 5000;
    live.updatedAt = live.statusSince = now - static_cast<double>(random_() % 2000);
    machine_.live.push_back(live);
    machine_.records.push_back({.id = live.sessionId, .title = "Work on " + project(n)});
    // Each agent's tools: a dev server, a test runner, a compose client, short shells.
    const int32_t npm = add(agent, "npm run dev", me_, 3000);
    add(npm, "node /home/dev/" + project(n) + "/node_modules/.bin/vite", me_, 3000);
    add(agent, "/usr/bin/python3 -m pytest tests/ -x", me_, 60);
    add(agent, "docker compose up", me_, 2500);
    for (int i = 0; i < 4; ++i) add(agent, "/bin/bash -c -l 'git status'", me_, 5);
  }

  void environments() {
    static constexpr std::array roles = {"db", "web", "cache", "worker", "api"};
    static constexpr std::array images = {"postgres:16", "node:22", "redis:7", "python:3.12",
                                          "nginx:1.27"};
    for (int i = 0; i < containerCount; ++i) {
      const std::string group = project(i % sessionCount);
      const std::string name = group + "-" + roles[i % roles.size()] + "-" + std::to_string(i);
      machine_.resources.push_back({.id = "docker:" + std::to_string(i),
                                    .kind = Resource::Kind::container,
                                    .name = name,
                                    .detail = images[i % images.size()],
                                    .provider = "Docker",
                                    .group = group,
                                    .state = "running",
                                    .memory = 64 << 20,
                                    .cpu = 0.5,
                                    .started = now - static_cast<double>(600 + random_() % 80000),
                                    .keywords = {name, group, roles[i % roles.size()]}});
    }
    for (int i = 0; i < vmCount; ++i) {
      const std::string name = "vm-" + std::to_string(i);
      machine_.resources.push_back({.id = "lima:" + name,
                                    .kind = Resource::Kind::vm,
                                    .name = name,
                                    .detail = "Ubuntu 24.04",
                                    .provider = "Lima",
                                    .state = "Running",
                                    .started = now - static_cast<double>(random_() % 80000),
                                    .keywords = {name, "lima"}});
    }
  }

  std::string line(int n, int session) {
    const std::string group = project(session);
    const std::string container = group + "-web-" + std::to_string(n % containerCount);
    switch (n % 10) {
      case 0:
        return "docker compose up -d";
      case 1:
        return "docker compose -f docker-compose.dev.yml exec web npm test -- --watch=false";
      case 2:
        return "docker logs --tail 200 " + container;
      case 3:
        return "cd web && npm run dev";
      case 4:
        return "DJANGO_SETTINGS_MODULE=app.settings python3 manage.py migrate | tail -20";
      case 5:
        return "docker run --rm --name " + group + "-migrate-" + std::to_string(n) +
               " postgres:16 psql -c 'select 1'";
      case 6:
        return "git status && git diff --stat";
      case 7:
        return "rg -n 'TODO|FIXME' src/ | head -50";
      case 8:
        return "sed -n 1,120p src/components/Checkout.tsx";
      default:
        return "make -j8 test 2>&1 | tail -40";
    }
  }

  void commands() {
    for (int n = 0; n < commandCount; ++n) {
      const int session = static_cast<int>(random_() % sessionCount);
      const Date start = now - 86400.0 * (commandCount - n) / commandCount;
      machine_.commands.push_back(
          {.id = "toolu_" + std::to_string(n),
           .sessionId = "session-" + std::to_string(session),
           .tool = "Bash",
           .summary = line(n, session),
           .start = start,
           .end = start + 2.5,
           .cwd = "/home/dev/" + project(session),
           .source = n % 4 == 0 ? ToolEvent::Source::history : ToolEvent::Source::hook});
    }
  }

  std::mt19937 random_{7};
  int32_t me_ = platform::userId();
  // The machine's own processes belong to root, or to someone else when we are root.
  int32_t system_ = me_ == 0 ? 1 : 0;
  Machine machine_;
};

Activity::Inputs inputs(const Machine& machine, const std::string& idSuffix = "") {
  Activity::Inputs in;
  in.now = now;
  in.table = ProcessTable(now, machine.processes);
  in.live = machine.live;
  in.records = machine.records;
  in.environments = EnvironmentScan{.date = now, .resources = machine.resources};
  in.commands = machine.commands;
  for (ToolEvent& event : in.commands) event.id += idSuffix;
  for (const ToolEvent& event : in.commands) in.lastEvents[event.sessionId] = event;
  for (const LiveSession& session : machine.live) in.models[session.sessionId] = "claude-opus-4-7";
  in.hook = HookLogReader::Read{};
  in.hook->lastRecord = now - 1;
  return in;
}

const Machine& machine() {
  static const Machine generated = Generator().generate();
  return generated;
}

// The steady state: the same commands as on the previous poll, all parsed already.
void BM_BuildWarm(benchmark::State& state) {
  const Activity::Inputs in = inputs(machine());
  benchmark::DoNotOptimize(Activity::build(in));
  for (auto _ : state) benchmark::DoNotOptimize(Activity::build(in));
}
BENCHMARK(BM_BuildWarm)->Unit(benchmark::kMillisecond);

// The first poll after start: every command parsed. Two sets of the same commands under
// different ids take turns, so each build finds none of its commands in the cache.
void BM_BuildFirst(benchmark::State& state) {
  const std::array sets = {inputs(machine(), "a"), inputs(machine(), "b")};
  size_t turn = 0;
  for (auto _ : state) benchmark::DoNotOptimize(Activity::build(sets[turn++ % 2]));
}
BENCHMARK(BM_BuildFirst)->Unit(benchmark::kMillisecond);

// One verdict per resource against the whole day's commands; reports the median and the
// slowest resource as counters.
void BM_Attribute(benchmark::State& state) {
  std::vector<ToolEvent> sorted = machine().commands;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const ToolEvent& a, const ToolEvent& b) { return a.start < b.start; });
  const std::vector<Activity::Command> prepared = Activity::commandCache().prepare(sorted);
  const std::vector<Resource>& resources = machine().resources;
  std::vector<double> micros;
  for (auto _ : state) {
    for (const Resource& resource : resources) {
      const auto start = std::chrono::steady_clock::now();
      benchmark::DoNotOptimize(Activity::attribute(resource, prepared));
      micros.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
              .count());
    }
  }
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[micros.size() * 99 / 100];
  state.SetItemsProcessed(static_cast<int64_t>(micros.size()));
}
BENCHMARK(BM_Attribute)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tessel

BENCHMARK_MAIN();
