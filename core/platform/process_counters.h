// What one process cost beyond CPU and memory, as cumulative counters: the bytes it read
// from and wrote to disk, and the time the GPU spent on its work; and how busy the GPU
// is as a whole. Pure parsers of the kernel's text beside the live readers. Safe from any
// thread; each read may race with the process's exit and then gives nothing.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::platform {

struct DiskBytes {
  uint64_t read = 0;
  uint64_t written = 0;
  bool operator==(const DiskBytes&) const = default;
};

// One client of a GPU driver as a DRM descriptor's fdinfo describes it.
struct GpuClient {
  // The device and client id: descriptors sharing one client (dup, fork) count once.
  std::string key{};
  uint64_t engineNanoseconds = 0;  // all engines' busy time added up
  bool operator==(const GpuClient&) const = default;
};

// /proc/<pid>/io's block-layer "read_bytes" and "write_bytes".
std::optional<DiskBytes> parseProcessIO(std::string_view text);
// 0 and 0 for a process that exited or belongs to another user: the kernel shows the
// file to its owner only, and a missing figure must not look like a burst of I/O later.
DiskBytes diskBytes(int32_t pid);

// Nothing for a descriptor that is not a DRM client or names no client id.
std::optional<GpuClient> parseGpuClient(std::string_view fdinfo);
// The GPU time of each of `pids` (those with any), in nanoseconds: DRM clients' engine
// times, counted once per client, and what the NVIDIA driver reports where it is loaded.
std::map<int32_t, uint64_t> gpuTimes(const std::vector<int32_t>& pids);

// A card's gpu_busy_percent; nothing when it is not one whole number.
std::optional<double> parseBusyPercent(std::string_view text);
// The busiest GPU's utilisation in percent: the kernel's figure where the driver has one,
// else the NVIDIA driver's; nothing when no GPU tells.
std::optional<double> gpuUtilization();

}  // namespace tessel::platform
