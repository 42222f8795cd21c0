#include "metrics/system_sampler.h"

#include <algorithm>
#include <numeric>

namespace tessel {
namespace {

// Too short an interval makes a rate of noise.
constexpr double shortestInterval = 0.2;

double share(uint64_t part, uint64_t whole) {
  return whole == 0 ? 0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

// A total that went down (an interface or disk went away) makes no rate this time.
double rate(uint64_t now, uint64_t before, double seconds) {
  return now < before ? 0 : static_cast<double>(now - before) / seconds;
}

}  // namespace

std::vector<double> Cores::read(const std::vector<platform::CoreTicks>& ticks) {
  std::vector<double> percents;
  percents.reserve(ticks.size());
  std::map<int, platform::CoreTicks> next;
  for (const platform::CoreTicks& core : ticks) {
    const auto before = last_.find(core.index);
    if (before != last_.end() && core.total >= before->second.total &&
        core.busy >= before->second.busy) {
      percents.push_back(share(core.busy - before->second.busy, core.total - before->second.total));
    } else {
      percents.push_back(share(core.busy, core.total));
    }
    next.emplace(core.index, core);
  }
  last_ = std::move(next);
  return percents;
}

SystemSample SystemSampler::sample(std::optional<double> gpu, Date now) {
  // The counters are read under the lock too: a sample that read them between another's
  // reads and its bookkeeping would measure part of an interval twice.
  std::lock_guard guard(lock_);
  const Counters counters{.cores = platform::coreTicks(),
                          .memory = platform::memoryCounters(),
                          .pressure = platform::memoryPressure(),
                          .network = platform::networkTotals(),
                          .disk = platform::diskTotals(),
                          .load = platform::loadAverage()};
  return measure(counters, gpu, now);
}

SystemSample SystemSampler::sample(const Counters& counters, std::optional<double> gpu, Date now) {
  std::lock_guard guard(lock_);
  return measure(counters, gpu, now);
}

SystemSample SystemSampler::measure(const Counters& counters, std::optional<double> gpu, Date now) {
  SystemSample result{.t = now, .gpu = gpu, .load = counters.load};
  perCore_ = cores_.read(counters.cores);
  if (!perCore_.empty()) {
    result.cpu = std::accumulate(perCore_.begin(), perCore_.end(), 0.0) /
                 static_cast<double>(perCore_.size());
  }
  if (counters.memory) {
    const platform::MemoryCounters& memory = *counters.memory;
    result.memTotal = static_cast<int64_t>(memory.total);
    result.memUsed = memory.available >= memory.total
                         ? 0
                         : static_cast<int64_t>(memory.total - memory.available);
    result.swapUsed = memory.swapFree >= memory.swapTotal
                          ? 0
                          : static_cast<int64_t>(memory.swapTotal - memory.swapFree);
  }
  result.pressure = counters.pressure;

  const std::optional<double> elapsed = lastAt_ ? std::optional(now - *lastAt_) : std::nullopt;
  const bool measures = elapsed && *elapsed > shortestInterval;
  if (measures && counters.network && lastNet_) {
    result.netIn = rate(counters.network->in, lastNet_->in, *elapsed);
    result.netOut = rate(counters.network->out, lastNet_->out, *elapsed);
  }
  if (measures && counters.disk && lastDisk_) {
    result.diskRead = rate(counters.disk->in, lastDisk_->in, *elapsed);
    result.diskWrite = rate(counters.disk->out, lastDisk_->out, *elapsed);
  }
  lastAt_ = now;
  lastNet_ = counters.network;
  lastDisk_ = counters.disk;
  return result;
}

std::vector<double> SystemSampler::perCore() const {
  std::lock_guard guard(lock_);
  return perCore_;
}

SystemSampler::Top SystemSampler::top(const ProcessTable& table, size_t count) {
  const auto highest = [&](auto value) {
    // The table keeps no order of its own: ties keep the order of their pids.
    std::vector<ProcessEntry> entries = table.all();
    std::sort(entries.begin(), entries.end(),
              [](const ProcessEntry& a, const ProcessEntry& b) { return a.pid < b.pid; });
    std::stable_sort(
        entries.begin(), entries.end(),
        [&](const ProcessEntry& a, const ProcessEntry& b) { return value(a) > value(b); });
    if (entries.size() > count) entries.resize(count);
    return entries;
  };
  return Top{.cpu = highest([](const ProcessEntry& entry) { return entry.cpu; }),
             .memory = highest([](const ProcessEntry& entry) { return entry.memory; })};
}

}  // namespace tessel
