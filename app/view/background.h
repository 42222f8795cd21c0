// The live view's slow work, each on a thread of its own so a frame never waits for
// it: environment scans (container statistics less often) with the shell-command index
// they are attributed from and the plan readings, and the usage tallies. The view takes
// the latest results with `latest`, from its own thread.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "codex/codex_limits.h"
#include "environments/resource.h"
#include "monitor/monitor.h"
#include "usage/plan.h"
#include "usage/usage_summary.h"

namespace tessel::view {

class Background {
 public:
  static constexpr double scanEvery = 10;
  static constexpr double statsEvery = 30;
  static constexpr double usageEvery = 60;
  // Bytes of transcripts one usage refresh reads: a first tally of a large tree goes a
  // slice at a time, shown as it grows, and quitting waits for one slice at most.
  static constexpr uint64_t usageSlice = 64 << 20;

  struct Results {
    std::optional<EnvironmentScan> scan{};
    std::optional<Plan> plan{};
    std::optional<CodexLimits> codexLimits{};
    std::optional<Aggregate> usage{};
    std::map<std::string, int64_t> tokensToday{};
  };

  // Starts both threads at once; `monitor` must outlive this object.
  explicit Background(Monitor& monitor);
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;
  // Stops both threads; a scan or refresh under way is finished first.
  ~Background();

  Results latest() const;

 private:
  void scanLoop();
  void usageLoop();
  // Waits `seconds` or until the object goes; false when it goes.
  bool pause(double seconds);

  Monitor& monitor_;

  mutable std::mutex lock_;
  std::condition_variable stopped_;
  // Guarded by lock_.
  bool isStopping_ = false;
  Results results_;

  std::thread scanThread_;
  std::thread usageThread_;
};

// Tokens per session id since local midnight of `now`.
std::map<std::string, int64_t> tokensToday(const IndexStore::Tally& buckets, Date now);

}  // namespace tessel::view
