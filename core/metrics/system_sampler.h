// The whole machine for the system view: CPU overall and per core, memory, pressure,
// swap, network and disk throughput and load, each rate over the interval since the
// previous call. One lock held for a whole sample, so concurrent callers measure each
// interval once; safe from any thread.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "environments/process_table.h"
#include "metrics/samples.h"
#include "platform/system_counters.h"

namespace tessel {

// Each core's busy share since its previous read. Not locked: its owner's lock guards it.
class Cores {
 public:
  // Percent per core of `ticks`; a core read for the first time (or that came back
  // online, or whose counters went back) gives its share since boot.
  std::vector<double> read(const std::vector<platform::CoreTicks>& ticks);

 private:
  std::map<int, platform::CoreTicks> last_;
};

class SystemSampler {
 public:
  struct Top {
    std::vector<ProcessEntry> cpu;
    std::vector<ProcessEntry> memory;
  };

  SystemSampler() = default;
  SystemSampler(const SystemSampler&) = delete;
  SystemSampler& operator=(const SystemSampler&) = delete;

  // `gpu` comes from the caller, which measures it with the process sampler.
  SystemSample sample(std::optional<double> gpu, Date now);
  // The per-core percentages of the latest sample.
  std::vector<double> perCore() const;

  // The `count` entries of `table` using the most CPU and the most memory, highest first;
  // entries that tie in the order of their pids.
  static Top top(const ProcessTable& table, size_t count);

  // The figures from counters already read, for tests and the sampler itself.
  struct Counters {
    std::vector<platform::CoreTicks> cores;
    std::optional<platform::MemoryCounters> memory;
    int pressure = platform::pressureNormal;
    std::optional<platform::ByteTotals> network;
    std::optional<platform::ByteTotals> disk;
    double load = 0;
  };
  SystemSample sample(const Counters& counters, std::optional<double> gpu, Date now);

 private:
  SystemSample measure(const Counters& counters, std::optional<double> gpu, Date now);

  mutable std::mutex lock_;
  // Guarded by lock_.
  Cores cores_;
  std::optional<Date> lastAt_;
  std::optional<platform::ByteTotals> lastNet_;
  std::optional<platform::ByteTotals> lastDisk_;
  std::vector<double> perCore_;
};

}  // namespace tessel
