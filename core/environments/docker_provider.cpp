// The Docker provider and the process-wide caches it keeps: start dates of containers,
// Docker's CPU count and DevPod's workspaces.
#include <mutex>
#include <nlohmann/json.hpp>

#include "environments/environments.h"
#include "environments/shell.h"
#include "util/json_object.h"

namespace tessel::Environments {
namespace {

// Start dates learned from `docker inspect`; a container's start never changes, so
// entries are never dropped.
class DateCache {
 public:
  std::optional<Date> get(const std::string& id) {
    std::lock_guard guard(lock_);
    const auto found = dates_.find(id);
    if (found == dates_.end()) return std::nullopt;
    return found->second;
  }
  void put(const std::string& id, Date date) {
    std::lock_guard guard(lock_);
    dates_[id] = date;
  }
  void clear() {
    std::lock_guard guard(lock_);
    dates_.clear();
  }

 private:
  std::mutex lock_;
  std::map<std::string, Date> dates_;
};

DateCache& startedCache() {
  static DateCache cache;
  return cache;
}

// An answer worth keeping for a while. The lock is held while a fresh answer is asked
// for, so concurrent callers wait for one run instead of starting their own.
template <typename Value>
struct TimedCache {
  std::mutex lock;
  std::optional<Date> taken;
  Value value{};
};

TimedCache<std::optional<int>>& dockerCPUCache() {
  static TimedCache<std::optional<int>> cache;
  return cache;
}

TimedCache<std::map<std::string, Workspace>>& devPodCache() {
  static TimedCache<std::map<std::string, Workspace>> cache;
  return cache;
}

constexpr double cpuCountLifetime = 600;
constexpr double workspaceLifetime = 60;

std::optional<int> parseCount(const std::string& text) {
  size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return std::nullopt;
  const size_t end = text.find_last_not_of(" \t\r\n") + 1;
  int value = 0;
  for (size_t index = start; index < end; ++index) {
    const char c = text[index];
    if (c < '0' || c > '9' || value > 1000000) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::map<std::string, Workspace> parseWorkspaces(const std::string& text) {
  std::map<std::string, Workspace> workspaces;
  const auto list = nlohmann::json::parse(text, nullptr, false);
  if (!list.is_array()) return workspaces;
  for (const auto& item : list) {
    if (!item.is_object()) continue;
    const auto id = Json::stringAt(item, "id");
    if (!id) continue;
    Workspace workspace{.name = id};
    if (const auto source = item.find("source"); source != item.end() && source->is_object()) {
      workspace.folder = Json::stringAt(*source, "localFolder");
    }
    // Containers name their workspace by id or by uid, depending on DevPod's version.
    if (const auto uid = Json::stringAt(item, "uid")) workspaces[*uid] = workspace;
    workspaces[*id] = std::move(workspace);
  }
  return workspaces;
}

}  // namespace

std::optional<int> dockerCPUs() {
  auto& cache = dockerCPUCache();
  std::lock_guard guard(cache.lock);
  const Date now = Date::now();
  if (cache.taken && now.secondsSince1970() - cache.taken->secondsSince1970() < cpuCountLifetime) {
    return cache.value;
  }
  std::optional<int> count;
  if (const auto result = Shell::tool("docker", {"info", "--format", "{{.NCPU}}"}, 6);
      result && result->ok()) {
    count = parseCount(result->out);
  }
  cache.value = count;
  cache.taken = now;
  return count;
}

std::map<std::string, Workspace> devPodWorkspaces() {
  auto& cache = devPodCache();
  std::lock_guard guard(cache.lock);
  const Date now = Date::now();
  if (cache.taken && now.secondsSince1970() - cache.taken->secondsSince1970() < workspaceLifetime) {
    return cache.value;
  }
  std::map<std::string, Workspace> workspaces;
  if (const auto result = Shell::tool("devpod", {"list", "--output", "json"}, 8);
      result && result->ok()) {
    workspaces = parseWorkspaces(result->out);
  }
  cache.value = workspaces;
  cache.taken = now;
  return workspaces;
}

namespace Testing {
void resetCaches() {
  startedCache().clear();
  {
    auto& cache = dockerCPUCache();
    std::lock_guard guard(cache.lock);
    cache.taken.reset();
    cache.value.reset();
  }
  auto& cache = devPodCache();
  std::lock_guard guard(cache.lock);
  cache.taken.reset();
  cache.value.clear();
}
}  // namespace Testing

}  // namespace tessel::Environments
