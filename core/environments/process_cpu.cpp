#include "environments/process_cpu.h"

#include <algorithm>
#include <utility>

namespace tessel {
namespace {

// Over less than this a share is mostly the kernel's tick rounding; two tables asked for
// at once reuse the share of the table before instead.
constexpr double shortestInterval = 0.05;

double lifetimePercent(const platform::ProcessReading& reading, Date now) {
  const double alive = now.secondsSince1970() - reading.startedSeconds;
  // The clocks behind the two figures are read apart; a process that has only just
  // started has no span to average over yet.
  if (alive <= 0) return 0;
  return reading.cpuSeconds / alive * 100;
}

}  // namespace

ProcessCpu& ProcessCpu::shared() {
  static ProcessCpu instance;
  return instance;
}

std::vector<double> ProcessCpu::percents(const std::vector<platform::ProcessReading>& readings,
                                         Date now) {
  std::vector<double> result;
  result.reserve(readings.size());
  std::unordered_map<Key, Seen, KeyHash> next;
  next.reserve(readings.size());
  std::lock_guard guard(lock_);
  for (const platform::ProcessReading& reading : readings) {
    const Key key{reading.pid, reading.startStamp};
    Seen seen{reading.cpuSeconds, now, 0};
    const auto before = seen_.find(key);
    if (before == seen_.end()) {
      seen.percent = lifetimePercent(reading, now);
    } else if (now - before->second.at < shortestInterval) {
      seen = before->second;
    } else {
      // CPU time never runs backwards; if a reading says so, it is no use.
      const double used = std::max(0.0, reading.cpuSeconds - before->second.cpuSeconds);
      seen.percent = used / (now - before->second.at) * 100;
    }
    result.push_back(seen.percent);
    next.insert_or_assign(key, seen);
  }
  seen_ = std::move(next);
  return result;
}

}  // namespace tessel
