// Cost of one process snapshot on a busy machine: parsing `ps` output of 2000 processes,
// indexing it, and the tree walks the activity model runs over it on every refresh; and
// taking the table of this machine itself, in process and through `ps`, with and without
// a crowd of extra processes.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "environments/process_table.h"
#include "environments/shell.h"
#include "util/calendar.h"

extern char** environ;

namespace tessel {
namespace {

constexpr int lineCount = 2000;
const Date bootTime = Date(1796420280);  // a Friday evening in December 2026

struct Machine {
  std::string output;
  int32_t agentPid = 0;    // a coding agent with a few dozen processes below it
  int32_t deepestPid = 0;  // the end of the longest parent chain
  int deepest = 0;
};

std::string longArguments(std::mt19937& random) {
  std::string text;
  const int count = std::uniform_int_distribution<int>(4, 30)(random);
  for (int i = 0; i < count; ++i) {
    text += " --feature-" + std::to_string(random() % 1000) + "=value" +
            std::to_string(random() % 100000);
  }
  return text;
}

std::string command(std::mt19937& random, int kind) {
  static const char* daemons[] = {"/usr/lib/systemd/systemd-journald",
                                  "/usr/sbin/cron -f",
                                  "/usr/sbin/sshd -D",
                                  "/usr/bin/dbus-daemon --system --address=systemd: --nofork",
                                  "/usr/lib/polkit-1/polkitd --no-debug",
                                  "/usr/sbin/rsyslogd -n -iNONE"};
  switch (kind) {
    case 0:
      return "[kworker/u8:" + std::to_string(random() % 64) + "-events_unbound]";
    case 1:
      return daemons[random() % std::size(daemons)];
    case 2:
      return "/opt/browser/browser --type=renderer --lang=en-US --renderer-client-id=" +
             std::to_string(random() % 500) + longArguments(random);
    case 3:
      return "node /home/dev/.local/lib/node_modules/tool/cli.js  --watch   src/" +
             std::to_string(random() % 90);
    case 4:
      return "/usr/bin/python3 -m pytest tests/test_" + std::to_string(random() % 300) +
             ".py -k 'slow and not  flaky'";
    default:
      return "-bash";
  }
}

// 2000 lines the way procps lays them out: right-aligned numbers, a space-padded day,
// kernel threads all started in the boot second, everything else spread over two days,
// and a parent tree with a few long chains.
Machine generate(bool distinctStarts) {
  std::mt19937 random(7);
  Machine machine;
  // Candidate parents: user processes outside the agent, and the agent's own tree.
  std::vector<int32_t> userPids, agentPids;
  std::unordered_map<int32_t, int> depthOf{{0, 0}};
  int32_t pid = 0;
  char line[4096];
  for (int i = 0; i < lineCount; ++i) {
    int32_t ppid = 0;
    int kind = 1;
    if (i < 2) {
      pid = i + 1;  // init and the kernel thread parent
      kind = i == 0 ? 1 : 0;
    } else if (i < 300) {
      pid += 1 + static_cast<int32_t>(random() % 3);
      ppid = 2;
      kind = 0;
    } else {
      pid += 1 + static_cast<int32_t>(random() % 7);
      if (i == 1000) {
        ppid = userPids.back();
        kind = 3;
        machine.agentPid = pid;
      } else if (i > 1000 && i <= 1040) {
        ppid = agentPids[agentPids.size() - 1 - random() % agentPids.size()];
        kind = 2 + static_cast<int>(random() % 4);
      } else {
        // Mostly below a long-lived session process, sometimes below a recent one,
        // which grows a few chains a dozen or more deep.
        const size_t count = userPids.size();
        ppid = random() % 3 == 0 ? userPids[count - 1 - random() % std::min<size_t>(count, 8)]
                                 : userPids[random() % std::min<size_t>(count, 60)];
        kind = 1 + static_cast<int>(random() % 5);
      }
    }
    const int depth = depthOf[ppid] + 1;
    depthOf[pid] = depth;
    if (kind != 0) (i >= 1000 && i <= 1040 ? agentPids : userPids).push_back(pid);
    if (depth > machine.deepest) {
      machine.deepest = depth;
      machine.deepestPid = pid;
    }
    const double offset = distinctStarts ? i * 61.0
                          : kind == 0    ? 0.0
                                         : static_cast<double>(random() % 172800);
    const std::string started = Calendar::formatLocal(bootTime + offset, "%a %b %e %H:%M:%S %Y");
    const double cpu = (random() % 20 == 0) ? static_cast<double>(random() % 3000) / 10 : 0.0;
    char cpuText[16];
    if (cpu >= 100) {
      snprintf(cpuText, sizeof cpuText, "%d", static_cast<int>(cpu));
    } else {
      snprintf(cpuText, sizeof cpuText, "%.1f", cpu);
    }
    const long long rss = kind == 0 ? 0 : static_cast<long long>(random() % 2000000);
    const int uid = kind <= 1 ? 0 : 1000;
    snprintf(line, sizeof line, "%5d %5d %5d %4s %5lld %s %s\n", pid, ppid, uid, cpuText, rss,
             started.c_str(), command(random, kind).c_str());
    machine.output += line;
  }
  return machine;
}

const Machine& machine() {
  static const Machine generated = generate(false);
  return generated;
}

void parse(benchmark::State& state, bool distinctStarts) {
  const std::string output = distinctStarts ? generate(true).output : machine().output;
  size_t parsed = 0;
  for (auto _ : state) {
    auto entries = ProcessTable::parse(output);
    parsed = entries.size();
    benchmark::DoNotOptimize(entries);
  }
  if (parsed != lineCount) state.SkipWithError("lines were dropped");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * output.size()));
  state.counters["lines"] = static_cast<double>(parsed);
}
BENCHMARK_CAPTURE(parse, realistic, false)->Unit(benchmark::kMicrosecond);
// Every process started in a second of its own: the calendar runs on every line.
BENCHMARK_CAPTURE(parse, distinctStarts, true)->Unit(benchmark::kMicrosecond);

