// make_codex_home <folder> --bytes=N [--seed=S] [--now=<unix seconds>]: writes a Codex
// home for the Codex index's benchmarks and says what it wrote.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "codex/codex_home.h"

int main(int argc, char** argv) {
  using namespace tessel::bench;
  CodexHomeOptions options;
  options.nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument(argv[i]);
    if (argument.starts_with("--bytes=")) {
      options.bytes = std::strtoull(argv[i] + 8, nullptr, 10);
    } else if (argument.starts_with("--seed=")) {
      options.seed = std::strtoull(argv[i] + 7, nullptr, 10);
    } else if (argument.starts_with("--now=")) {
      options.nowMs = static_cast<int64_t>(std::strtoll(argv[i] + 6, nullptr, 10)) * 1000;
    } else if (argument.starts_with("--threads=")) {
      options.threads = static_cast<unsigned>(std::strtoul(argv[i] + 10, nullptr, 10));
    } else if (options.output.empty() && !argument.starts_with("--")) {
      options.output = argument;
    } else {
      options.output.clear();
      break;
    }
  }
  if (options.output.empty() || options.bytes == 0) {
    std::fprintf(stderr,
                 "usage: %s <folder> --bytes=N [--seed=S] [--now=<unix seconds>] [--threads=T]\n",
                 argv[0]);
    return 2;
  }
  const auto started = std::chrono::steady_clock::now();
  RolloutStats stats;
  if (!writeCodexHome(options, stats)) return 1;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  constexpr double mib = 1024.0 * 1024.0;
  std::printf("%" PRIu64 " rollouts (%" PRIu64 " sub-agents', %" PRIu64 " torn), %" PRIu64
              " bytes (%.1f MiB, %.1f%% of the target), %" PRIu64 " lines (%" PRIu64
              " odd), %" PRIu64 " turns, %" PRIu64 " tool calls (%" PRIu64 " failed), %" PRIu64
              " session names; %.1f s, %.0f MiB/s\n",
              stats.files, stats.subagents, stats.tornFiles, stats.bytes,
              static_cast<double>(stats.bytes) / mib,
              100.0 * static_cast<double>(stats.bytes) / static_cast<double>(options.bytes),
              stats.lines, stats.oddLines, stats.turns, stats.calls, stats.failed, stats.titles,
              seconds, static_cast<double>(stats.bytes) / mib / seconds);
  return 0;
}
