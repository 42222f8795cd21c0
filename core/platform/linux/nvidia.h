// The NVIDIA driver's management library, loaded at run time where the driver installed
// it (it is never linked: machines without the driver have no such file). Its per-process
// figures are sampled percentages; they are added up here into GPU time so that they
// read like the kernel's cumulative engine times. One lock; safe from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace tessel::platform::Nvidia {

// False when the library is missing or does not start; then nothing below has figures.
bool isAvailable();
// The busiest device's utilisation in percent.
std::optional<double> utilization();
// Nanoseconds of GPU time so far, per pid among `pids`, since the library was first asked.
std::map<int32_t, uint64_t> processTimes(const std::vector<int32_t>& pids);

}  // namespace tessel::platform::Nvidia
