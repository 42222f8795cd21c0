// The share of one core each process used since the table before: the CPU time of every
// process is remembered from one reading to the next. `shared()` is the one instance the
// process table uses; safe from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/process_list.h"
#include "util/date.h"
#include "util/hash.h"

namespace tessel {

class ProcessCpu {
 public:
  static ProcessCpu& shared();

  // Percent of one core for each reading, in order, and remembers them for the next call:
  // the CPU time used since the last call that saw the same process, over the time
  // between. A process seen first gets its average over its whole life, as `ps` gives.
  // Processes missing from `readings` are forgotten.
  std::vector<double> percents(const std::vector<platform::ProcessReading>& readings, Date now);

 private:
  // A reused pid starts a new process: the start stamp tells the two apart.
  struct Key {
    int32_t pid = 0;
    uint64_t startStamp = 0;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    size_t operator()(const Key& key) const noexcept { return hashFields(key.pid, key.startStamp); }
  };
  struct Seen {
    double cpuSeconds = 0;
    Date at{};
    double percent = 0;
  };

  mutable std::mutex lock_;
  // Guarded by lock_.
  std::unordered_map<Key, Seen, KeyHash> seen_;
};

}  // namespace tessel
