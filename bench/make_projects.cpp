// make_projects <output-folder> <megabytes> [seed] [now-seconds]: writes a projects tree
// for the transcript readers' benchmarks.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "projects_tree.h"

namespace {
constexpr double kMiB = 1024.0 * 1024.0;
constexpr int64_t kSecondMs = 1000;
}  // namespace

int main(int argc, char** argv) {
  using namespace tessel::bench;
  if (argc < 3 || argc > 5) {
    std::fprintf(stderr, "usage: %s <output-folder> <megabytes> [seed] [now-seconds]\n", argv[0]);
    return 2;
  }
  TreeOptions options;
  options.output = argv[1];
  const double megabytes = std::strtod(argv[2], nullptr);
  if (!(megabytes > 0)) {
    std::fprintf(stderr, "make_projects: the size must be a positive number of megabytes\n");
    return 2;
  }
  options.bytes = static_cast<uint64_t>(megabytes * kMiB);
  if (argc > 3) options.seed = std::strtoull(argv[3], nullptr, 10);
  options.nowMs =
      argc > 4 ? static_cast<int64_t>(std::strtoll(argv[4], nullptr, 10)) * kSecondMs : nowMillis();
  const auto started = std::chrono::steady_clock::now();
  TreeStats stats;
  if (!writeProjectsTree(options, stats)) return 1;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("%" PRIu64 " files (%" PRIu64 " sessions, %" PRIu64 " sub-agent files), %" PRIu64
              " bytes (%.1f MiB, %.1f%% of the target), %" PRIu64 " Bash calls, %" PRIu64
              " tool results (%" PRIu64 " errors), %.1f s\n",
              stats.sessions + stats.subagentFiles, stats.sessions, stats.subagentFiles,
              stats.bytes, static_cast<double>(stats.bytes) / kMiB,
              100.0 * static_cast<double>(stats.bytes) / static_cast<double>(options.bytes),
              stats.bashCalls, stats.toolResults, stats.errors, seconds);
  return 0;
}
