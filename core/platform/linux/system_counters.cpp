#include "platform/system_counters.h"

#include <dirent.h>
#include <sys/stat.h>

#include <charconv>
#include <cstdlib>

#include "platform/linux/text_file.h"

namespace tessel::platform {
namespace {

constexpr uint64_t sectorBytes = 512;
constexpr uint64_t kibibyte = 1024;

// Calls `visit(line)` for each line of `text`, the last one even without a feed.
// The white-space separated words of `line`, at most `limit` of them.
std::vector<std::string_view> words(std::string_view line, size_t limit = 64) {
  std::vector<std::string_view> result;
  size_t at = 0;
  while (result.size() < limit) {
    at = line.find_first_not_of(" \t", at);
    if (at == std::string_view::npos) break;
    const size_t end = std::min(line.find_first_of(" \t", at), line.size());
    result.push_back(line.substr(at, end - at));
    at = end;
  }
  return result;
}

std::optional<uint64_t> unsignedNumber(std::string_view text) {
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::vector<CoreTicks> parseCoreTicks(std::string_view text) {
  std::vector<CoreTicks> cores;
  forEachLine(text, [&](std::string_view line) {
    // "cpuN user nice system idle iowait irq softirq steal guest guest_nice"; the total
    // line "cpu " is not a core. Older kernels stop after fewer columns.
    if (!line.starts_with("cpu") || line.size() < 4 || line[3] < '0' || line[3] > '9') return;
    const auto fields = words(line, 9);
    if (fields.size() < 5) return;
    const auto index = unsignedNumber(fields[0].substr(3));
    uint64_t values[8] = {};
    for (size_t i = 1; i < fields.size(); ++i) {
      const auto value = unsignedNumber(fields[i]);
      if (!value) return;
      values[i - 1] = *value;
    }
    if (!index) return;
    const uint64_t busy = values[0] + values[1] + values[2] + values[5] + values[6] + values[7];
    cores.push_back(CoreTicks{
        .index = static_cast<int>(*index), .busy = busy, .total = busy + values[3] + values[4]});
  });
  return cores;
}

std::vector<CoreTicks> coreTicks() {
  const auto text = readTextFile("/proc/stat");
  return text ? parseCoreTicks(*text) : std::vector<CoreTicks>{};
}

std::optional<MemoryCounters> parseMemory(std::string_view text) {
  std::optional<uint64_t> total, available, free, buffers, cached, swapTotal, swapFree;
  forEachLine(text, [&](std::string_view line) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    const std::string_view key = line.substr(0, colon);
    const auto fields = words(line.substr(colon + 1), 2);
    if (fields.empty()) return;
    auto value = unsignedNumber(fields[0]);
    if (!value) return;
    if (fields.size() > 1 && fields[1] == "kB") *value *= kibibyte;
    if (key == "MemTotal") total = value;
    if (key == "MemAvailable") available = value;
    if (key == "MemFree") free = value;
    if (key == "Buffers") buffers = value;
    if (key == "Cached") cached = value;
    if (key == "SwapTotal") swapTotal = value;
    if (key == "SwapFree") swapFree = value;
  });
  if (!total) return std::nullopt;
  // Kernels before 3.14 have no MemAvailable; what they would call reclaimable is close.
  if (!available) available = free.value_or(0) + buffers.value_or(0) + cached.value_or(0);
  return MemoryCounters{.total = *total,
                        .available = *available,
                        .swapTotal = swapTotal.value_or(0),
                        .swapFree = swapFree.value_or(0)};
}

std::optional<MemoryCounters> memoryCounters() {
  const auto text = readTextFile("/proc/meminfo");
  return text ? parseMemory(*text) : std::nullopt;
}

int parsePressure(std::string_view text) {
  int level = pressureNormal;
  forEachLine(text, [&](std::string_view line) {
    if (!line.starts_with("some ")) return;
    for (const std::string_view field : words(line)) {
      if (!field.starts_with("avg10=")) continue;
      double share = 0;
      const std::string_view number = field.substr(6);
      const auto [end, error] =
          std::from_chars(number.data(), number.data() + number.size(), share);
      if (error != std::errc()) return;
      level = share < 10 ? pressureNormal : share < 40 ? pressureWarning : pressureCritical;
    }
  });
  return level;
}

int memoryPressure() {
  const auto text = readTextFile("/proc/pressure/memory");
  return text ? parsePressure(*text) : pressureNormal;
}

ByteTotals parseNetworkTotals(std::string_view text) {
  ByteTotals totals;
  forEachLine(text, [&](std::string_view line) {
    // "  eth0: rx_bytes rx_packets ... (8 receive columns) tx_bytes ..."; the two header
    // lines have no colon. A busy interface's counters can run into its name's colon.
    const size_t colon = line.rfind(':');
    if (colon == std::string_view::npos) return;
    const auto name = words(line.substr(0, colon), 1);
    if (name.empty() || name[0] == "lo") return;
    const auto fields = words(line.substr(colon + 1), 9);
    if (fields.size() < 9) return;
    const auto received = unsignedNumber(fields[0]);
    const auto sent = unsignedNumber(fields[8]);
    if (!received || !sent) return;
    totals.in += *received;
    totals.out += *sent;
  });
  return totals;
}

std::optional<ByteTotals> networkTotals() {
  const auto text = readTextFile("/proc/net/dev");
  if (!text) return std::nullopt;
  return parseNetworkTotals(*text);
}

ByteTotals parseDiskTotals(std::string_view text,
                           const std::set<std::string, std::less<>>& wholeDisks) {
  ByteTotals totals;
  forEachLine(text, [&](std::string_view line) {
    // "major minor name reads merged sectors ms writes merged sectors ...", and newer
    // kernels add columns after these.
    const auto fields = words(line, 10);
    if (fields.size() < 10 || !wholeDisks.contains(fields[2])) return;
    const auto read = unsignedNumber(fields[5]);
    const auto written = unsignedNumber(fields[9]);
    if (!read || !written) return;
    totals.in += *read * sectorBytes;
    totals.out += *written * sectorBytes;
  });
  return totals;
}

std::optional<ByteTotals> diskTotals() {
  // A whole disk is listed in /sys/block with a "device" of its own; partitions are not
  // listed there, and loop, RAM and mapped devices have no device.
  std::set<std::string, std::less<>> disks;
  if (DIR* listing = opendir("/sys/block")) {
    while (const dirent* entry = readdir(listing)) {
      if (entry->d_name[0] == '.') continue;
      const std::string device = std::string("/sys/block/") + entry->d_name + "/device";
      struct stat info {};
      if (stat(device.c_str(), &info) == 0) disks.insert(entry->d_name);
    }
    closedir(listing);
  }
  const auto text = readTextFile("/proc/diskstats");
  if (!text) return std::nullopt;
  return parseDiskTotals(*text, disks);
}

double loadAverage() {
  double loads[3] = {};
  return getloadavg(loads, 3) >= 1 ? loads[0] : 0;
}

}  // namespace tessel::platform
