// Which session started or used a container, virtual machine or process: verdicts from
// the shell commands the sessions ran, with fixed time windows and word tables, because
// the user is shown the result as the session that started it. Pure functions.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "activity/command.h"
#include "environments/resource.h"
#include "util/date.h"

namespace tessel {

struct Attribution {
  enum class How {
    child,    // a descendant process of the session's own process
    hook,     // a command seen through the hook log
    history,  // a command read back from a transcript or another history
  };

  std::string sessionId{};
  How how = How::history;
  bool started = false;  // false when the session only used it later
  std::optional<std::string> command{};
  std::optional<Date> at{};

  bool isCertain() const { return how != How::history; }

  bool operator==(const Attribution&) const = default;
};

std::string_view toString(Attribution::How how);

struct TrackedResource {
  Resource resource;
  std::optional<Attribution> link{};
  // Still running although the session tied to it is gone.
  bool isLeftover = false;

  const std::string& id() const { return resource.id; }

  bool operator==(const TrackedResource&) const = default;
};

namespace Activity {

// The verdict for one resource. `prepared`: the candidate commands sorted by start, each
// with its event.
std::optional<Attribution> attribute(const Resource& resource, std::span<const Command> prepared);
// The same from tool calls in any order, parsed without the cache.
std::optional<Attribution> attribute(const Resource& resource,
                                     const std::vector<ToolEvent>& commands);

}  // namespace Activity
}  // namespace tessel
