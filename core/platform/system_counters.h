// The machine's own counters: CPU time per core, memory, memory pressure, swap, network
// and disk byte totals, load. Each has a pure parser of the kernel's text, which tests
// feed literal samples, and a reader of the live file. Stateless; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::platform {

// One core's time since boot, in the kernel's ticks.
struct CoreTicks {
  int index = 0;  // N of cpuN: an offline core leaves a gap
  uint64_t busy = 0;
  uint64_t total = 0;
  bool operator==(const CoreTicks&) const = default;
};

struct MemoryCounters {
  uint64_t total = 0;
  uint64_t available = 0;
  uint64_t swapTotal = 0;
  uint64_t swapFree = 0;
  bool operator==(const MemoryCounters&) const = default;
};

struct ByteTotals {
  uint64_t in = 0;   // received, or read from disk
  uint64_t out = 0;  // sent, or written to disk
  bool operator==(const ByteTotals&) const = default;
};

// The memory-pressure levels: normal, warning, critical.
constexpr int pressureNormal = 1;
constexpr int pressureWarning = 2;
constexpr int pressureCritical = 4;

// /proc/stat's cpuN lines, in their order.
std::vector<CoreTicks> parseCoreTicks(std::string_view text);
std::vector<CoreTicks> coreTicks();

// /proc/meminfo, in bytes; nothing without MemTotal.
std::optional<MemoryCounters> parseMemory(std::string_view text);
std::optional<MemoryCounters> memoryCounters();

// /proc/pressure/memory's "some avg10" as a level; normal for a kernel without it.
int parsePressure(std::string_view text);
int memoryPressure();

// /proc/net/dev over every interface but loopback.
ByteTotals parseNetworkTotals(std::string_view text);
std::optional<ByteTotals> networkTotals();

// /proc/diskstats over the devices named in `wholeDisks`: partitions, loop and memory
// devices and mapped volumes would count the same bytes again.
ByteTotals parseDiskTotals(std::string_view text,
                           const std::set<std::string, std::less<>>& wholeDisks);
std::optional<ByteTotals> diskTotals();

// The one-minute load average; 0 when unknown.
double loadAverage();

}  // namespace tessel::platform
