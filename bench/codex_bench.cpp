// Cost of the Codex index on a heavy user's Codex home: the first refresh, which reads
// every rollout; a refresh that finds nothing new, which the monitor pays on every poll;
// a refresh after a live session appended a hundred lines; and the memory the index holds
// once it has read the home.
//
//   codex_bench [--home=<folder>] [benchmark flags]
//
// <folder> is a $CODEX_HOME as make_codex_home writes it; without it a small one is made
// in a temporary folder and removed afterwards. The home's files are read once before the
// runs, so that the page cache is warm and the figures are the index's own. The live
// session's rollout is put back as it was when the runs end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "codex/codex_home.h"
#include "codex/codex_index.h"
#include "process_memory.h"

namespace tessel {
namespace {

constexpr uint64_t unbounded = std::numeric_limits<uint64_t>::max();
constexpr size_t appendedLines = 100;

struct Home {
  CodexPaths paths;
  uint64_t bytes = 0;
  uint64_t files = 0;
  std::string live;  // the newest rollout, which the append runs write to
  uint64_t liveSize = 0;
  timespec liveModified{};
  std::string liveCwd = "/home/dev/src/tessel";
};

Home home;  // filled in by main before the runs

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The home's rollouts, each read through once: their count and bytes, and the newest.
bool survey(const std::string& folder) {
  namespace fs = std::filesystem;
  home.paths.home = folder;
  std::error_code error;
  std::vector<char> buffer(1 << 20);
  timespec newest{};
  for (fs::recursive_directory_iterator entry(home.paths.sessionsDir(), error), end;
       !error && entry != end; entry.increment(error)) {
    if (!entry->is_regular_file(error) || entry->path().extension() != ".jsonl") continue;
    const std::string path = entry->path().string();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    ssize_t n = 0;
    while ((n = ::read(fd, buffer.data(), buffer.size())) > 0)
      home.bytes += static_cast<uint64_t>(n);
    struct stat info {};
    ::fstat(fd, &info);
    ::close(fd);
    home.files++;
    const timespec modified = info.st_mtim;
    if (modified.tv_sec > newest.tv_sec ||
        (modified.tv_sec == newest.tv_sec && modified.tv_nsec > newest.tv_nsec)) {
      newest = modified;
      home.live = path;
      home.liveSize = static_cast<uint64_t>(info.st_size);
    }
  }
  home.liveModified = newest;
  if (home.live.empty()) return false;
  std::ifstream first(home.live);
  std::string line;
  if (std::getline(first, line)) {
    const auto meta = nlohmann::json::parse(line, nullptr, false);
    if (meta.is_object() && meta.contains("payload") && meta["payload"].contains("cwd") &&
        meta["payload"]["cwd"].is_string()) {
      home.liveCwd = meta["payload"]["cwd"].get<std::string>();
    }
  }
  return true;
}

// The live rollout as it was before the append runs.
void restoreLive() {
  if (home.live.empty()) return;
  if (::truncate(home.live.c_str(), static_cast<off_t>(home.liveSize)) != 0) {
    std::perror("truncate");
  }
  const timespec times[2] = {home.liveModified, home.liveModified};
  ::utimensat(AT_FDCWD, home.live.c_str(), times, 0);
}

// One index that has read the whole home, shared by the runs that start from there.
CodexIndex& warmIndex() {
  static CodexIndex* index = [] {
    auto* made = new CodexIndex();
    made->refresh(home.paths, Date::now(), 0, unbounded);
    return made;
  }();
  return *index;
}

// First so that the heap is as the index left it, not as earlier runs churned it. The
// index is kept while memory is read, as the monitor keeps it.
void BM_ResidentAfterIndexing(benchmark::State& state) {
  const double before = static_cast<double>(bench::statusKilobytes("VmRSS"));
  for (auto _ : state) {
    CodexIndex& index = warmIndex();
    benchmark::DoNotOptimize(&index);
  }
  const double after = static_cast<double>(bench::statusKilobytes("VmRSS"));
  state.counters["rss_MB"] = after / 1024;
  state.counters["growth_MB"] = (after - before) / 1024;
  state.counters["peak_MB"] = static_cast<double>(bench::statusKilobytes("VmHWM")) / 1024;
  state.counters["sessions"] = static_cast<double>(warmIndex().allSessions().size());
  state.counters["commands"] = static_cast<double>(warmIndex().allCommands().size());
}
BENCHMARK(BM_ResidentAfterIndexing)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_FirstRefresh(benchmark::State& state) {
  size_t sessions = 0;
  for (auto _ : state) {
    auto index = std::make_unique<CodexIndex>();
    index->refresh(home.paths, Date::now(), 0, unbounded);
    state.PauseTiming();
    sessions = index->allSessions().size();
    index.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * home.bytes));
  state.counters["files"] = static_cast<double>(home.files);
  state.counters["sessions"] = static_cast<double>(sessions);
}
BENCHMARK(BM_FirstRefresh)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_UnchangedRefresh(benchmark::State& state) {
  CodexIndex& index = warmIndex();
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) index.refresh(home.paths, Date::now(), 0, unbounded);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double perCallMs = 1000 * seconds / static_cast<double>(state.iterations());
  state.counters["files"] = static_cast<double>(home.files);
  state.counters["ms_per_1000_files"] = perCallMs * 1000 / static_cast<double>(home.files);
}
BENCHMARK(BM_UnchangedRefresh)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Codex appends a turn's lines as it works; each refresh finds them in one rollout.
void appendThenRefresh(benchmark::State& state, CodexIndex& index, const CodexPaths& paths,
                       const std::string& rollout) {
  static bench::LiveCodexSession live(7, home.liveCwd);
  const int fd = ::open(rollout.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    state.SkipWithError("cannot open the live rollout");
    return;
  }
  uint64_t appended = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string lines = live.nextLines(appendedLines, nowMs());
    if (::write(fd, lines.data(), lines.size()) != static_cast<ssize_t>(lines.size())) {
      state.SkipWithError("cannot append to the live rollout");
      break;
    }
    appended += lines.size();
    state.ResumeTiming();
    index.refresh(paths, Date::now(), 0, unbounded);
  }
  ::close(fd);
  state.counters["appended_bytes"] =
      static_cast<double>(appended) / static_cast<double>(std::max<int64_t>(1, state.iterations()));
}

