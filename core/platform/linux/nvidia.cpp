#include "platform/linux/nvidia.h"

#include <dlfcn.h>

#include <algorithm>
#include <mutex>
#include <set>

namespace tessel::platform::Nvidia {
namespace {

// The library's own types, as its header declares them.
using Device = void*;
struct Utilization {
  unsigned gpu;
  unsigned memory;
};
struct ProcessSample {
  unsigned pid;
  unsigned long long timeStamp;  // microseconds
  unsigned smUtil;
  unsigned memUtil;
  unsigned encUtil;
  unsigned decUtil;
};
constexpr int success = 0;
constexpr int insufficientSize = 7;

class Library {
 public:
  static Library& shared() {
    static Library library;
    return library;
  }

  bool isLoaded() const { return handle_ != nullptr; }

  std::optional<double> utilization() {
    std::lock_guard guard(lock_);
    std::optional<double> busiest;
    for (Device device : devices_) {
      Utilization rates{};
      if (getUtilization_(device, &rates) != success) continue;
      busiest = std::max(busiest.value_or(0), static_cast<double>(rates.gpu));
    }
    return busiest;
  }

  std::map<int32_t, uint64_t> processTimes(const std::vector<int32_t>& pids) {
    std::lock_guard guard(lock_);
    for (Device device : devices_) collect(device);
    std::map<int32_t, uint64_t> times;
    for (const int32_t pid : pids) {
      const auto found = nanoseconds_.find(pid);
      if (found != nanoseconds_.end()) times[pid] = found->second;
    }
    return times;
  }

 private:
  using Init = int (*)();
  using Count = int (*)(unsigned*);
  using Handle = int (*)(unsigned, Device*);
  using GetUtilization = int (*)(Device, Utilization*);
  using GetProcesses = int (*)(Device, ProcessSample*, unsigned*, unsigned long long);

  Library() {
    handle_ = dlopen("libnvidia-ml.so.1", RTLD_LAZY | RTLD_LOCAL);
    if (!handle_) return;
    const auto init = reinterpret_cast<Init>(dlsym(handle_, "nvmlInit_v2"));
    const auto count = reinterpret_cast<Count>(dlsym(handle_, "nvmlDeviceGetCount_v2"));
    const auto handle = reinterpret_cast<Handle>(dlsym(handle_, "nvmlDeviceGetHandleByIndex_v2"));
    getUtilization_ =
        reinterpret_cast<GetUtilization>(dlsym(handle_, "nvmlDeviceGetUtilizationRates"));
    getProcesses_ =
        reinterpret_cast<GetProcesses>(dlsym(handle_, "nvmlDeviceGetProcessUtilization"));
    unsigned devices = 0;
    if (!init || !count || !handle || !getUtilization_ || !getProcesses_ || init() != success ||
        count(&devices) != success) {
      dlclose(handle_);
      handle_ = nullptr;
      return;
    }
    for (unsigned i = 0; i < devices; ++i) {
      Device device = nullptr;
      if (handle(i, &device) == success) devices_.push_back(device);
    }
  }
  // Left loaded for the life of the process: the driver's threads may outlive a close.
  ~Library() = default;

  // Under lock_. Each sample is a percentage over the driver's sampling period; the
  // period is the time since the pid's previous sample.
  void collect(Device device) {
    unsigned count = 0;
    const int probe = getProcesses_(device, nullptr, &count, lastSeen_);
    if ((probe != success && probe != insufficientSize) || count == 0) return;
    std::vector<ProcessSample> samples(count);
    if (getProcesses_(device, samples.data(), &count, lastSeen_) != success) return;
    samples.resize(std::min<size_t>(count, samples.size()));
    std::sort(samples.begin(), samples.end(),
              [](const auto& a, const auto& b) { return a.timeStamp < b.timeStamp; });
    unsigned long long newest = lastSeen_;
    for (const ProcessSample& sample : samples) {
      const auto pid = static_cast<int32_t>(sample.pid);
      unsigned long long& previous = sampledAt_[pid];
      const unsigned long long since = previous ? previous : lastSeen_;
      if (since > 0 && sample.timeStamp > since) {
        const double micros = static_cast<double>(sample.timeStamp - since);
        nanoseconds_[pid] += static_cast<uint64_t>(micros * 1000 * sample.smUtil / 100);
      }
      previous = sample.timeStamp;
      newest = std::max(newest, sample.timeStamp);
    }
    lastSeen_ = newest;
  }

  void* handle_ = nullptr;
  GetUtilization getUtilization_ = nullptr;
  GetProcesses getProcesses_ = nullptr;
  std::vector<Device> devices_;

  std::mutex lock_;
  // Guarded by lock_.
  unsigned long long lastSeen_ = 0;
  std::map<int32_t, unsigned long long> sampledAt_;
  std::map<int32_t, uint64_t> nanoseconds_;
};

}  // namespace

bool isAvailable() { return Library::shared().isLoaded(); }

std::optional<double> utilization() {
  Library& library = Library::shared();
  return library.isLoaded() ? library.utilization() : std::nullopt;
}

std::map<int32_t, uint64_t> processTimes(const std::vector<int32_t>& pids) {
  Library& library = Library::shared();
  return library.isLoaded() ? library.processTimes(pids) : std::map<int32_t, uint64_t>{};
}

}  // namespace tessel::platform::Nvidia
