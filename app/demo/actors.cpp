#include "demo/actors.h"

#include <algorithm>

#include "util/calendar.h"
#include "util/files.h"

namespace tessel::demo {

void Actor::advance(Date now) {
  if (story_.idleMinutes > 0 || story_.opening.empty()) return;
  if (remaining_ < 0) remaining_ = story_.delaySeconds;
  if (remaining_ > 0 && --remaining_ > 0) return;
  const auto startStep = [&] {
    const Step& step = turns()[turn_].steps[step_];
    callStarts(step, now);
    if (step.permissionSeconds > 0) {
      waitsForPermission(step, now);
      phase_ = Phase::permission;
      remaining_ = step.permissionSeconds;
      return;
    }
    callRuns(step, now);
    runProcess(step);
    phase_ = Phase::call;
    remaining_ = step.isBackground ? 1 : step.seconds;
  };
  switch (phase_) {
    case Phase::pause:
      turnStarts(turns()[turn_], now);
      step_ = 0;
      startStep();
      break;
    case Phase::permission: {
      const Step& step = turns()[turn_].steps[step_];
      callRuns(step, now);
      runProcess(step);
      phase_ = Phase::call;
      remaining_ = step.seconds;
      break;
    }
    case Phase::call: {
      const Turn& turn = turns()[turn_];
      callEnds(turn.steps[step_], now);
      if (++step_ < turn.steps.size()) {
        startStep();
        break;
      }
      turnEnds(turn, now);
      phase_ = Phase::pause;
      remaining_ = turn.pauseSeconds;
      if (++turn_ >= turns().size()) {
        turn_ = 0;
        if (isOpening_ && !story_.loop.empty()) isOpening_ = false;
      }
      break;
    }
  }
}

void Actor::runProcess(const Step& step) {
  if (step.process.empty() || !agent_) return;
  const std::string program = step.process.substr(0, step.process.find(' '));
  const std::string argument =
      step.processArgument.empty() ? std::to_string(step.seconds) : step.processArgument;
  agent_->run("( exec -a " + shellQuoted(step.process) + " " +
              shellQuoted(world_.sandbox->programsFolder() + "/" + program) + " " + argument +
              " ) </dev/null >/dev/null 2>&1 &");
}

namespace {

std::string projectFolder(const World& world, const Story& story) {
  std::string cwd = world.sandbox->sourceFolder() + "/" + story.project;
  Files::createDirectories(cwd + "/.git");
  return cwd;
}

class ClaudeActor final : public Actor {
 public:
  ClaudeActor(Story story, World& world, uint64_t seed)
      : Actor(std::move(story), world), ids_(seed), transcript_("", {}, seed) {}

  bool begin(Date now) override {
    const std::string cwd = projectFolder(world_, story_);
    facts_ = ClaudeSessionFacts{
        .sessionId = ids_.uuid(), .cwd = cwd, .model = story_.model, .gitBranch = story_.branch};
    const std::string folder = world_.sandbox->configDir() + "/projects/" + projectFolderName(cwd);
    Files::createDirectories(folder);
    transcript_ = TranscriptWriter(folder + "/" + facts_.sessionId + ".jsonl", facts_,
                                   ids_.between(1, 1 << 30));
    agent_ = AgentProcess::start(world_.sandbox->agentsFolder() + "/claude", "claude", cwd);
    if (!agent_) return false;

    startedAt_ = now - story_.startedMinutesAgo * 60.0;
    Date at = startedAt_;
    transcript_.title(story_.title);
    for (const Turn& turn : story_.past) {
      transcript_.prompt(turn.prompt, at);
      for (const Step& step : turn.steps) {
        at = at + 3;
        const std::string id = transcript_.toolUse(step.tool, step.input, at);
        if (step.isBackground) runProcess(step);
        at = at + (step.isBackground ? 1 : step.seconds);
        transcript_.toolResult(id, step.output, step.isFailed, at);
      }
      at = at + 4;
      transcript_.reply(turn.reply, at);
    }
    Files::createDirectories(world_.sandbox->configDir() + "/sessions");
    status_ = "idle";
    statusSince_ = story_.idleMinutes > 0 ? now - story_.idleMinutes * 60.0 : at;
    writeSessionFile(now);
    hook("SessionStart", Json{{"source", "startup"}, {"model", facts_.model}});
    return true;
  }

