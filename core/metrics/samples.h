// What the samplers measure: one process group's costs beyond CPU and memory, and the
// whole machine's figures. Plain values.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <vector>

#include "util/date.h"
#include "util/date_form.h"
#include "util/hash.h"

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

  // The means, `t` the last sample's; `gpu` and `gpuSystem` over the samples that have
  // them. Nothing for no samples.
  static std::optional<MetricsSample> average(const std::vector<MetricsSample>& samples);

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

  // As MetricsSample::average; the counts of bytes are mean values truncated.
  static std::optional<SystemSample> average(const std::vector<SystemSample>& samples);

  bool operator==(const SystemSample&) const = default;
};

// The stored form: keys as the fields in field order, absent optionals left out.
template <class Document = nlohmann::json>
Document toJson(const MetricsSample& sample, DateForm dates = DateForm::referenceSeconds);
template <class Document = nlohmann::json>
Document toJson(const SystemSample& sample, DateForm dates = DateForm::referenceSeconds);
// From the stored form; nothing when a member is missing or of another type.
std::optional<MetricsSample> metricsSampleFromJson(const nlohmann::json& json);
std::optional<SystemSample> systemSampleFromJson(const nlohmann::json& json);

namespace Readings {

// At most `maxPoints` samples for a long timeline: the time from the first sample to the
// one before the newest cut into equal spans, each span's samples averaged, then the
// newest sample as it is. Samples oldest first; fewer than `maxPoints` come back as they are.
template <class Sample>
std::vector<Sample> thin(const std::vector<Sample>& samples, size_t maxPoints) {
  if (samples.size() <= maxPoints) return samples;
  if (maxPoints == 0) return {};
  std::vector<Sample> result;
  result.reserve(maxPoints);
  const size_t spans = maxPoints - 1;
  const size_t older = samples.size() - 1;
  if (spans > 0) {
    const Date first = samples.front().t;
    const double width = (samples[older - 1].t - first) / static_cast<double>(spans);
    std::vector<Sample> span;
    size_t current = 0;
    for (size_t i = 0; i < older; ++i) {
      const double offset = samples[i].t - first;
      const size_t index =
          width > 0 ? std::min(spans - 1, static_cast<size_t>(std::floor(offset / width))) : 0;
      if (index != current && !span.empty()) {
        result.push_back(*Sample::average(span));
        span.clear();
      }
      current = index;
      span.push_back(samples[i]);
    }
    if (!span.empty()) result.push_back(*Sample::average(span));
  }
  result.push_back(samples.back());
  return result;
}

}  // namespace Readings

}  // namespace tessel

template <>
struct std::hash<tessel::MetricsSample> {
  size_t operator()(const tessel::MetricsSample& s) const noexcept {
    return tessel::hashFields(s.t, s.memory, s.cpu, s.netIn, s.netOut, s.diskRead, s.diskWrite,
                              s.gpu, s.gpuSystem);
  }
};

template <>
struct std::hash<tessel::SystemSample> {
  size_t operator()(const tessel::SystemSample& s) const noexcept {
    return tessel::hashFields(s.t, s.cpu, s.memUsed, s.memTotal, s.pressure, s.swapUsed, s.netIn,
                              s.netOut, s.diskRead, s.diskWrite, s.gpu, s.load);
  }
};
