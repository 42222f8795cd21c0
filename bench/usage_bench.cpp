// Cost of the usage scanner on a heavy user's projects tree: the first refresh, which
// reads every transcript; a refresh that finds nothing new, which the monitor pays on
// every poll; and the memory the scanner holds once it has read the tree.
//
//   usage_bench [--tree=<folder>] [benchmark flags]
//
// <folder> holds projects/ as make_projects writes it; without it a small tree is made in
// a temporary folder and removed afterwards. The files are read once before the runs, so
// that the page cache is warm and the figures are the scanner's own. "Now" is a minute
// after the newest file was written, so a tree made days ago counts as it did then.
// The totals counted are printed for comparing with bench/usage_reference.py.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "process_memory.h"
#include "projects_tree.h"
#include "usage/usage_scanner.h"

namespace tessel {
namespace {

constexpr uint64_t unbounded = std::numeric_limits<uint64_t>::max();

struct Tree {
  ClaudePaths paths;
  uint64_t bytes = 0;
  uint64_t files = 0;
  Date now{};
};

Tree tree;  // filled in by main before the runs

double modifiedSeconds(const struct stat& info) {
  return static_cast<double>(info.st_mtim.tv_sec) + static_cast<double>(info.st_mtim.tv_nsec) / 1e9;
}

bool survey(const std::string& folder) {
  namespace fs = std::filesystem;
  tree.paths.configDir = folder;
  std::error_code error;
  std::vector<char> buffer(1 << 20);
  double newest = 0;
  for (fs::recursive_directory_iterator entry(tree.paths.projectsDir(), error), end;
       !error && entry != end; entry.increment(error)) {
    const std::string path = entry->path().string();
    if (entry->is_directory(error)) {
      // A tree written just now has folders younger than its files, whose dates the
      // generator sets in the past; the scanner lists again any folder changed after
      // "now", so "now" must follow them too.
      struct stat info {};
      if (::stat(path.c_str(), &info) == 0) newest = std::max(newest, modifiedSeconds(info));
      continue;
    }
    if (!entry->is_regular_file(error) || entry->path().extension() != ".jsonl") continue;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    ssize_t n = 0;
    while ((n = ::read(fd, buffer.data(), buffer.size())) > 0) {
      tree.bytes += static_cast<uint64_t>(n);
    }
    struct stat info {};
    ::fstat(fd, &info);
    ::close(fd);
    tree.files++;
    newest = std::max(newest, modifiedSeconds(info));
  }
  tree.now = Date(newest + 60);
  return tree.files > 0;
}

IndexStore::Counts total(const IndexStore::Tally& buckets) {
  IndexStore::Counts sum{};
  for (const auto& [key, counts] : buckets) {
    for (size_t i = 0; i < sum.size(); ++i) sum[i] += counts[i];
  }
  return sum;
}

// One scanner that has read the whole tree, shared by the runs that start from there.
UsageScanner& warmScanner() {
  static UsageScanner* scanner = [] {
    auto* made = new UsageScanner();
    made->refresh(tree.paths, tree.now, unbounded);
    return made;
  }();
  return *scanner;
}

// First so that the heap is as the scanner left it, not as earlier runs churned it.
void BM_ResidentAfterScanning(benchmark::State& state) {
  const double before = static_cast<double>(bench::statusKilobytes("VmRSS"));
  for (auto _ : state) benchmark::DoNotOptimize(&warmScanner());
  const double after = static_cast<double>(bench::statusKilobytes("VmRSS"));
  state.counters["rss_MB"] = after / 1024;
  state.counters["growth_MB"] = (after - before) / 1024;
  state.counters["peak_MB"] = static_cast<double>(bench::statusKilobytes("VmHWM")) / 1024;
  const IndexStore::Tally buckets = warmScanner().buckets();
  state.counters["buckets"] = static_cast<double>(buckets.size());
  const IndexStore::Counts sum = total(buckets);
  std::printf(
      "totals: input %lld, output %lld, cache write %lld (1 h: %lld), cache read %lld, "
      "messages %lld\n",
      static_cast<long long>(sum[0]), static_cast<long long>(sum[1]),
      static_cast<long long>(sum[2]), static_cast<long long>(sum[5]),
      static_cast<long long>(sum[3]), static_cast<long long>(sum[4]));
}
BENCHMARK(BM_ResidentAfterScanning)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_FirstRefresh(benchmark::State& state) {
  for (auto _ : state) {
    auto scanner = std::make_unique<UsageScanner>();
    scanner->refresh(tree.paths, tree.now, unbounded);
    state.PauseTiming();
    scanner.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * tree.bytes));
  state.counters["files"] = static_cast<double>(tree.files);
}
BENCHMARK(BM_FirstRefresh)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_UnchangedRefresh(benchmark::State& state) {
  UsageScanner& scanner = warmScanner();
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) scanner.refresh(tree.paths, tree.now, unbounded);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double perCallMs = 1000 * seconds / static_cast<double>(state.iterations());
  state.counters["files"] = static_cast<double>(tree.files);
  state.counters["ms_per_1000_files"] = perCallMs * 1000 / static_cast<double>(tree.files);
}
BENCHMARK(BM_UnchangedRefresh)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace tessel

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::string folder;
  std::vector<char*> rest{argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.starts_with("--tree=")) {
      folder = argument.substr(7);
    } else {
      rest.push_back(argv[i]);
    }
  }
  std::string made;
  if (folder.empty()) {
    char pattern[] = "/tmp/usage-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    made = folder = pattern;
    tessel::bench::TreeOptions options{.output = folder,
                                       .bytes = uint64_t{48} << 20,
                                       .seed = 3,
                                       .nowMs = tessel::bench::nowMillis()};
    tessel::bench::TreeStats stats;
    if (!tessel::bench::writeProjectsTree(options, stats)) return 1;
  }
  if (!tessel::survey(folder)) {
    std::fprintf(stderr, "usage_bench: no transcript under %s/projects\n", folder.c_str());
    return 1;
  }
  std::printf("%llu transcripts, %.1f MiB\n", static_cast<unsigned long long>(tessel::tree.files),
              static_cast<double>(tessel::tree.bytes) / (1024.0 * 1024.0));
  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!made.empty()) {
    std::error_code ignored;
    fs::remove_all(made, ignored);
  }
  return 0;
}
