// Reading hook logs back: a day file of 100 000 lines read from scratch, and the
// incremental read of 100 lines appended to it, as a live view does on every refresh.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "hook/hook_log_reader.h"

namespace tessel {
namespace {

const Date now(1741341600.0);

// Realistic lines: tool calls of a few sessions, their ends, session events.
std::string generatedLines(size_t count, size_t seed) {
  static const char* tools[] = {
      "Bash", "Read", "Edit", "Grep", "Glob", "Write", "mcp__tracker__create_issue"};
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    const size_t n = seed + i;
    const std::string tool = tools[n % 7];
    const std::string id = "toolu_01" + std::to_string(n * 7919);
    const double t = (now - 3600 + static_cast<double>(i) * 0.01).millisSince1970();
    HookRecord record{t,
                      n % 2 == 0 ? "PreToolUse" : "PostToolUse",
                      "8d0c7b3e-61a4-4f6e-" + std::to_string(n % 5),
                      tool,
                      id,
                      "cd /home/dev/src/shop && npm run test -- --coverage " + std::to_string(n),
                      "/home/dev/src/shop",
                      40000 + static_cast<int32_t>(n % 5)};
    if (n % 50 == 0) record = HookRecord{t, "UserPromptSubmit", "8d0c7b3e-61a4-4f6e-1"};
    text += *record.encode() + "\n";
  }
  return text;
}

std::string scratchFile() {
  std::string dir = (std::filesystem::temp_directory_path() / "tessel-bench-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) std::abort();
  return dir + "/events.jsonl";
}

void BM_HookLogReaderFirstRead100kLines(benchmark::State& state) {
  const std::string path = scratchFile();
  std::ofstream(path, std::ios::binary) << generatedLines(100000, 0);
  for (auto _ : state) {
    HookLogReader reader("host");
    benchmark::DoNotOptimize(reader.refresh(std::vector<std::string>{path}, now));
  }
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * std::filesystem::file_size(path)));
  std::filesystem::remove_all(std::filesystem::path(path).parent_path());
}

void BM_HookLogReaderIncremental100Lines(benchmark::State& state) {
  const std::string path = scratchFile();
  std::ofstream(path, std::ios::binary) << generatedLines(100000, 0);
  HookLogReader reader("host");
  reader.refresh(std::vector<std::string>{path}, now);
  size_t seed = 100000;
  for (auto _ : state) {
    state.PauseTiming();
    std::ofstream(path, std::ios::binary | std::ios::app) << generatedLines(100, seed);
    seed += 100;
    state.ResumeTiming();
    benchmark::DoNotOptimize(reader.refresh(std::vector<std::string>{path}, now));
  }
  std::filesystem::remove_all(std::filesystem::path(path).parent_path());
}

BENCHMARK(BM_HookLogReaderFirstRead100kLines)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HookLogReaderIncremental100Lines)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tessel

namespace tessel {
namespace {

void BM_HookLogReaderUnchanged(benchmark::State& state) {
  const std::string path = scratchFile();
  std::ofstream(path, std::ios::binary) << generatedLines(static_cast<size_t>(state.range(0)), 0);
  HookLogReader reader("host");
  reader.refresh(std::vector<std::string>{path}, now);
  for (auto _ : state)
    benchmark::DoNotOptimize(reader.refresh(std::vector<std::string>{path}, now));
  std::filesystem::remove_all(std::filesystem::path(path).parent_path());
}
BENCHMARK(BM_HookLogReaderUnchanged)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tessel