 private:
  void turnStarts(const Turn& turn, Date now) override {
    transcript_.prompt(turn.prompt, now);
    hook("UserPromptSubmit", Json{{"prompt", turn.prompt}});
    setStatus("busy", now);
  }

  void callStarts(const Step& step, Date now) override {
    callId_ = transcript_.toolUse(step.tool, step.input, now);
    hook("PreToolUse",
         Json{{"tool_name", step.tool}, {"tool_input", step.input}, {"tool_use_id", callId_}});
  }

  void waitsForPermission(const Step& step, Date now) override {
    setStatus("waiting", now);
    hook("Notification", Json{{"message", "Claude needs your permission to use " + step.tool},
                              {"notification_type", "permission_prompt"}});
  }

  void callRuns(const Step& step, Date now) override {
    setStatus("busy", now);
    if (step.startsCompose) world_.engine->composeUp(now + 1);
    if (step.tool == "Task") startSubagent(step, now);
  }

  void callEnds(const Step& step, Date now) override {
    if (subagent_) finishSubagent(now);
    transcript_.toolResult(callId_, step.output, step.isFailed, now);
    Json event = {{"tool_name", step.tool}, {"tool_input", step.input}, {"tool_use_id", callId_}};
    if (step.isFailed) {
      event["error"] = "Exit code 1\n" + step.output;
      hook("PostToolUseFailure", event);
    } else {
      event["tool_response"] =
          Json{{"stdout", step.output}, {"stderr", ""}, {"interrupted", false}, {"isImage", false}};
      hook("PostToolUse", event);
    }
    world_.plan.fiveHour = std::min(99.0, world_.plan.fiveHour + 0.05);
    world_.plan.weekly = std::min(99.0, world_.plan.weekly + 0.01);
  }

  void turnEnds(const Turn& turn, Date now) override {
    transcript_.reply(turn.reply, now);
    hook("Stop", Json{{"stop_hook_active", false}});
    setStatus("idle", now);
  }

  // A sub-agent writes a transcript of its own beside the session's, with a note of the
  // call that started it.
  void startSubagent(const Step& step, Date now) {
    const std::string agentId = ids_.hex(17);
    const std::string path = transcript_.path();
    const std::string folder = path.substr(0, path.size() - 6) + "/subagents";
    Files::createDirectories(folder);
    Files::create(folder + "/agent-" + agentId + ".meta.json",
                  Json{{"toolUseId", callId_}, {"agentType", "general-purpose"}}.dump());
    subagent_.emplace(folder + "/agent-" + agentId + ".jsonl", facts_, ids_.between(1, 1 << 30),
                      agentId);
    subagent_->prompt(step.input.value("prompt", step.tool), now);
    subagentSince_ = now;
  }

  void finishSubagent(Date now) {
    const double step = (now - subagentSince_) / 4;
    Date at = subagentSince_;
    for (const char* file : {"src/export/csv.ts", "src/routes/orders.ts"}) {
      at = at + step;
      const std::string id = subagent_->toolUse("Read", Json{{"file_path", file}}, at);
      subagent_->toolResult(id, "(file contents)", false, at + 1);
    }
    subagent_->reply("Every field is escaped before it is written.", now);
    subagent_.reset();
  }

  // Claude Code rewrites its session file whole on every change of status.
  void setStatus(const std::string& status, Date now) {
    if (status == status_) return;
    status_ = status;
    statusSince_ = now;
    writeSessionFile(now);
  }

  void writeSessionFile(Date now) {
    const std::string path =
        world_.sandbox->configDir() + "/sessions/" + std::to_string(agent_->pid()) + ".json";
    Files::replace(path,
                   liveSessionFile(facts_, agent_->pid(), story_.title, status_, startedAt_,
                                   statusSince_, now),
                   ".tmp", 0600);
  }

