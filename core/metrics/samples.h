// What the samplers measure: one process group's costs beyond CPU and memory, and the
// whole machine's figures. Plain values.
#pragma once

#include <cstdint>
#include <optional>

#include "util/date.h"

namespace tessel {

// Rates are per second over the interval since the sampler's previous call.
struct MetricsSample {
  Date t{};
  int64_t memory = 0;  // resident bytes of the group
  double cpu = 0;      // percent of one core
  double netIn = 0;
  double netOut = 0;
  double diskRead = 0;
  double diskWrite = 0;
  std::optional<double> gpu{};        // the group's share, percent of the GPU
  std::optional<double> gpuSystem{};  // the whole GPU's utilisation, percent

  const Date& id() const { return t; }

  bool operator==(const MetricsSample&) const = default;
};

struct SystemSample {
  Date t{};
  double cpu = 0;  // mean of all cores, percent
  int64_t memUsed = 0;
  int64_t memTotal = 0;
  int pressure = 0;  // the kernel's memory-pressure level
  int64_t swapUsed = 0;
  double netIn = 0;  // bytes per second, all interfaces but loopback
  double netOut = 0;
  double diskRead = 0;  // bytes per second, all block devices
  double diskWrite = 0;
  std::optional<double> gpu{};
  double load = 0;  // one-minute load average

  bool operator==(const SystemSample&) const = default;
};

}  // namespace tessel
