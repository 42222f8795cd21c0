// First and repeated refreshes of the transcript readers over a projects tree, as the
// live view does them: `readers_bench <config-folder>` where the folder holds projects/
// (make_projects writes one). Each first refresh runs once on a fresh reader; repeated
// refreshes are the median of several.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "claude/command_index.h"
#include "claude/session_history.h"
#include "claude/transcript.h"
#include "util/files.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename Work>
double secondsFor(Work&& work) {
  const auto start = Clock::now();
  work();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

template <typename Work>
double medianSecondsFor(int runs, Work&& work) {
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) times.push_back(secondsFor(work));
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// Bytes of the transcripts modified within `days` of `now` that a first read takes in,
// at most `cap` bytes of each.
double bytesWithin(const std::vector<std::string>& files, tessel::Date now, double days,
                   uint64_t cap) {
  double total = 0;
  for (const auto& path : files) {
    const auto attributes = tessel::Files::attributes(path);
    if (attributes && attributes->modified > now - days * 86400) {
      total += static_cast<double>(std::min(attributes->size, cap));
    }
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tessel;
  if (argc < 2) {
    std::fprintf(stderr, "usage: readers_bench <config-folder>\n");
    return 2;
  }
  const ClaudePaths paths{argv[1], argv[1], "", ""};
  const Date now = Date::now();
  const auto all = Transcript::files(paths, true);
  const auto sessions = Transcript::files(paths, false);
  std::printf("%zu transcripts (%zu with sub-agents')\n", sessions.size(), all.size());

  CommandIndex index(nullptr, now);
  const double commandBytes =
      bytesWithin(all, now, CommandIndex::keepDays, CommandIndex::firstReadBytes);
  const double first = secondsFor([&] { index.refresh(paths, now); });
  std::printf("CommandIndex first refresh: %.3f s, %.0f MB read, %.2f GB/s, %zu calls\n", first,
              commandBytes / 1e6, commandBytes / first / 1e9, index.all().size());
  const double again = medianSecondsFor(9, [&] { index.refresh(paths, now); });
  std::printf("CommandIndex unchanged refresh: %.2f ms (%zu files)\n", again * 1e3, all.size());

  SessionHistory history(nullptr);
  const double historyBytes = bytesWithin(sessions, now, SessionHistory::keepDays, UINT64_MAX);
  double firstRefresh = 0;
  double scan = 0;
  int refreshes = 0;
  // A first scan reads at most 8 MiB of each file per refresh; it is done when a refresh
  // finds nothing new.
  for (uint64_t before = UINT64_MAX;;) {
    const double took = secondsFor([&] { history.refresh(paths, now, 0); });
    if (refreshes == 0) firstRefresh = took;
    uint64_t offsets = 0;
    for (const auto& session : history.all()) offsets += session.offset;
    if (offsets == before) break;
    before = offsets;
    scan += took;
    ++refreshes;
  }
  std::printf(
      "SessionHistory first scan: %.3f s over %d refreshes (first %.3f s), %.0f MB, %.2f GB/s, "
      "%zu sessions\n",
      scan, refreshes, firstRefresh, historyBytes / 1e6, historyBytes / scan / 1e9,
      history.all().size());
  const double rescan = medianSecondsFor(9, [&] { history.refresh(paths, now, 0); });
  std::printf("SessionHistory unchanged rescan: %.2f ms (%zu files)\n", rescan * 1e3,
              sessions.size());
  return 0;
}
