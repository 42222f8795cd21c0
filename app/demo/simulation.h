// The demo's sessions at work: four Claude Code sessions and one Codex session as real
// processes, each playing its story (story.h) on one background thread that moves every
// session on by a second at a time: prompts, tool calls and their results, hook events
// through the real hook program, status changes, containers starting. Built, run and
// stopped by one owner; `stop` may be called from any thread, once or more.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "demo/sandbox.h"
#include "util/date.h"

namespace tessel::demo {

class Actor;
class Engine;
struct World;

class Simulation {
 public:
  // Writes the sessions' files and starts their processes in `sandbox` (already created),
  // then the thread. Fails with the sentence to show when an agent cannot start.
  // `supportDir` is where Tessel keeps its own files in the sandbox's home.
  static std::unique_ptr<Simulation> start(const Sandbox& sandbox, const std::string& supportDir,
                                           const std::string& hookProgram, Date now,
                                           std::string& failure);
  ~Simulation();
  Simulation(const Simulation&) = delete;
  Simulation& operator=(const Simulation&) = delete;

  // Ends the thread, then every process the sessions started.
  void stop();

 private:
  Simulation();
  void run();

  std::string connectorFile_;
  std::unique_ptr<Engine> engine_;
  std::unique_ptr<World> world_;
  std::vector<std::unique_ptr<Actor>> actors_;
  std::thread thread_;
  std::mutex stopLock_;  // one stop at a time; a second waits for the first
  std::mutex lock_;
  std::condition_variable wake_;
  // Guarded by lock_.
  bool isStopping_ = false;
};

}  // namespace tessel::demo