void buildTable(benchmark::State& state) {
  const std::vector<ProcessEntry> entries = ProcessTable::parse(machine().output);
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<ProcessEntry> copy = entries;
    state.ResumeTiming();
    ProcessTable table(Date(0), std::move(copy));
    benchmark::DoNotOptimize(table);
  }
}
BENCHMARK(buildTable)->Unit(benchmark::kMicrosecond);

const ProcessTable& table() {
  static const ProcessTable built(Date(0), ProcessTable::parse(machine().output));
  return built;
}

void descendantsOfAnAgent(benchmark::State& state) {
  size_t found = 0;
  for (auto _ : state) {
    auto below = table().descendants(machine().agentPid);
    found = below.size();
    benchmark::DoNotOptimize(below);
  }
  state.counters["processes"] = static_cast<double>(found);
}
BENCHMARK(descendantsOfAnAgent)->Unit(benchmark::kMicrosecond);

void descendantsOfInit(benchmark::State& state) {
  size_t found = 0;
  for (auto _ : state) {
    auto below = table().descendants(1);
    found = below.size();
    benchmark::DoNotOptimize(below);
  }
  state.counters["processes"] = static_cast<double>(found);
}
BENCHMARK(descendantsOfInit)->Unit(benchmark::kMicrosecond);

// The deepest process looking for agents that are none of its ancestors: the longest walk.
void ancestorNotFound(benchmark::State& state) {
  const std::unordered_set<int32_t> agents{-5, -6, -7, -8};
  for (auto _ : state) {
    benchmark::DoNotOptimize(table().ancestor(machine().deepestPid, agents));
  }
  state.counters["depth"] = machine().deepest;
}
BENCHMARK(ancestorNotFound);

// Every process of the machine asking for its agent, as one refresh of the activity model may.
void ancestorOfEveryProcess(benchmark::State& state) {
  const std::unordered_set<int32_t> agents{machine().agentPid};
  std::vector<int32_t> pids;
  for (const auto& [pid, entry] : table().byPID) pids.push_back(pid);
  for (auto _ : state) {
    int found = 0;
    for (const int32_t pid : pids) found += table().ancestor(pid, agents).has_value();
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(ancestorOfEveryProcess)->Unit(benchmark::kMicrosecond);

// `count` sleeping children for the length of one benchmark, killed and reaped after.
class Crowd {
 public:
  explicit Crowd(int64_t count) {
    char sleep[] = "/bin/sleep";
    char seconds[] = "600";
    char* argv[] = {sleep, seconds, nullptr};
    for (int64_t i = 0; i < count; ++i) {
      pid_t pid = -1;
      if (posix_spawn(&pid, sleep, nullptr, nullptr, argv, environ) != 0) break;
      pids_.push_back(pid);
    }
  }
  ~Crowd() {
    for (const pid_t pid : pids_) kill(pid, SIGKILL);
    for (const pid_t pid : pids_) waitpid(pid, nullptr, 0);
  }
  Crowd(const Crowd&) = delete;
  Crowd& operator=(const Crowd&) = delete;

  size_t size() const { return pids_.size(); }

 private:
  std::vector<pid_t> pids_;
};

// The table as the Monitor takes it every refresh: read in process, CPU shares included.
void takeThisMachine(benchmark::State& state) {
  const Crowd crowd(state.range(0));
  if (crowd.size() != static_cast<size_t>(state.range(0))) state.SkipWithError("spawn failed");
  const ToolRunner tools;
  size_t processes = 0;
  for (auto _ : state) {
    ProcessTable table = ProcessTable::take(tools);
    processes = table.byPID.size();
    benchmark::DoNotOptimize(table);
  }
  state.counters["processes"] = static_cast<double>(processes);
}
BENCHMARK(takeThisMachine)->Arg(0)->Arg(300)->Arg(2000)->Unit(benchmark::kMillisecond);

// The same through `ps`, what it replaces on Linux.
void sampleThisMachine(benchmark::State& state) {
  const Crowd crowd(state.range(0));
  if (crowd.size() != static_cast<size_t>(state.range(0))) state.SkipWithError("spawn failed");
  const ToolRunner tools;
  size_t processes = 0;
  for (auto _ : state) {
    ProcessTable table = ProcessTable::sample(tools);
    processes = table.byPID.size();
    benchmark::DoNotOptimize(table);
  }
  state.counters["processes"] = static_cast<double>(processes);
}
BENCHMARK(sampleThisMachine)->Arg(0)->Arg(300)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tessel
