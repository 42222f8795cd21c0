#include "metrics/metrics_sampler.h"

#include <algorithm>
#include <vector>

#include "metrics/net_top_stream.h"
#include "platform/process_counters.h"

namespace tessel {
namespace {

// Too short an interval makes a rate of noise.
constexpr double shortestInterval = 0.2;
constexpr double nanosecondsPerSecond = 1e9;

// A counter that went down belongs to another process under a reused pid.
uint64_t grown(uint64_t now, uint64_t before) { return now > before ? now - before : 0; }

}  // namespace

MetricsSampler::Readings MetricsSampler::read(const std::set<int32_t>& pids) {
  const std::vector<int32_t> list(pids.begin(), pids.end());
  Readings readings;
  readings.network = NetTopStream::shared().latest();
  readings.deviceGpu = platform::gpuUtilization();
  const std::map<int32_t, uint64_t> gpu = platform::gpuTimes(list);
  for (const int32_t pid : list) {
    const platform::DiskBytes disk = platform::diskBytes(pid);
    const auto time = gpu.find(pid);
    readings.counters[pid] = Counters{.diskRead = disk.read,
                                      .diskWrite = disk.written,
                                      .gpuNS = time == gpu.end() ? 0 : time->second};
  }
  return readings;
}

MetricsSample MetricsSampler::sample(const std::set<int32_t>& pids, int64_t memory, double cpu,
                                     Date now) {
  return sample(pids, memory, cpu, now, read(pids));
}

MetricsSample MetricsSampler::sample(const std::set<int32_t>& pids, int64_t memory, double cpu,
                                     Date now, const Readings& readings) {
  MetricsSample result{.t = now, .memory = memory, .cpu = cpu};
  for (const int32_t pid : pids) {
    const auto rates = readings.network.find(pid);
    if (rates == readings.network.end()) continue;
    result.netIn += rates->second.first;
    result.netOut += rates->second.second;
  }

  uint64_t read = 0, written = 0, gpuNS = 0;
  std::optional<double> elapsed;
  {
    std::lock_guard guard(lock_);
    if (lastAt_) elapsed = now - *lastAt_;
    for (const auto& [pid, counters] : readings.counters) {
      const auto before = last_.find(pid);
      if (before == last_.end()) continue;
      read += grown(counters.diskRead, before->second.diskRead);
      written += grown(counters.diskWrite, before->second.diskWrite);
      gpuNS += grown(counters.gpuNS, before->second.gpuNS);
    }
    last_ = readings.counters;
    lastAt_ = now;
  }

  double gpu = 0;
  if (elapsed && *elapsed > shortestInterval) {
    result.diskRead = static_cast<double>(read) / *elapsed;
    result.diskWrite = static_cast<double>(written) / *elapsed;
    gpu = std::min(100.0, static_cast<double>(gpuNS) / *elapsed / nanosecondsPerSecond * 100);
  }
  if (readings.deviceGpu) {
    result.gpu = gpu;
    result.gpuSystem = std::max(*readings.deviceGpu, gpu);
  }
  return result;
}

}  // namespace tessel
