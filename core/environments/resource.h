// What an environment scan finds: containers and virtual machines of the engines and
// hypervisors on this machine, and the engines themselves. Plain values, safe to copy
// between threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/date.h"

namespace tessel {

// A development container: one that an editor or DevPod built for a project folder.
struct DevContainer {
  std::string tool;  // "Dev container" or "DevPod"
  std::optional<std::string> name{};
  std::optional<std::string> folder{};   // the project folder on the host
  bool hookInstalled = false;            // the folder has the container hook installed
  std::optional<int> claudeProcesses{};  // Claude Code processes running inside

  bool operator==(const DevContainer&) const = default;
};

struct Resource {
  enum class Kind { vm, container, process };

  std::string id;  // provider prefix + the engine's own id, unique across providers
  Kind kind = Kind::container;
  std::string name{};
  std::string detail{};                // for containers, the shortened image
  std::string provider{};              // the provider's display name
  std::optional<std::string> group{};  // compose project
  std::string state{};
  std::optional<int64_t> memory{};  // bytes in use
  std::optional<double> cpu{};      // percent of one core
  std::optional<int> cores{};
  std::optional<DevContainer> devContainer{};
  std::optional<Date> started{};
  std::vector<std::string> ports{};                // published host ports, decimal
  std::optional<int32_t> pid{};                    // the host process behind it, when known
  std::optional<std::vector<std::string>> stop{};  // the command that stops it, program first
  std::vector<std::string> keywords{};             // words that tie it to a session's commands
  std::optional<std::string> context{};

  bool operator==(const Resource&) const = default;
};

// "vm", "container", "process".
const char* kindName(Resource::Kind kind);

struct Provider {
  std::string name;  // display name, also its identity
  bool isInstalled = false;
  bool isRunning = false;
  int count = 0;  // resources it reported
  std::optional<std::string> note{};

  bool operator==(const Provider&) const = default;
};

struct EnvironmentScan {
  Date date{};
  std::vector<Resource> resources{};
  std::vector<Provider> providers{};

  bool operator==(const EnvironmentScan&) const = default;
};

}  // namespace tessel
