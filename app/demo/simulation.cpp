#include "demo/simulation.h"

#include <chrono>

#include "demo/actors.h"
#include "demo/engine.h"
#include "demo/history.h"

namespace tessel::demo {

Simulation::Simulation() = default;

std::unique_ptr<Simulation> Simulation::start(const Sandbox& sandbox, const std::string& supportDir,
                                              const std::string& hookProgram, Date now,
                                              std::string& failure) {
  std::unique_ptr<Simulation> simulation(new Simulation());
  simulation->connectorFile_ = supportDir + "/connector/state.json";
  simulation->engine_ = std::make_unique<Engine>(sandbox.engineFolder(), sandbox.toolsFolder(),
                                                 sandbox.sourceFolder() + "/shop", 7);
  simulation->world_ = std::make_unique<World>(
      World{.sandbox = &sandbox,
            .engine = simulation->engine_.get(),
            .hookProgram = hookProgram,
            .plan = PlanWindows{.fiveHour = 31,
                                .fiveHourResets = now + 2 * 3600 + 13 * 60,
                                .weekly = 58,
                                .weeklyResets = now + 3 * 86400 + 5 * 3600}});
  World& world = *simulation->world_;

  const Date mailpitAt = writeUsageHistory(sandbox.configDir() + "/projects",
                                           pastProjects(sandbox.sourceFolder()), now);
  writePlanReading(simulation->connectorFile_, world.plan, now);
  Story codex = codexStory();
  // The past turn's first command started the object store's container.
  const Date minioAt = now - codex.startedMinutesAgo * 60.0 + 5;
  if (!simulation->engine_->install(mailpitAt, minioAt, now)) {
    failure = "The demo can’t write its fake docker and podman into " + sandbox.toolsFolder() + ".";
    return nullptr;
  }
  uint64_t seed = 1;
  for (Story& story : claudeStories()) {
    simulation->actors_.push_back(claudeActor(std::move(story), world, seed++));
  }
  simulation->actors_.push_back(codexActor(std::move(codex), world, seed++));
  for (const auto& actor : simulation->actors_) {
    if (!actor->begin(now)) {
      failure = "The demo can’t start its simulated agents from " + sandbox.agentsFolder() + ".";
      simulation->stop();
      return nullptr;
    }
  }
  simulation->thread_ = std::thread(&Simulation::run, simulation.get());
  return simulation;
}

Simulation::~Simulation() { stop(); }

void Simulation::run() {
  const auto begun = std::chrono::steady_clock::now();
  for (int tick = 1;; ++tick) {
    {
      std::unique_lock guard(lock_);
      if (wake_.wait_until(guard, begun + std::chrono::seconds(tick),
                           [this] { return isStopping_; })) {
        return;
      }
    }
    const Date now = Date::now();
    for (const auto& actor : actors_) actor->advance(now);
    if (tick % 3 == 0) engine_->refresh(now);
    if (tick % 15 == 0) writePlanReading(connectorFile_, world_->plan, now);
  }
}

void Simulation::stop() {
  std::lock_guard once(stopLock_);
  {
    std::lock_guard guard(lock_);
    isStopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  for (const auto& actor : actors_) actor->stop();
}

}  // namespace tessel::demo