// The whole refresh the monitor pays while one session works: every rollout statted, the
// new lines of one read.
void BM_AppendThenRefresh(benchmark::State& state) {
  appendThenRefresh(state, warmIndex(), home.paths, home.live);
}
// A fixed count: each iteration grows the rollout by a turn's worth, about 100 KB.
BENCHMARK(BM_AppendThenRefresh)->Iterations(500)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The reading of the appended lines alone: a home holding only a copy of the live
// rollout, so that the walk costs one stat.
void BM_AppendedLinesRead(benchmark::State& state) {
  namespace fs = std::filesystem;
  const fs::path alone =
      fs::temp_directory_path() / ("tessel-codex-alone-" + std::to_string(::getpid()));
  const fs::path copy = alone / "sessions" / fs::path(home.live).filename();
  std::error_code error;
  fs::create_directories(copy.parent_path(), error);
  fs::copy_file(home.live, copy, fs::copy_options::overwrite_existing, error);
  if (error || ::truncate(copy.c_str(), static_cast<off_t>(home.liveSize)) != 0) {
    state.SkipWithError("cannot copy the live rollout");
    return;
  }
  CodexPaths paths;
  paths.home = alone.string();
  CodexIndex index;
  index.refresh(paths, Date::now(), 0, unbounded);
  appendThenRefresh(state, index, paths, copy.string());
  fs::remove_all(alone, error);
}
BENCHMARK(BM_AppendedLinesRead)->Iterations(500)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The live rollout goes back as it was on every way out of the runs.
struct LiveRestorer {
  LiveRestorer() = default;
  LiveRestorer(const LiveRestorer&) = delete;
  LiveRestorer& operator=(const LiveRestorer&) = delete;
  ~LiveRestorer() { restoreLive(); }
};

// A home made for this run goes away on every way out of main.
struct ScratchHome {
  std::string path;
  ScratchHome() = default;
  ScratchHome(const ScratchHome&) = delete;
  ScratchHome& operator=(const ScratchHome&) = delete;
  ~ScratchHome() {
    std::error_code error;
    if (!path.empty()) std::filesystem::remove_all(path, error);
  }
};

int run(int argc, char** argv) {
  std::string folder;
  std::vector<char*> arguments;
  for (int i = 0; i < argc; ++i) {
    const std::string_view argument(argv[i]);
    if (i > 0 && argument.starts_with("--home=")) {
      folder = std::string(argument.substr(7));
    } else {
      arguments.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(arguments.size());
  benchmark::Initialize(&count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;
  ScratchHome scratch;
  if (folder.empty()) {
    folder = (std::filesystem::temp_directory_path() / "tessel-codex-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
      std::perror("mkdtemp");
      return 1;
    }
    scratch.path = folder;
    bench::CodexHomeOptions options;
    options.output = folder;
    options.bytes = 64 * bench::kMiB;
    options.nowMs = nowMs();
    bench::RolloutStats stats;
    if (!bench::writeCodexHome(options, stats)) return 1;
  }
  if (!survey(folder)) {
    std::fprintf(stderr, "codex_bench: no rollout under %s/sessions\n", folder.c_str());
    return 1;
  }
  std::fprintf(stderr, "home: %s, %ju rollouts, %ju bytes; live: %s\n", folder.c_str(),
               static_cast<uintmax_t>(home.files), static_cast<uintmax_t>(home.bytes),
               home.live.c_str());

  const LiveRestorer restorer;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace
}  // namespace tessel

int main(int argc, char** argv) {
  try {
    return tessel::run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "codex_bench: %s\n", error.what());
    return 1;
  }
}
