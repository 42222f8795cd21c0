// One simulated session playing its story, a second at a time: the shared playback of
// turns and calls, and what a Claude Code or a Codex session writes at each moment of it.
// Each actor is driven by the simulation thread alone.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "demo/agent_lines.h"
#include "demo/agent_process.h"
#include "demo/engine.h"
#include "demo/sandbox.h"
#include "demo/story.h"

namespace tessel::demo {

// What every actor shares: the plan's windows move as sessions use tokens.
struct World {
  const Sandbox* sandbox = nullptr;
  Engine* engine = nullptr;
  std::string hookProgram{};
  PlanWindows plan{};
};

class Actor {
 public:
  Actor(Story story, World& world) : story_(std::move(story)), world_(world) {}
  virtual ~Actor() = default;
  Actor(const Actor&) = delete;
  Actor& operator=(const Actor&) = delete;

  // Writes what the session did before the demo began and starts its process.
  virtual bool begin(Date now) = 0;
  // Moves the session one second on.
  void advance(Date now);
  // Ends the session's process and everything it started.
  void stop() {
    if (agent_) agent_->stop();
  }

 protected:
  virtual void turnStarts(const Turn& turn, Date now) = 0;
  virtual void callStarts(const Step& step, Date now) = 0;
  virtual void waitsForPermission(const Step& step, Date now) = 0;
  virtual void callRuns(const Step& step, Date now) = 0;
  virtual void callEnds(const Step& step, Date now) = 0;
  virtual void turnEnds(const Turn& turn, Date now) = 0;

  // Starts the process a call runs, under the session's process.
  void runProcess(const Step& step);
  const std::vector<Turn>& turns() const { return isOpening_ ? story_.opening : story_.loop; }

  Story story_;
  World& world_;
  std::unique_ptr<AgentProcess> agent_;

 private:
  enum class Phase { pause, permission, call };
  Phase phase_ = Phase::pause;
  bool isOpening_ = true;
  size_t turn_ = 0;
  size_t step_ = 0;
  int remaining_ = -1;  // seconds left in this phase; -1 before the first turn
};

std::unique_ptr<Actor> claudeActor(Story story, World& world, uint64_t seed);
std::unique_ptr<Actor> codexActor(Story story, World& world, uint64_t seed);

}  // namespace tessel::demo
