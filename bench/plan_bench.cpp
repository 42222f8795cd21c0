// What a user waits for in the usage views and what Claude Code waits for after every
// message: summarising fifteen days of a heavy user's tallies (every ten-minute slot
// busy with several sessions and models), grouping them by session, and one status-line
// round (read Claude Code's input, capture its rate limits into the connector state
// beside the plugin's sections, read that state back, make the line).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "usage/allowance.h"
#include "usage/status_line.h"
#include "usage/usage_scanner.h"
#include "usage/usage_summary.h"
#include "util/files.h"

namespace tessel {
namespace {

// 2026-12-08T09:00:00Z
constexpr int64_t now = 1796720400;
constexpr int64_t days = 15;

// Per slot: sessions in several folders, each with a main model and a helper model.
IndexStore::Tally fifteenDays(int sessionsPerSlot) {
  const char* const models[] = {"claude-opus-4-5-20251101", "claude-haiku-4-5-20251001",
                                "claude-sonnet-4-5-20250929", "gpt-5.2-codex"};
  IndexStore::Tally tally;
  for (int64_t t = now - days * 86400; t < now; t += UsageScanner::slotSeconds) {
    for (int s = 0; s < sessionsPerSlot; ++s) {
      const int session = static_cast<int>((t / 3600 + s) % 40);
      for (int m = 0; m < 2; ++m) {
        IndexStore::Bucket key{t, "session-" + std::to_string(session),
                               "/home/u/work/project-" + std::to_string(session % 12),
                               models[(session + m) % 4], m == 0 ? "cli" : "sdk-py"};
        tally[key] = {1200 + s, 4000 + m, 30000, 900000, 3, 10000};
      }
    }
  }
  return tally;
}

std::unordered_map<std::string, std::string> folderNames() {
  std::unordered_map<std::string, std::string> names;
  for (int i = 0; i < 12; ++i) {
    names["/home/u/work/project-" + std::to_string(i)] = "project-" + std::to_string(i % 8);
  }
  return names;
}

void BM_Summarize(benchmark::State& state) {
  const IndexStore::Tally tally = fifteenDays(static_cast<int>(state.range(0)));
  const auto names = folderNames();
  const PriceTable prices = PriceTable::builtIn();
  for (auto _ : state) {
    Aggregate summary = summarize(tally, names, 0, Date(now), prices);
    benchmark::DoNotOptimize(summary);
  }
  state.counters["buckets"] = static_cast<double>(tally.size());
}
BENCHMARK(BM_Summarize)->Arg(3)->Arg(10)->Unit(benchmark::kMillisecond);

void BM_GroupSessionUsage(benchmark::State& state) {
  const IndexStore::Tally tally = fifteenDays(static_cast<int>(state.range(0)));
  const PriceTable prices = PriceTable::builtIn();
  for (auto _ : state) {
    auto rows = PlanMath::groupSessionUsage(tally, Date(now), UsageSettings{}, prices);
    benchmark::DoNotOptimize(rows);
  }
  state.counters["buckets"] = static_cast<double>(tally.size());
}
BENCHMARK(BM_GroupSessionUsage)->Arg(10)->Unit(benchmark::kMillisecond);

const char* const statusInput =
    R"({"hook_event_name":"Status","session_id":"5f1c3c1e-8a5e-4bf0-9a57-2f0c8f3b2d11","transcript_path":"/home/u/.claude/projects/-home-u-work-project-1/5f1c3c1e-8a5e-4bf0-9a57-2f0c8f3b2d11.jsonl","cwd":"/home/u/work/project-1","model":{"id":"claude-opus-4-5-20251101","display_name":"Opus 4.5"},"workspace":{"current_dir":"/home/u/work/project-1","project_dir":"/home/u/work/project-1"},"version":"2.1.331","output_style":{"name":"default"},"cost":{"total_cost_usd":3.1416,"total_duration_ms":812345,"total_api_duration_ms":401234,"total_lines_added":512,"total_lines_removed":77},"exceeds_200k_tokens":false,"context_window":{"context_window_size":200000,"used_percentage":41.5,"remaining_percentage":58.5},"rate_limits":{"five_hour":{"used_percentage":42,"resets_at":1796725800},"seven_day":{"used_percentage":18,"resets_at":1797152400}}})";

// The plugin's sections as a busy desktop app fills them: forty sidebar sessions.
std::string pluginState() {
  nlohmann::json sessions = nlohmann::json::array();
  for (int i = 0; i < 40; ++i) {
    sessions.push_back({{"sessionId", "session-" + std::to_string(i)},
                        {"title", "Work on part " + std::to_string(i)},
                        {"cwd", "/home/u/work/project-" + std::to_string(i % 12)},
                        {"isRunning", i % 5 == 0},
                        {"lastActivityAt", (now - int64_t{i} * 600) * 1000},
                        {"group", {{"name", "Group " + std::to_string(i % 4)}}}});
  }
  return nlohmann::json{{"at", (now - 60) * 1000},
                        {"version", "0.4.1"},
                        {"app", {{"status", "ok"}, {"text", R"({"plan":{"status":"ok"}})"}}},
                        {"sessions", {{"status", "ok"}, {"text", sessions.dump()}}}}
      .dump();
}

void BM_StatusLineRound(benchmark::State& state) {
  char pattern[] = "/tmp/plan-bench-XXXXXX";
  if (!mkdtemp(pattern)) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::string folder = pattern;
  const ClaudePaths paths{folder, folder + "/config", folder + "/app", folder + "/support"};
  Files::createDirectories(folder + "/support/connector");
  Files::create(paths.connectorFile(), pluginState());
  double at = now;
  for (auto _ : state) {
    const auto input = StatusLine::parse(statusInput);
    StatusLine::capture(*input, paths, Date(at += 1));
    const auto connector = ConnectorState::load(paths.connectorFile(), Date(at), false);
    std::string line = StatusLine::render(*input, connector, Date(at), "working");
    benchmark::DoNotOptimize(line);
  }
  std::error_code error;
  std::filesystem::remove_all(folder, error);
}
BENCHMARK(BM_StatusLineRound)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tessel

BENCHMARK_MAIN();
