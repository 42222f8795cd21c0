// Docker volumes on this machine: their sizes, labels, creation dates and the
// containers that mount them, and their removal. Stateless: every operation may run on
// any thread and blocks it while docker runs.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "environments/shell.h"
#include "util/date.h"

namespace tessel {

struct ContainerVolume {
  // A container that mounts the volume, running or not.
  struct User {
    std::string id;  // the full container id
    std::string name{};
    std::string image{};  // shortened, without a registry host
    bool isRunning = false;
    std::optional<Date> started{};
    std::optional<Date> finished{};

    bool operator==(const User&) const = default;
  };

  enum class Use { running, stopped, unused };

  std::string name;
  std::string provider{};  // "Docker"
  std::string driver{};    // "local" unless the engine says otherwise
  std::optional<Date> created{};
  std::optional<int64_t> size{};  // bytes; absent when the engine does not know
  std::map<std::string, std::string> labels{};
  std::vector<User> users{};
  std::optional<Date> lastSeenInUse{};  // kept by the Monitor across scans

  bool operator==(const ContainerVolume&) const = default;

  // "Docker:pgdata": unique across providers.
  std::string id() const;
  Use use() const;
  // Made for one container and named by the engine rather than by anyone.
  bool isAnonymous() const;
  // The compose project it belongs to.
  std::optional<std::string> project() const;
  // A short anonymous name, the compose volume's own name, or the engine's name.
  std::string displayName() const;
  // When the volume was last used; `now` while a running container holds it.
  std::optional<Date> lastUsed(Date now) const;
};

namespace Volumes {

struct Scan {
  std::vector<ContainerVolume> volumes{};
  // Why the list is empty, when that is not because there are no volumes.
  std::optional<std::string> note{};
  Date date{};

  bool operator==(const Scan&) const = default;
};

struct Outcome {
  std::vector<std::string> deleted{};   // names of the volumes removed
  int64_t freed = 0;                    // bytes, the removed volumes' known sizes
  std::vector<std::string> failures{};  // one sentence per volume not removed

  bool operator==(const Outcome&) const = default;
};

// What `docker volume inspect` adds to a volume.
struct Inspection {
  std::optional<Date> created{};
  std::map<std::string, std::string> labels{};
  std::optional<std::string> driver{};

  bool operator==(const Inspection&) const = default;
};

// Lists the volumes with their users, asking docker through `tools`. Takes up to two
// minutes when the engine is slow; each command that fails only leaves out what it
// would have added.
Scan docker(const ToolRunner& tools);
// Removes the volumes, after the stopped containers that still refer to them. Running
// containers are never touched: their volumes fail to be removed.
Outcome remove(const ToolRunner& tools, const std::vector<ContainerVolume>& volumes);

// The "Volumes" of `docker system df -v --format {{json .}}`, without users.
std::vector<ContainerVolume> parseDiskUsage(std::string_view output);
// `docker volume inspect <names...>` by volume name.
std::map<std::string, Inspection> parseVolumeInspect(std::string_view output);
// `docker inspect <container ids...>`: the containers mounting each volume, by volume name.
std::map<std::string, std::vector<ContainerVolume::User>> parseContainerMounts(
    std::string_view output);
// One line saying why a docker command failed.
std::string firstLine(const Shell::Result& result);

}  // namespace Volumes
}  // namespace tessel
