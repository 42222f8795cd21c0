#include "platform/process_counters.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <set>

#include "platform/linux/nvidia.h"
#include "platform/linux/text_file.h"

namespace tessel::platform {
namespace {

std::string_view trimmed(std::string_view text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// "key: value" with the value's leading number; nothing when the line is not so.
std::optional<uint64_t> leadingNumber(std::string_view value) {
  value = trimmed(value);
  uint64_t number = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (error != std::errc() || end == value.data()) return std::nullopt;
  return number;
}

// Whether this machine has DRM devices at all: without them no descriptor can be one,
// and the descriptors of every process need not be looked at.
bool hasDrmDevices() {
  static const bool has = [] {
    struct stat info {};
    return stat("/dev/dri", &info) == 0;
  }();
  return has;
}

// The DRM clients `pid` holds open, by their descriptors' fdinfo.
void drmClients(int32_t pid, std::set<std::string>& counted, std::map<int32_t, uint64_t>& times) {
  char folder[40];
  snprintf(folder, sizeof folder, "/proc/%d/fd", pid);
  DIR* listing = opendir(folder);
  if (!listing) return;
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_name[0] == '.') continue;
    char link[300];
    snprintf(link, sizeof link, "/proc/%d/fd/%s", pid, entry->d_name);
    char target[64];
    const ssize_t size = readlink(link, target, sizeof target - 1);
    if (size <= 0 || std::string_view(target, static_cast<size_t>(size)).find("/dev/dri/") != 0) {
      continue;
    }
    char info[300];
    snprintf(info, sizeof info, "/proc/%d/fdinfo/%s", pid, entry->d_name);
    const auto text = readTextFile(info, 1 << 16);
    if (!text) continue;
    const auto client = parseGpuClient(*text);
    if (!client || !counted.insert(client->key).second) continue;
    times[pid] += client->engineNanoseconds;
  }
  closedir(listing);
}

}  // namespace

std::optional<DiskBytes> parseProcessIO(std::string_view text) {
  std::optional<uint64_t> read, written;
  forEachLine(text, [&](std::string_view line) {
    if (line.starts_with("read_bytes:")) read = leadingNumber(line.substr(11));
    if (line.starts_with("write_bytes:")) written = leadingNumber(line.substr(12));
  });
  if (!read || !written) return std::nullopt;
  return DiskBytes{.read = *read, .written = *written};
}

DiskBytes diskBytes(int32_t pid) {
  char path[40];
  snprintf(path, sizeof path, "/proc/%d/io", pid);
  const auto text = readTextFile(path, 1 << 16);
  if (!text) return {};
  return parseProcessIO(*text).value_or(DiskBytes{});
}

std::optional<GpuClient> parseGpuClient(std::string_view fdinfo) {
  std::optional<std::string_view> driver, clientId;
  std::string_view device;
  uint64_t engines = 0;
  forEachLine(fdinfo, [&](std::string_view line) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    const std::string_view key = line.substr(0, colon);
    const std::string_view value = trimmed(line.substr(colon + 1));
    if (key == "drm-driver") driver = value;
    if (key == "drm-client-id") clientId = value;
    if (key == "drm-pdev") device = value;
    // "drm-engine-<name>: <n> ns"; "drm-engine-capacity-<name>" counts engines, not time.
    if (key.starts_with("drm-engine-") && !key.starts_with("drm-engine-capacity-") &&
        value.ends_with(" ns")) {
      if (const auto ns = leadingNumber(value)) engines += *ns;
    }
  });
  if (!driver || !clientId || clientId->empty()) return std::nullopt;
  GpuClient client;
  client.key.append(*driver).append("/").append(device).append("/").append(*clientId);
  client.engineNanoseconds = engines;
  return client;
}

std::map<int32_t, uint64_t> gpuTimes(const std::vector<int32_t>& pids) {
  std::map<int32_t, uint64_t> times;
  if (hasDrmDevices()) {
    std::vector<int32_t> ordered(pids);
    std::sort(ordered.begin(), ordered.end());
    std::set<std::string> counted;
    for (const int32_t pid : ordered) drmClients(pid, counted, times);
  }
  if (Nvidia::isAvailable()) {
    for (const auto& [pid, ns] : Nvidia::processTimes(pids)) times[pid] += ns;
  }
  return times;
}

std::optional<double> parseBusyPercent(std::string_view text) {
  text = trimmed(text.substr(0, text.find('\n')));
  unsigned percent = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), percent);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return static_cast<double>(percent);
}

std::optional<double> gpuUtilization() {
  std::optional<double> busiest;
  if (DIR* listing = opendir("/sys/class/drm")) {
    while (const dirent* entry = readdir(listing)) {
      // card0, card1; not their connectors (card0-HDMI-A-1).
      const std::string_view name(entry->d_name);
      if (!name.starts_with("card") || name.find('-') != std::string_view::npos) continue;
      const std::string path = "/sys/class/drm/" + std::string(name) + "/device/gpu_busy_percent";
      const auto text = readTextFile(path.c_str(), 64);
      if (!text) continue;
      if (const auto percent = parseBusyPercent(*text)) {
        busiest = std::max(busiest.value_or(0), *percent);
      }
    }
    closedir(listing);
  }
  if (!busiest && Nvidia::isAvailable()) busiest = Nvidia::utilization();
  return busiest;
}

}  // namespace tessel::platform
