// The benchmark's own memory as the kernel reports it, for the runs that measure what a
// reader keeps once it has read everything.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

namespace tessel::bench {

// A "<key>: <n> kB" line of /proc/self/status ("VmRSS", "VmHWM"); 0 when absent.
inline uint64_t statusKilobytes(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(key) + ":";
  while (std::getline(status, line)) {
    if (line.starts_with(prefix)) return std::stoull(line.substr(prefix.size()));
  }
  return 0;
}

}  // namespace tessel::bench
