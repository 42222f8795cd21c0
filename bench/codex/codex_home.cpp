#include "codex/codex_home.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "codex/codex_text.h"
#include "tree/text.h"

namespace tessel::bench {
namespace {

namespace fs = std::filesystem;

CodexProject makeProject(size_t index, Random& random, const Pools& pools) {
  static const char* const names[] = {
      "shop",       "tessel",   "api-gateway", "ml_pipeline", "site.io",   "infra",
      "mobile-app", "docs",     "data-tools",  "game_engine", "payments",  "auth-service",
      "cli",        "compiler", "search",      "scheduler",   "frontend",  "billing",
      "etl.jobs",   "ledger",   "router",      "sdk-python",  "analytics", "kernel_mods"};
  static const char* const directories[] = {
      "src", "src/api", "lib", "tests", "core", "app", "cmd", "internal/store", "crates/core/src"};
  CodexProject project;
  std::string name = names[index % std::size(names)];
  if (index >= std::size(names)) name += "-" + std::to_string(index / std::size(names) + 1);
  const uint64_t shape = random.below(10);
  project.cwd = shape < 6   ? "/home/dev/src/" + name
                : shape < 8 ? "/home/dev/work/acme/" + name
                : shape < 9 ? "/home/dev/Projects/My " + capitalized(name)
                            : "/workspaces/" + name;
  project.language = static_cast<Language>(random.below(languageCount));
  const auto fileCount = random.between(20, 120);
  for (int64_t f = 0; f < fileCount; ++f) {
    project.files.push_back(std::string(random.pick(directories)) + "/" +
                            fill(project.language == typescript ? "@f" : "@s", random) + "." +
                            kExtensions[project.language]);
  }
  project.branches = {"main", "main", fill("feat/@v-@n", random),
                      "fix/issue-" + std::to_string(random.between(100, 9999))};
  project.remote = "git@github.com:acme/" + name + ".git";
  project.agentsMd = "# AGENTS.md\\n\\n";
  appendProse(project.agentsMd, pools, static_cast<size_t>(random.between(1500, 5000)), random);
  return project;
}

struct FilePlan {
  Rollout::Plan rollout;
  size_t project = 0;
  uint64_t seed = 0;
  std::string path;
};

Client chooseClient(Random& random) {
  const double draw = random.unit();
  return draw < 0.68   ? Client::cli
         : draw < 0.88 ? Client::vscode
         : draw < 0.96 ? Client::exec
                       : Client::review;
}

// File sizes adding up to `total`: mostly small, some of several megabytes, a few of
// tens. The first two are the sessions at work right now.
std::vector<FilePlan> planFiles(const CodexHomeOptions& options, size_t projectCount,
                                Random& random) {
  constexpr uint64_t smallest = 8 * kKiB;
  std::vector<FilePlan> plan;
  uint64_t remaining = options.bytes;
  while (remaining > 0) {
    const double u = random.unit();
    const double size = u < 0.75    ? random.logUniform(smallest, 400.0 * kKiB)
                        : u < 0.93  ? random.logUniform(400.0 * kKiB, 3.0 * kMiB)
                        : u < 0.995 ? random.logUniform(3.0 * kMiB, 15.0 * kMiB)
                                    : random.logUniform(20.0 * kMiB, 45.0 * kMiB);
    auto bytes = std::max<uint64_t>(static_cast<uint64_t>(size), std::min(smallest, remaining));
    if (bytes > remaining || remaining - bytes < smallest) bytes = remaining;
    remaining -= bytes;
    FilePlan file;
    file.rollout.bytes = bytes;
    file.rollout.client = chooseClient(random);
    // Projects are worked in unevenly: a few get most sessions.
    file.project =
        static_cast<size_t>(std::pow(random.unit(), 2.0) * static_cast<double>(projectCount));
    file.seed = random.next();
    const double megabytes = static_cast<double>(bytes) / kMiB;
    const double spanMs = megabytes < 0.4 ? random.logUniform(2.0 * kMinuteMs, 2.0 * kHourMs)
                          : megabytes < 5 ? random.logUniform(30.0 * kMinuteMs, 8.0 * kHourMs)
                                          : random.logUniform(4.0 * kHourMs, 2.0 * kDayMs);
    int64_t endMs = 0;
    if (plan.size() < 2) {
      endMs = options.nowMs - random.between(1, 60) * kSecondMs;
    } else if (random.chance(0.03)) {
      endMs = options.nowMs - static_cast<int64_t>(random.logUniform(20, 30) * kDayMs);
    } else {
      endMs = options.nowMs - static_cast<int64_t>(random.unit() * 14 * kDayMs);
    }
    auto startMs = endMs - static_cast<int64_t>(spanMs);
    const int64_t earliest = options.nowMs - 14 * kDayMs;
    if (startMs < earliest && endMs > earliest) {
      endMs += earliest - startMs;
      startMs = earliest;
      endMs = std::min(endMs, options.nowMs - kSecondMs);
    }
    file.rollout.startMs = startMs;
    file.rollout.endMs = endMs;
    plan.push_back(std::move(file));
  }
  for (FilePlan& file : plan) {
    Random ids(mix(file.seed, 0x6964));
    file.rollout.id = uuidV7(file.rollout.startMs, ids);
    const LocalNames names = localNames(file.rollout.startMs);
    file.path =
        "sessions/" + names.folder + "/rollout-" + names.stamp + "-" + file.rollout.id + ".jsonl";
  }
  return plan;
}

struct IndexEntry {
  int64_t atMs = 0;
  std::string line;
};

}  // namespace

bool writeCodexHome(const CodexHomeOptions& options, RolloutStats& totals) {
  const std::string sessions = options.output + "/sessions";
  std::error_code error;
  if (fs::exists(sessions, error) && !fs::is_empty(sessions, error)) {
    std::fprintf(stderr, "make_codex_home: %s is not empty; remove it first\n", sessions.c_str());
    return false;
  }
  fs::create_directories(sessions, error);
  if (error) {
    std::fprintf(stderr, "make_codex_home: cannot create %s: %s\n", sessions.c_str(),
                 error.message().c_str());
    return false;
  }
  Random random(mix(options.seed, 0x636f6465));
  const Pools pools(random);
  Random planRandom(mix(options.seed, 0x706c616e));
  const auto projectCount = static_cast<size_t>(planRandom.between(8, 30));
  const std::vector<FilePlan> plan = planFiles(options, projectCount, planRandom);
  std::vector<CodexProject> projects;
  for (size_t i = 0; i < projectCount; ++i) projects.push_back(makeProject(i, random, pools));
  for (const FilePlan& file : plan) {
    fs::create_directories(fs::path(options.output + "/" + file.path).parent_path(), error);
  }

  unsigned threads = options.threads;
  if (threads == 0) threads = std::clamp(std::thread::hardware_concurrency(), 1U, 8U);
  std::atomic<size_t> next{0};
  std::mutex lock;
  std::vector<IndexEntry> index;
  const auto work = [&] {
    RolloutStats stats;
    std::vector<IndexEntry> names;
    for (size_t i = next++; i < plan.size(); i = next++) {
      const FilePlan& file = plan[i];
      Random fileRandom(file.seed);
      FileOut out(options.output + "/" + file.path);
      Rollout rollout(pools, projects[file.project], fileRandom, stats, out.buffer(), &out);
      const int64_t lastMs = rollout.writeFile(file.rollout);
      out.close(lastMs);
      if (rollout.threadName().empty()) continue;
      // Named a little after it started; now and then renamed later.
      const int renames = fileRandom.chance(0.15) ? 2 : 1;
      for (int n = 0; n < renames; ++n) {
        IndexEntry entry;
        entry.atMs = std::min(
            lastMs, file.rollout.startMs + (n + 1) * fileRandom.between(5, 300) * kSecondMs);
        entry.line = "{\"id\":\"" + file.rollout.id + "\",\"thread_name\":\"" +
                     (n == 0 ? rollout.threadName() : fill("@A @n @s", fileRandom)) +
                     "\",\"updated_at\":\"";
        appendUtcNanos(entry.line, entry.atMs, fileRandom.between(0, 999999));
        entry.line += "\"}\n";
        names.push_back(std::move(entry));
        stats.titles++;
      }
    }
    const std::lock_guard guard(lock);
    totals.add(stats);
    for (IndexEntry& entry : names) index.push_back(std::move(entry));
  };
  std::vector<std::thread> workers;
  for (unsigned i = 1; i < threads; ++i) workers.emplace_back(work);
  work();
  for (std::thread& worker : workers) worker.join();

  // The index is appended to as sessions are named, so its lines run oldest first.
  std::sort(index.begin(), index.end(), [](const IndexEntry& a, const IndexEntry& b) {
    return a.atMs != b.atMs ? a.atMs < b.atMs : a.line < b.line;
  });
  FileOut indexFile(options.output + "/session_index.jsonl");
  for (const IndexEntry& entry : index) indexFile.buffer() += entry.line;
  indexFile.close(index.empty() ? options.nowMs : index.back().atMs);
  return true;
}

struct LiveCodexSession::Parts {
  Random random;
  Pools pools;
  CodexProject project;
  RolloutStats stats;
  std::string out;
  Rollout rollout;

  Parts(uint64_t seed, std::string cwd)
      : random(seed),
        pools(random),
        project(makeProject(0, random, pools)),
        rollout(pools, project, random, stats, out, nullptr) {
    project.cwd = std::move(cwd);
  }
};

LiveCodexSession::LiveCodexSession(uint64_t seed, std::string cwd)
    : parts_(std::make_unique<Parts>(seed, std::move(cwd))) {}

LiveCodexSession::~LiveCodexSession() = default;

std::string LiveCodexSession::nextLines(size_t count, int64_t nowMs) {
  parts_->out.clear();
  parts_->rollout.appendLive(count, nowMs);
  return parts_->out;
}

}  // namespace tessel::bench
