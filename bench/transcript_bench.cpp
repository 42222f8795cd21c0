// Reading tool calls back from a session's transcript: the tails a live view reads on
// every refresh (400 KB) and on opening a session (3 MB), taken from the biggest
// transcript of a projects tree, all calls and commands only; and the latest model.
//
//   transcript_bench [--tree=<folder>] [benchmark flags]
//
// <folder> holds projects/ as make_projects writes it; without it a small tree is made
// in a temporary folder and removed afterwards.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "claude/transcript.h"

// The same generator as make_projects, so the default tree is one of its trees.
#include "projects_tree.h"

namespace tessel {
namespace {

std::string largestTranscript(const std::string& tree) {
  namespace fs = std::filesystem;
  std::string largest;
  uintmax_t largestSize = 0;
  std::error_code error;
  for (fs::recursive_directory_iterator entry(tree + "/projects", error), end;
       !error && entry != end; entry.increment(error)) {
    if (!entry->is_regular_file(error) || entry->path().extension() != ".jsonl") continue;
    const uintmax_t size = entry->file_size(error);
    if (!error && size > largestSize) {
      largestSize = size;
      largest = entry->path().string();
    }
  }
  return largest;
}

// The tails of the largest transcript, by length; filled in by main before the runs.
std::map<int64_t, std::string> tails;

const std::string& tailOf(int64_t bytes) { return tails.at(bytes); }

void BM_TranscriptEvents(benchmark::State& state) {
  const std::string& text = tailOf(state.range(0));
  const bool onlyCommands = state.range(1) != 0;
  const std::optional<std::string> hint("bench-session");
  size_t found = 0;
  for (auto _ : state) {
    auto events = Transcript::events(text, hint, onlyCommands);
    found = events.size();
    benchmark::DoNotOptimize(events);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["events"] = static_cast<double>(found);
}

void BM_TranscriptLastModel(benchmark::State& state) {
  const std::string& text = tailOf(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(Transcript::lastModel(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

constexpr int64_t refreshTail = 400000;
constexpr int64_t openingTail = 3000000;

BENCHMARK(BM_TranscriptEvents)
    ->ArgNames({"tailBytes", "onlyCommands"})
    ->ArgsProduct({{refreshTail, openingTail}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TranscriptLastModel)
    ->ArgNames({"tailBytes"})
    ->Arg(openingTail)
    ->Unit(benchmark::kMicrosecond);

// A tree made for this run goes away on every way out of main.
struct ScratchTree {
  std::string path;
  ScratchTree() = default;
  ScratchTree(const ScratchTree&) = delete;
  ScratchTree& operator=(const ScratchTree&) = delete;
  ~ScratchTree() {
    std::error_code error;
    if (!path.empty()) std::filesystem::remove_all(path, error);
  }
};

}  // namespace
}  // namespace tessel

int main(int argc, char** argv) {
  std::string tree;
  std::vector<char*> arguments;
  for (int i = 0; i < argc; ++i) {
    const std::string_view argument(argv[i]);
    if (i > 0 && argument.starts_with("--tree=")) {
      tree = std::string(argument.substr(7));
    } else {
      arguments.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(arguments.size());
  benchmark::Initialize(&count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;
  tessel::ScratchTree scratch;
  if (tree.empty()) {
    std::string folder = (std::filesystem::temp_directory_path() / "tessel-tree-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
      std::perror("mkdtemp");
      return 1;
    }
    scratch.path = folder;
    tessel::bench::TreeOptions options;
    options.output = folder;
    options.bytes = 48u * 1024 * 1024;
    options.nowMs = tessel::bench::nowMillis();
    tessel::bench::TreeStats stats;
    if (!tessel::bench::writeProjectsTree(options, stats)) return 1;
    tree = folder;
  }
  const std::string path = tessel::largestTranscript(tree);
  if (path.empty()) {
    std::fprintf(stderr, "transcript_bench: no transcript under %s/projects\n", tree.c_str());
    return 1;
  }
  for (const int64_t bytes : {tessel::refreshTail, tessel::openingTail}) {
    auto text = tessel::Transcript::tail(path, static_cast<uint64_t>(bytes));
    if (!text) {
      std::fprintf(stderr, "transcript_bench: cannot read %s\n", path.c_str());
      return 1;
    }
    tessel::tails[bytes] = std::move(*text);
  }
  std::fprintf(stderr, "transcript: %s (%ju bytes)\n", path.c_str(),
               static_cast<uintmax_t>(std::filesystem::file_size(path)));

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