  // The hook runs under the session's process, as Claude Code runs it, so it finds the
  // session's process among its ancestors.
  void hook(std::string_view event, const Json& extra) {
    agent_->run(shellQuoted(world_.hookProgram) + " <<'TESSEL_HOOK_INPUT'\n" +
                hookInput(facts_, transcript_.path(), event, extra) + "\nTESSEL_HOOK_INPUT");
  }

  Ids ids_;
  ClaudeSessionFacts facts_{};
  TranscriptWriter transcript_;
  std::optional<TranscriptWriter> subagent_{};
  Date subagentSince_{};
  std::string status_{};
  Date statusSince_{};
  Date startedAt_{};
  std::string callId_{};
};

class CodexActor final : public Actor {
 public:
  CodexActor(Story story, World& world, uint64_t seed)
      : Actor(std::move(story), world), ids_(seed), rollout_("", "", "", "", seed) {}

  bool begin(Date now) override {
    const std::string cwd = projectFolder(world_, story_);
    const std::string id = ids_.uuid();
    const Date startedAt = now - story_.startedMinutesAgo * 60.0;
    const std::string home = world_.sandbox->codexHome();
    const std::string folder = home + "/sessions/" + Calendar::formatLocal(startedAt, "%Y/%m/%d");
    Files::createDirectories(folder);
    rollout_ =
        RolloutWriter(folder + "/rollout-" + Calendar::formatLocal(startedAt, "%Y-%m-%dT%H-%M-%S") +
                          "-" + id + ".jsonl",
                      id, cwd, story_.model, ids_.between(1, 1 << 30));
    const std::string lock = home + "/thread-writer-locks/" + id + ".lock";
    Files::createDirectories(home + "/thread-writer-locks");
    Files::create(lock, "");
    Files::appendOnce(
        home + "/session_index.jsonl",
        Json{{"id", id}, {"thread_name", story_.title}, {"updated_at", stamp(startedAt)}}.dump() +
            "\n",
        0644);
    agent_ = AgentProcess::start(world_.sandbox->agentsFolder() + "/codex", "codex", cwd, {lock});
    if (!agent_) return false;

    Date at = startedAt;
    rollout_.start(at);
    for (const Turn& turn : story_.past) {
      rollout_.userTurn(turn.prompt, at);
      for (const Step& step : turn.steps) {
        at = at + 3;
        const std::string call = rollout_.execCommand(step.command(), at);
        at = at + step.seconds;
        rollout_.execOutput(call, step.isFailed ? 1 : 0, step.output, at);
        rollout_.tokenCount(world_.plan, at);
      }
      at = at + 4;
      rollout_.complete(turn.reply, at);
    }
    return true;
  }

 private:
  void turnStarts(const Turn& turn, Date now) override { rollout_.userTurn(turn.prompt, now); }
  void callStarts(const Step& step, Date now) override {
    callId_ = rollout_.execCommand(step.command(), now);
  }
  void waitsForPermission(const Step&, Date) override {}
  void callRuns(const Step&, Date) override {}
  void callEnds(const Step& step, Date now) override {
    rollout_.execOutput(callId_, step.isFailed ? 1 : 0, step.output, now);
    rollout_.tokenCount(world_.plan, now);
  }
  void turnEnds(const Turn& turn, Date now) override { rollout_.complete(turn.reply, now); }

  Ids ids_;
  RolloutWriter rollout_;
  std::string callId_{};
};

}  // namespace

std::unique_ptr<Actor> claudeActor(Story story, World& world, uint64_t seed) {
  return std::make_unique<ClaudeActor>(std::move(story), world, seed);
}

std::unique_ptr<Actor> codexActor(Story story, World& world, uint64_t seed) {
  return std::make_unique<CodexActor>(std::move(story), world, seed);
}

}  // namespace tessel::demo
