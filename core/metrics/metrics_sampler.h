// What one group of processes (an agent session's process tree) costs beyond CPU and
// memory: disk reads and writes, network traffic and GPU time, each a rate over the time
// since the previous call. One lock guards the previous counters; the counters are read
// outside it. Safe from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

#include "metrics/samples.h"

namespace tessel {

class MetricsSampler {
 public:
  // One process's cumulative counters.
  struct Counters {
    uint64_t diskRead = 0;
    uint64_t diskWrite = 0;
    uint64_t gpuNS = 0;
    bool operator==(const Counters&) const = default;
  };

  // What one sample is made of, read from the system by `sample`, or given by tests.
  struct Readings {
    std::map<int32_t, Counters> counters{};
    // Bytes per second in and out, per pid.
    std::map<int32_t, std::pair<double, double>> network{};
    // The device's utilisation; without it the sample has no GPU figures.
    std::optional<double> deviceGpu{};
  };

  MetricsSampler() = default;
  MetricsSampler(const MetricsSampler&) = delete;
  MetricsSampler& operator=(const MetricsSampler&) = delete;

  // `memory` (bytes) and `cpu` (percent of one core) are the group's, from the process
  // table.
  MetricsSample sample(const std::set<int32_t>& pids, int64_t memory, double cpu, Date now);
  MetricsSample sample(const std::set<int32_t>& pids, int64_t memory, double cpu, Date now,
                       const Readings& readings);

  // The system's readings for `pids`.
  static Readings read(const std::set<int32_t>& pids);

 private:
  mutable std::mutex lock_;
  // Guarded by lock_.
  std::map<int32_t, Counters> last_;
  std::optional<Date> lastAt_;
};

}  // namespace tessel
