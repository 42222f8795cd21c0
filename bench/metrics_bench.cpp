// What the Monitor pays on every poll for the machine's figures and for one session's
// group of processes, and what the network reader pays every two seconds on a busy
// machine: reading `ss -tinpH`'s table of 2,000 TCP sockets (browsers, language servers,
// agents' HTTP pools) into per-process totals.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "metrics/metrics_sampler.h"
#include "metrics/net_top_stream.h"
#include "metrics/system_sampler.h"
#include "platform/socket_counters.h"

namespace tessel {
namespace {

// Sockets as a desktop's ss prints them: IPv4 and IPv6, most with one process, some
// shared by a parent and its workers, some of other users without a process field.
std::string ssTable(int sockets) {
  const char* const names[] = {"firefox", "node", "claude", "code", "python3", "ssh"};
  std::string text;
  for (int i = 0; i < sockets; ++i) {
    const int pid = 1000 + (i % 150);
    const int64_t received = int64_t{i} * 7919 + 123456;
    const int64_t acked = int64_t{i} * 3301 + 4567;
    text += i % 3 == 0
                ? "ESTAB 0      0      [2001:db8::1:" + std::to_string(i % 97) +
                      "]:" + std::to_string(40000 + i) + " [2606:4700::6810:84e5]:443"
                : "ESTAB 0      0      192.168.1." + std::to_string(i % 250) + ":" +
                      std::to_string(40000 + i) + " 140.82.112." + std::to_string(i % 200) + ":443";
    if (i % 10 == 9) {
      // another user's socket: no process field
    } else if (i % 10 == 8) {
      text += " users:((\"" + std::string(names[i % 6]) + "\",pid=" + std::to_string(pid) +
              ",fd=" + std::to_string(20 + i % 50) + "),(\"" + names[i % 6] +
              "\",pid=" + std::to_string(pid + 1) + ",fd=" + std::to_string(20 + i % 50) + "))";
    } else {
      text += " users:((\"" + std::string(names[i % 6]) + "\",pid=" + std::to_string(pid) +
              ",fd=" + std::to_string(20 + i % 50) + "))";
    }
    text +=
        "\n\t cubic wscale:7,7 rto:212 rtt:11.2/4.1 ato:40 mss:1448 pmtu:1500 rcvmss:1448 "
        "advmss:1448 cwnd:10 bytes_sent:" +
        std::to_string(acked + 40) + " bytes_acked:" + std::to_string(acked) +
        " bytes_received:" + std::to_string(received) +
        " segs_out:812 segs_in:1630 data_segs_out:410 data_segs_in:1200 send 10342857bps "
        "lastsnd:1520 lastrcv:1480 lastack:1480 pacing_rate 20685712bps delivery_rate "
        "8920000bps delivered:411 app_limited busy:2300ms rcv_rtt:12.5 rcv_space:87380 "
        "rcv_ssthresh:524288 minrtt:9.8 snd_wnd:262144\n";
  }
  return text;
}

void BM_ParseSS(benchmark::State& state) {
  const std::string text = ssTable(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    NetTop::Totals totals = NetTop::parseSS(text);
    benchmark::DoNotOptimize(totals);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParseSS)->Arg(2000)->Unit(benchmark::kMicrosecond);

// One reading of the network reader: the kernel's TCP sockets and every descriptor of
// our processes, as it is taken every two seconds.
void BM_KernelSocketReading(benchmark::State& state) {
  for (auto _ : state) {
    auto totals = platform::tcpBytesByProcess();
    benchmark::DoNotOptimize(totals);
  }
}
BENCHMARK(BM_KernelSocketReading)->Unit(benchmark::kMicrosecond);

void BM_SystemSample(benchmark::State& state) {
  SystemSampler sampler;
  double at = 0;
  for (auto _ : state) {
    SystemSample sample = sampler.sample(std::nullopt, Date(at += 1));
    benchmark::DoNotOptimize(sample);
  }
}
BENCHMARK(BM_SystemSample)->Unit(benchmark::kMicrosecond);

// A group of 50 processes of ours: children that wait to be ended.
void BM_ProcessSample(benchmark::State& state) {
  std::vector<pid_t> children;
  for (int i = 0; i < 50; ++i) {
    const pid_t child = fork();
    if (child == 0) {
      pause();
      _exit(0);
    }
    if (child > 0) children.push_back(child);
  }
  const std::set<int32_t> group(children.begin(), children.end());
  MetricsSampler sampler;
  double at = 0;
  for (auto _ : state) {
    MetricsSample sample = sampler.sample(group, 0, 0, Date(at += 1));
    benchmark::DoNotOptimize(sample);
  }
  for (const pid_t child : children) kill(child, SIGKILL);
  for (const pid_t child : children) waitpid(child, nullptr, 0);
  state.counters["pids"] = static_cast<double>(group.size());
}
BENCHMARK(BM_ProcessSample)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tessel
