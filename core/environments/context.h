// What the environment scan keeps between scans: the tool runner every provider asks
// through, where Docker Desktop is installed, and the answers worth keeping (container
// start dates, Docker's CPU count, DevPod's workspaces). The long-lived owner keeps one
// context for all its scans; tests make their own. Safe from any thread: each cache has
// its own lock, and the rest never changes.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "environments/shell.h"
#include "platform/applications.h"
#include "util/date.h"

namespace tessel::Environments {

// A DevPod workspace: its name and project folder, when DevPod knows them.
struct Workspace {
  std::optional<std::string> name{};
  std::optional<std::string> folder{};

  bool operator==(const Workspace&) const = default;
};

// Start dates of containers by id. A container's start never changes, so entries are
// never dropped.
class StartDates {
 public:
  std::optional<Date> get(const std::string& id) const;
  void put(const std::string& id, Date date);

 private:
  mutable std::mutex lock_;
  // Guarded by lock_.
  std::map<std::string, Date> dates_;
};

// One answer, kept while it is younger than its lifetime. The lock is held while a fresh
// answer is asked for, so concurrent callers wait for one run instead of starting their own.
template <typename Value>
class TimedAnswer {
 public:
  explicit TimedAnswer(double lifetimeSeconds) : lifetimeSeconds_(lifetimeSeconds) {}

  // The kept answer, unless it was taken `lifetimeSeconds` or more before `now`, or after
  // `now` (the clock was set back); then `ask()`'s, kept from `now` on.
  template <typename Ask>
  Value get(Date now, Ask&& ask) {
    std::lock_guard guard(lock_);
    if (taken_ && now >= *taken_ && now - *taken_ < lifetimeSeconds_) return value_;
    value_ = ask();
    taken_ = now;
    return value_;
  }

 private:
  const double lifetimeSeconds_;
  std::mutex lock_;
  // Guarded by lock_.
  std::optional<Date> taken_;
  Value value_{};
};

class Context {
 public:
  static constexpr double cpuCountLifetime = 600;  // seconds
  static constexpr double workspaceLifetime = 60;  // seconds

  explicit Context(std::vector<std::string> searchPaths = Shell::standardSearchPaths(),
                   std::string dockerApplication = platform::dockerDesktopPath())
      : tools_(std::move(searchPaths)), dockerApplication_(std::move(dockerApplication)) {}
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  const ToolRunner& tools() const { return tools_; }
  // Docker Desktop's folder: while it exists, Docker counts as installed.
  const std::string& dockerApplication() const { return dockerApplication_; }

  StartDates& startDates() { return startDates_; }
  TimedAnswer<std::optional<int>>& cpuCount() { return cpuCount_; }
  TimedAnswer<std::map<std::string, Workspace>>& workspaces() { return workspaces_; }

 private:
  const ToolRunner tools_;
  const std::string dockerApplication_;
  StartDates startDates_;
  TimedAnswer<std::optional<int>> cpuCount_{cpuCountLifetime};
  TimedAnswer<std::map<std::string, Workspace>> workspaces_{workspaceLifetime};
};

}  // namespace tessel::Environments
