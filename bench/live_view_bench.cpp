// The cost of one frame of the live view: a snapshot of 10 sessions sharing 300
// processes, with containers, plan windows and a week of usage, drawn at 120x40 on every
// screen. A frame is built on every update and key, so it must stay far below a
// terminal's refresh.
#include <benchmark/benchmark.h>

#include "view/screens.h"

namespace tessel::view {
namespace {

ViewData sample(Date now) {
  ViewData data;
  ActivitySnapshot& snapshot = data.snapshot;
  int32_t pid = 1000;
  for (int i = 0; i < 10; ++i) {
    SessionInfo session;
    session.live.sessionId = "session-" + std::to_string(i);
    session.live.pid = pid++;
    session.live.cwd = "/home/ana/project-" + std::to_string(i);
    session.title = "Work on feature number " + std::to_string(i) + " of the shop";
    session.project = "project-" + std::to_string(i);
    session.model = "claude-opus-4-5-20251101";
    session.state = static_cast<SessionInfo::State>(i % 3);
    session.quietFor = 30.0 * i;
    session.lastEvent =
        ToolEvent{.tool = i % 2 ? "Bash" : "mcp__tracker__create_issue",
                  .summary = "npm run test -- --filter checkout " + std::to_string(i),
                  .start = now - 20};
    session.process =
        ProcessEntry{.pid = session.live.pid, .cpu = 5, .memory = 400 << 20, .command = "claude"};
    for (int child = 0; child < 29; ++child) {
      session.children.push_back(
          ProcessEntry{.pid = pid++,
                       .ppid = session.live.pid,
                       .cpu = child * 0.5,
                       .memory = 30 << 20,
                       .command = "node /usr/lib/node_modules/x/cli.js " + std::to_string(child)});
    }
    snapshot.topCPU.push_back(session.children.front());
    snapshot.topMemory.push_back(session.children.back());
    snapshot.resources.push_back(
        TrackedResource{.resource = Resource{.id = "docker:" + std::to_string(i),
                                             .name = "shop-db-" + std::to_string(i),
                                             .provider = "Docker",
                                             .group = "shop",
                                             .state = "running",
                                             .memory = 100 << 20},
                        .link = Attribution{.sessionId = session.live.sessionId, .started = true}});
    snapshot.sessions.push_back(std::move(session));
    data.tokensToday[snapshot.sessions.back().id()] = int64_t{123456} * i;
  }
  snapshot.system = SystemSample{.t = now, .cpu = 30, .memUsed = 8LL << 30, .memTotal = 32LL << 30};
  snapshot.perCore.assign(16, 25.0);
  data.plan = Plan{.windows = {{"five_hour", "5-hour", 40, now + 3600},
                               {"seven_day", "Weekly", 20, now + 86400 * 3}}};
  Aggregate usage;
  for (auto& day : usage.heat) day.fill(7);
  data.usage = usage;
  for (int i = 0; i < 200; ++i) {
    data.timeline.push_back(
        ToolEvent{.tool = "Bash", .summary = "git status", .start = now - i, .end = now - i + 1});
  }
  return data;
}

void frame(benchmark::State& run, const ViewState& state) {
  const Date now = Date::now();
  const ViewData data = sample(now);
  const Canvas canvas{.width = 120, .height = 40, .isAscii = false, .now = now};
  for (auto _ : run) benchmark::DoNotOptimize(render(data, state, canvas));
}

void sessionsFrame(benchmark::State& run) { frame(run, ViewState{}); }
void detailFrame(benchmark::State& run) {
  frame(run, ViewState{.isDetail = true, .selectedId = "session-3"});
}
void usageFrame(benchmark::State& run) { frame(run, ViewState{.screen = Screen::usage}); }
void systemFrame(benchmark::State& run) { frame(run, ViewState{.screen = Screen::system}); }

BENCHMARK(sessionsFrame)->Unit(benchmark::kMicrosecond);
BENCHMARK(detailFrame)->Unit(benchmark::kMicrosecond);
BENCHMARK(usageFrame)->Unit(benchmark::kMicrosecond);
BENCHMARK(systemFrame)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tessel::view
