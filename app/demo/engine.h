// The container engines the demo's sessions use: small `docker` and `podman` programs on
// the tool search path that answer in the real tools' formats from files this class keeps
// current, so a scan sees containers appear when a session starts them and their figures
// move while they run, and the volume list can be read and pruned. Driven by the simulation thread
// alone.
#pragma once

#include <string>
#include <vector>

#include "demo/agent_lines.h"
#include "util/date.h"

namespace tessel::demo {

class Engine {
 public:
  // `folder` holds the engine's state; the programs go into `toolsFolder`. `composeFolder`
  // is the project whose compose file starts the "shop" stack.
  Engine(std::string folder, std::string toolsFolder, std::string composeFolder, uint64_t seed);

  // Installs the programs, with a container started by an earlier session at `mailpitAt`,
  // one under podman since `minioAt`, and volumes left by earlier work.
  bool install(Date mailpitAt, Date minioAt, Date now);
  // The compose project's containers start at `at`.
  void composeUp(Date at);
  // New statistics, as a `docker stats` taken now would show.
  void refresh(Date now);

 private:
  struct Container {
    std::string id{};
    std::string name{};
    std::string image{};
    std::string service{};  // empty outside a compose project
    std::string ports{};    // "0.0.0.0:5432->5432/tcp" mappings joined by ", "
    std::string command{};
    Date started{};
    double cpu = 0;
    double memoryMiB = 0;
  };
  void write(Date now);

  std::string folder_;
  std::string toolsFolder_;
  std::string composeFolder_;
  Ids ids_;
  std::vector<Container> containers_;
  Date minioAt_{};
};

}  // namespace tessel::demo
