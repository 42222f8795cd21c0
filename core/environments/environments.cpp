// The scan itself: every provider at once, each on a thread of its own, joined before
// the answers are put together in a fixed order.
#include "environments/environments.h"

#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

namespace tessel::Environments {

EnvironmentScan scan(Context& context, const ProcessTable& processes, bool withStats,
                     const EnvironmentScan* previous, Date now) {
  using Task = std::function<Answer(Context&, const ProcessTable&)>;
  const std::vector<Task> tasks = {
      [&](Context& shared, const ProcessTable& table) {
        return docker(shared, table, withStats, previous, now);
      },
      podman,
      parallels,
      utm,
      vmware,
      virtualbox,
      lima,
      colima,
      multipass,
      tart,
      orbstack,
      appleContainer,
  };
  std::mutex lock;
  std::vector<Answer> slots(tasks.size());
  {
    // Each provider mostly waits on its tool, so one thread each costs nothing and the
    // scan takes as long as the slowest.
    std::vector<std::jthread> threads;
    threads.reserve(tasks.size());
    for (size_t slot = 0; slot < tasks.size(); ++slot) {
      const auto run = [&, slot] {
        Answer answer = tasks[slot](context, processes);
        std::lock_guard guard(lock);
        slots[slot] = std::move(answer);
      };
      try {
        threads.emplace_back(run);
      } catch (const std::system_error&) {
        run();  // out of threads: this provider waits its turn instead
      }
    }
  }

  EnvironmentScan result;
  std::unordered_set<int32_t> claimed;
  for (auto& answer : slots) {
    for (auto& resource : answer.resources) {
      if (resource.pid) claimed.insert(*resource.pid);
      result.resources.push_back(std::move(resource));
    }
    if (answer.provider) result.providers.push_back(std::move(*answer.provider));
  }
  Answer unclaimed = unclaimedVMs(context, processes, claimed, result.providers, now);
  for (auto& resource : unclaimed.resources) result.resources.push_back(std::move(resource));
  if (unclaimed.provider) result.providers.push_back(std::move(*unclaimed.provider));
  result.date = now;
  return result;
}

}  // namespace tessel::Environments
