// A Claude Code projects folder of a chosen size, for measuring the transcript readers on
// a heavy user's machine:
//
//   make_projects <output-folder> <megabytes> [seed] [now-seconds]
//
// writes <output-folder>/projects/<project-dir>/<session>.jsonl, and sub-agent files under
// <project-dir>/<session>/subagents/, each file dated by its last line. A seed and a time
// base name one tree: the same bytes on every run, however many threads write it (the time
// base only moves the dates; it defaults to now). Transcript sizes follow a heavy user's:
// many small sessions, some of several megabytes, a few of tens, most bytes in tool results.
#include "projects_tree.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tree/project.h"
#include "tree/random.h"
#include "tree/session_writer.h"
#include "tree/text.h"
#include "tree/units.h"
#include "tree/vocabulary.h"

namespace tessel::bench {
namespace {

std::vector<Project> makeProjects(size_t count, Random& random) {
  static const char* const names[] = {
      "shop",         "tessel",   "api-gateway", "ml_pipeline", "site.io",     "infra",
      "mobile-app",   "docs",     "data-tools",  "game_engine", "blog",        "payments",
      "auth-service", "cli",      "dotfiles",    "notebooks",   "compiler",    "search",
      "scheduler",    "frontend", "billing",     "etl.jobs",    "chat-server", "kernel_mods",
      "website-v2",   "monorepo", "analytics",   "sdk-python",  "router",      "ledger"};
  static const char* const directories[] = {
      "src", "src/api", "src/components", "lib",     "tests", "core", "app", "server",
      "cmd", "scripts", "internal/store", "src/util"};
  std::vector<Project> projects;
  for (size_t i = 0; i < count; ++i) {
    Project project;
    std::string name = names[i % std::size(names)];
    if (i >= std::size(names)) {
      name += '-';
      name += std::to_string(i / std::size(names) + 1);
    }
    std::string cwd;
    const uint64_t shape = random.below(10);
    if (shape < 5) {
      cwd = "/home/dev/src/" + name;
    } else if (shape < 7) {
      cwd = "/home/dev/work/acme/" + name;
    } else if (shape < 8) {
      cwd = "/home/dev/src/" + name + "/.claude/worktrees/" + fill("@v-@n", random);
    } else if (shape < 9) {
      cwd = "/home/dev/Projects/My " + capitalized(name);
    } else {
      cwd = "/workspaces/" + name;
    }
    project.dir = projectDirName(cwd);
    project.cwd = escaped(cwd);
    project.language = static_cast<Language>(random.below(languageCount));
    const auto fileCount = static_cast<size_t>(random.between(30, 200));
    for (size_t f = 0; f < fileCount; ++f) {
      std::string path = cwd + "/" + random.pick(directories) + "/" +
                         fill(project.language == typescript ? "@f" : "@s", random) + "." +
                         kExtensions[project.language];
      project.files.push_back(escaped(path));
    }
    project.branches = {"main", "main", "HEAD", fill("feat/@v-@n", random),
                        "fix/issue-" + std::to_string(random.between(100, 9999))};
    projects.push_back(std::move(project));
  }
  return projects;
}

struct SessionPlan {
  uint64_t bytes = 0;
  size_t project = 0;
  uint64_t seed = 0;
};

// Session sizes adding up to `total`: mostly small, some of several megabytes, a few
// of tens. The first is a big one so that even a small tree has one.
std::vector<SessionPlan> planSessions(uint64_t total, size_t projectCount, Random& random) {
  constexpr uint64_t smallest = 20 * kKiB;
  std::vector<double> weights;
  double weightSum = 0;
  for (size_t i = 0; i < projectCount; ++i) {
    weights.push_back(1 / std::pow(static_cast<double>(i + 1), 0.8));
    weightSum += weights.back();
  }
  std::vector<SessionPlan> plan;
  uint64_t remaining = total;
  while (remaining > 0) {
    double size = 0;
    const double u = random.unit();
    if (plan.empty()) {
      size = std::min(random.logUniform(20.0 * kMiB, 40.0 * kMiB), total / 3.0);
    } else if (u < 0.82) {
      size = random.logUniform(smallest, 500.0 * kKiB);
    } else if (u < 0.89) {
      size = random.logUniform(500.0 * kKiB, 2.0 * kMiB);
    } else if (u < 0.99) {
      size = random.logUniform(2.0 * kMiB, 10.0 * kMiB);
    } else {
      size = random.logUniform(20.0 * kMiB, 40.0 * kMiB);
    }
    auto bytes = std::max<uint64_t>(static_cast<uint64_t>(size), std::min(smallest, remaining));
    if (bytes > remaining || remaining - bytes < smallest) bytes = remaining;
    remaining -= bytes;
    SessionPlan session;
    session.bytes = bytes;
    double point = random.unit() * weightSum;
    for (size_t i = 0; i < projectCount; ++i) {
      session.project = i;
      point -= weights[i];
      if (point < 0) break;
    }
    session.seed = random.next();
    plan.push_back(session);
  }
  return plan;
}

}  // namespace

bool writeProjectsTree(const TreeOptions& options, TreeStats& totals) {
  namespace fs = std::filesystem;
  const std::string projectsPath = options.output + "/projects";
  std::error_code error;
  if (fs::exists(projectsPath, error) && !fs::is_empty(projectsPath, error)) {
    std::fprintf(stderr, "make_projects: %s is not empty; remove it first\n", projectsPath.c_str());
    return false;
  }
  fs::create_directories(projectsPath, error);
  if (error) {
    std::fprintf(stderr, "make_projects: cannot create %s: %s\n", projectsPath.c_str(),
                 error.message().c_str());
    return false;
  }
  Random random(mix(options.seed, 0x70726f6a));
  const Pools pools(random);
  // The plan first, then projects for it: the session count bounds the project count.
  Random planRandom(mix(options.seed, 0x706c616e));
  const size_t wantedProjects = static_cast<size_t>(planRandom.between(20, 60));
  const auto plan = planSessions(options.bytes, wantedProjects, planRandom);
  const std::vector<Project> projects =
      makeProjects(std::max<size_t>(1, std::min(wantedProjects, plan.size())), random);
  for (const Project& project : projects) fs::create_directories(projectsPath + "/" + project.dir);

  unsigned threads = options.threads;
  if (threads == 0) threads = std::clamp(std::thread::hardware_concurrency(), 1U, 8U);
  std::atomic<size_t> next{0};
  std::mutex totalsLock;
  const auto work = [&] {
    TreeStats stats;
    for (size_t i = next++; i < plan.size(); i = next++) {
      const SessionPlan& session = plan[i];
      const Project& project = projects[session.project % projects.size()];
      const SessionWriter::Setting setting{pools, project, projectsPath + "/" + project.dir,
                                           options.nowMs};
      Random sessionRandom(session.seed);
      SessionWriter writer(setting, sessionRandom, stats, session.bytes);
      writer.writeSession();
    }
    const std::lock_guard guard(totalsLock);
    totals.add(stats);
  };
  std::vector<std::thread> workers;
  for (unsigned i = 1; i < threads; ++i) workers.emplace_back(work);
  work();
  for (std::thread& worker : workers) worker.join();
  return true;
}

int64_t nowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace tessel::bench
