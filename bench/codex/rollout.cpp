// A rollout's life: its traits, its clock, the framing of its lines, its turns and token
// counts. The tool calls within a turn are in codex_tools.cpp.
#include "codex/rollout.h"

#include <algorithm>

#include "codex/codex_text.h"
#include "tree/text.h"

namespace tessel::bench {

Rollout::Rollout(const Pools& pools, const CodexProject& project, Random& random,
                 RolloutStats& stats, std::string& out, FileOut* file)
    : pools_(pools), project_(project), random_(random), stats_(stats), out_(out), file_(file) {}

int64_t Rollout::writeFile(const Plan& plan) {
  chooseTraits(plan);
  stats_.files++;
  if (plan.client == Client::review) stats_.subagents++;
  sessionMeta();
  bool first = true;
  while (!full()) {
    turn(first);
    first = false;
  }
  // A writer killed in the middle of a line leaves it without its newline.
  if (random_.chance(0.03)) {
    stats_.tornFiles++;
    const int64_t whole = lastWholeMs_;
    open("event_msg");
    out_ += "\"type\":\"agent_message\",\"message\":\"";
    appendProse(out_, pools_, 300, random_);
    out_.resize(lineStart_ + (out_.size() - lineStart_) / 2);
    lastWholeMs_ = whole;
  }
  stats_.bytes += written();
  return lastWholeMs_;
}

void Rollout::appendLive(size_t count, int64_t nowMs) {
  if (plan_.id.empty()) {
    Plan plan;
    plan.id = "live";
    plan.startMs = nowMs - 10 * kMinuteMs;
    plan.endMs = nowMs;
    plan.bytes = 1;
    chooseTraits(plan);
    // A session at work today runs a current Codex.
    if (older_) {
      older_ = false;
      limits_ = LimitStyle::current;
      sandbox_ =
          "{\"type\":\"workspace-write\",\"network_access\":false,"
          "\"exclude_tmpdir_env_var\":false,\"exclude_slash_tmp\":false}";
    }
  }
  // The clock follows the caller's, never going back nor past it.
  clock_ = std::max(clock_, nowMs - 2 * kSecondMs);
  plan_.startMs = clock_;
  limit_ = std::max(clock_, nowMs);
  // Outputs sized for a live turn's lines, not for a whole file's.
  target_ = out_.size() + count * 700 + closingReserve;
  const uint64_t goal = stats_.lines + count;
  while (stats_.lines < goal) {
    const uint64_t left = goal - stats_.lines;
    if (left >= 12 && random_.chance(0.2)) {
      turn(false);
    } else if (left >= 3) {
      step();
    } else {
      tokenCount(true);
    }
  }
  // A turn can overshoot; whole lines past the goal are dropped.
  size_t excess = stats_.lines - goal;
  while (excess-- > 0) {
    const size_t end = out_.rfind('\n', out_.size() - 2);
    out_.resize(end == std::string::npos ? 0 : end + 1);
  }
}

void Rollout::chooseTraits(const Plan& plan) {
  Random& r = random_;
  plan_ = plan;
  target_ = std::max<uint64_t>(plan.bytes, 1);
  clock_ = plan.startMs;
  limit_ = plan.endMs;
  lastWholeMs_ = plan.startMs;
  const double modelDraw = r.unit();
  model_ = modelDraw < 0.35   ? "gpt-5-codex"
           : modelDraw < 0.65 ? "gpt-5.1-codex-max"
           : modelDraw < 0.92 ? "gpt-5.2-codex"
                              : "gpt-5";
  static const char* const efforts[] = {"low", "medium", "medium", "high", "xhigh"};
  effort_ = r.pick(efforts);
  static const char* const approvals[] = {"on-request", "on-request", "never", "untrusted",
                                          "on-failure"};
  approval_ = plan.client == Client::exec ? "never" : r.pick(approvals);
  // Files from before the rate limits carried absolute resets use the older shapes.
  older_ = r.chance(0.15);
  const double sandboxDraw = r.unit();
  const char* const key = older_ ? "mode" : "type";
  sandbox_ = std::string("{\"") + key + "\":";
  if (sandboxDraw < 0.7) {
    sandbox_ +=
        "\"workspace-write\",\"network_access\":false,\"exclude_tmpdir_env_var\":false,"
        "\"exclude_slash_tmp\":false}";
  } else if (sandboxDraw < 0.9) {
    sandbox_ += "\"read-only\"}";
  } else {
    sandbox_ += "\"danger-full-access\"}";
  }
  cliVersion_ =
      older_ ? "0.4" + std::to_string(r.between(2, 9)) + ".0"
             : "0.6" + std::to_string(r.between(3, 9)) + "." + std::to_string(r.between(0, 2));
  instructions_.clear();
  if (r.chance(0.3)) appendProse(instructions_, pools_, r.between(3000, 9000), r);
  userInstructions_ = r.chance(0.8);
  codeMode_ = !older_ && r.chance(0.2);
  repeatCounts_ = r.chance(0.5);
  const double limitDraw = r.unit();
  if (plan.client == Client::exec || limitDraw < 0.05) {
    limits_ = LimitStyle::none;
  } else if (older_) {
    limits_ = LimitStyle::older;
  } else if (limitDraw < 0.15) {
    limits_ = LimitStyle::weeklyOnly;
  } else {
    limits_ = LimitStyle::current;
  }
  static const char* const plans[] = {"plus", "plus", "plus", "pro", "team", "business"};
  planType_ = r.pick(plans);
  fiveHourTenths_ = static_cast<int>(r.between(0, 300));
  weeklyTenths_ = static_cast<int>(r.between(50, 600));
  weeklyPhaseMs_ = r.between(0, 7 * kDayMs);
  window_ = r.chance(0.8) ? 272000 : 400000;
  context_ = r.between(9000, 16000);
  totalInput_ = totalCached_ = totalOutput_ = totalReasoning_ = 0;
  threadName_ = r.chance(0.4) ? fill("@A the @a @n in @s", r) : "";
}

size_t Rollout::cap(double wanted) const {
  const uint64_t used = written() + closingReserve;
  const double left = used < target_ ? static_cast<double>(target_ - used) : 0;
  return static_cast<size_t>(std::min(wanted, std::max(64.0, left / 2)));
}

void Rollout::advance(int64_t gapMs) {
  const double progress =
      std::min(1.0, static_cast<double>(written()) / static_cast<double>(target_));
  const auto floor =
      plan_.startMs + static_cast<int64_t>(progress * static_cast<double>(limit_ - plan_.startMs));
  clock_ = std::max(clock_, std::min(std::max(clock_ + gapMs, floor), limit_));
}

void Rollout::open(std::string_view type) {
  maybeOddLine();
  lineStart_ = out_.size();
  out_ += "{\"timestamp\":\"";
  appendUtcStamp(out_, clock_);
  out_ += "\",\"type\":\"";
  out_ += type;
  out_ += "\",\"payload\":{";
}

void Rollout::openEvent(std::string_view eventType) {
  open("event_msg");
  out_ += "\"type\":\"";
  out_ += eventType;
  out_ += '"';
}

void Rollout::close() {
  out_ += "}}\n";
  stats_.lines++;
  lastWholeMs_ = clock_;
  if (file_ != nullptr) file_->maybeFlush();
  advance(random_.between(2, 250));
}

// About one line in fifty is one a reader must step over: blank, of a kind it does not
// know, or with bytes that are not UTF-8.
void Rollout::maybeOddLine() {
  if (file_ == nullptr || !random_.chance(0.02)) return;
  stats_.oddLines++;
  const double draw = random_.unit();
  if (draw < 0.35) {
    out_ += '\n';
    return;
  }
  out_ += "{\"timestamp\":\"";
  appendUtcStamp(out_, clock_);
  if (draw < 0.6) {
    out_ += "\",\"type\":\"session_state\",\"payload\":{\"revision\":";
    appendNumber(out_, random_.between(1, 90));
    out_ += "}}\n";
  } else if (draw < 0.8) {
    out_ += "\",\"type\":\"event_msg\",\"payload\":{\"type\":\"background_event\",\"message\":\"";
    out_ += random_.pick(pools_.misc);
    out_ += "\"}}\n";
  } else {
    out_ += "\",\"type\":\"event_msg\",\"payload\":{\"type\":\"agent_message\",\"message\":\"";
    out_ += "caf\xe9 \xff\xfe ";
    out_ += random_.pick(pools_.sentences);
    out_ += "\"}}\n";
  }
}

void Rollout::sessionMeta() {
  open("session_meta");
  out_ += "\"id\":\"";
  out_ += plan_.id;
  out_ += "\",\"timestamp\":\"";
  appendUtcStamp(out_, clock_);
  out_ += "\",\"cwd\":\"";
  appendEscaped(out_, project_.cwd);
  const Client client = plan_.client;
  out_ += "\",\"originator\":\"";
  out_ += client == Client::vscode ? "codex_vscode"
          : client == Client::exec ? "codex_exec"
                                   : "codex_cli_rs";
  out_ += "\",\"cli_version\":\"";
  out_ += cliVersion_;
  out_ += "\",\"instructions\":";
  if (instructions_.empty()) {
    out_ += "null";
  } else {
    appendQuoted(out_, instructions_);
  }
  // Early command-line builds wrote no source.
  if (!(older_ && client == Client::cli && random_.chance(0.5))) {
    out_ += ",\"source\":";
    out_ += client == Client::review   ? "{\"subagent\":\"review\"}"
            : client == Client::vscode ? "\"vscode\""
            : client == Client::exec   ? "\"exec\""
                                       : "\"cli\"";
  }
  out_ += ",\"model_provider\":\"openai\"";
  if (random_.chance(0.85)) {
    out_ += ",\"git\":{\"commit_hash\":\"";
    out_ += randomChars(random_, kHex, 40);
    out_ += "\",\"branch\":\"";
    appendEscaped(out_, random_.pick(project_.branches));
    out_ += "\",\"repository_url\":\"";
    appendEscaped(out_, project_.remote);
    out_ += "\"}";
  }
  close();
}

void Rollout::turn(bool first) {
  stats_.turns++;
  if (!first) advance(static_cast<int64_t>(random_.logUniform(20.0 * kSecondMs, 40.0 * kMinuteMs)));
  if (random_.chance(0.05)) {
    static const char* const others[] = {"gpt-5-codex", "gpt-5.1-codex-max", "gpt-5.2-codex"};
    model_ = random_.pick(others);
  }
  turnContext();
  openEvent("task_started");
  out_ += ",\"model_context_window\":";
  appendNumber(out_, window_);
  close();
  userMessage(first);
  tokenCount(false);
  const auto steps = static_cast<int>(random_.logUniform(1, 40));
  for (int i = 0; i < steps && !full(); ++i) step();
  if (random_.chance(0.06)) {
    openEvent("turn_aborted");
    out_ += ",\"reason\":\"interrupted\"";
    close();
    return;
  }
  reasoning();
  agentMessage(true);
  tokenCount(true);
  openEvent("task_complete");
  out_ += ",\"last_agent_message\":\"";
  appendProse(out_, pools_, static_cast<size_t>(random_.logUniform(80, 1200)), random_);
  out_ += '"';
  close();
}

void Rollout::turnContext() {
  open("turn_context");
  out_ += "\"cwd\":\"";
  appendEscaped(out_, project_.cwd);
  out_ += "\",\"approval_policy\":\"";
  out_ += approval_;
  out_ += "\",\"sandbox_policy\":";
  out_ += sandbox_;
  out_ += ",\"model\":\"";
  out_ += model_;
  out_ += "\",\"effort\":\"";
  out_ += effort_;
  out_ += "\",\"summary\":\"auto\"";
  if (userInstructions_) {
    out_ += ",\"user_instructions\":\"";
    out_ += project_.agentsMd;
    out_ += '"';
  }
  if (!older_) out_ += ",\"truncation_policy\":{\"mode\":\"tokens\",\"limit\":10000}";
  close();
}

void Rollout::userMessage(bool first) {
  if (first) {
    open("response_item");
    out_ +=
        "\"type\":\"message\",\"role\":\"user\",\"content\":[{\"type\":\"input_text\",\"text\":\"";
    out_ += "<environment_context>\\n  <cwd>";
    appendEscaped(out_, project_.cwd);
    out_ += "</cwd>\\n  <approval_policy>";
    out_ += approval_;
    out_ +=
        "</approval_policy>\\n  <sandbox_mode>workspace-write</sandbox_mode>\\n  "
        "<network_access>restricted</network_access>\\n  <shell>bash</shell>\\n"
        "</environment_context>\"}]";
    close();
  }
  std::string prompt = random_.pick(pools_.prompts);
  if (random_.chance(0.3)) {
    prompt += "\\n\\n";
    appendLines(prompt, pools_.errors, static_cast<size_t>(random_.logUniform(100, 3000)), random_);
  }
  open("response_item");
  out_ +=
      "\"type\":\"message\",\"role\":\"user\",\"content\":[{\"type\":\"input_text\",\"text\":\"";
  out_ += prompt;
  out_ += "\"}]";
  close();
  openEvent("user_message");
  out_ += ",\"message\":\"";
  out_ += prompt;
  out_ += "\",\"images\":[],\"local_images\":[],\"text_elements\":[]";
  close();
}

void Rollout::tokenCount(bool withInfo) {
  // A model response: what it read and wrote joins the session's totals.
  int64_t input = 0, cached = 0, output = 0, reasoned = 0;
  if (withInfo) {
    input = context_;
    cached = std::max<int64_t>(0, input - random_.between(200, 6000)) / 128 * 128;
    output = static_cast<int64_t>(random_.logUniform(30, 4000));
    reasoned = output * random_.between(0, 80) / 100;
    totalInput_ += input;
    totalCached_ += cached;
    totalOutput_ += output;
    totalReasoning_ += reasoned;
    context_ += output + random_.between(50, 2000);
    if (context_ > window_ * 9 / 10) context_ = random_.between(20000, 40000);
  }
  const int repeats = withInfo && repeatCounts_ && random_.chance(0.15) ? 2 : 1;
  for (int i = 0; i < repeats; ++i) {
    openEvent("token_count");
    out_ += ",\"info\":";
    if (!withInfo) {
      out_ += "null";
    } else {
      out_ += "{\"total_token_usage\":";
      appendUsage(totalInput_, totalCached_, totalOutput_, totalReasoning_);
      out_ += ",\"last_token_usage\":";
      appendUsage(input, cached, output, reasoned);
      out_ += ",\"model_context_window\":";
      appendNumber(out_, window_);
      out_ += '}';
    }
    out_ += ",\"rate_limits\":";
    appendRateLimits();
    close();
  }
}

void Rollout::appendUsage(int64_t input, int64_t cached, int64_t output, int64_t reasoning) {
  out_ += "{\"input_tokens\":";
  appendNumber(out_, input);
  out_ += ",\"cached_input_tokens\":";
  appendNumber(out_, cached);
  out_ += ",\"output_tokens\":";
  appendNumber(out_, output);
  out_ += ",\"reasoning_output_tokens\":";
  appendNumber(out_, reasoning);
  out_ += ",\"total_tokens\":";
  appendNumber(out_, input + output);
  out_ += '}';
}

void Rollout::appendRateLimits() {
  if (limits_ == LimitStyle::none) {
    out_ += "null";
    return;
  }
  fiveHourTenths_ = std::min(1000, fiveHourTenths_ + static_cast<int>(random_.below(6)));
  weeklyTenths_ = std::min(1000, weeklyTenths_ + static_cast<int>(random_.below(2)));
  out_ += "{\"primary\":";
  if (limits_ == LimitStyle::weeklyOnly) {
    appendWindow(weeklyTenths_, 10080, 7 * kDayMs);
    out_ += ",\"secondary\":null";
  } else {
    appendWindow(fiveHourTenths_, 300, 5 * kHourMs);
    out_ += ",\"secondary\":";
    appendWindow(weeklyTenths_, 10080, 7 * kDayMs);
  }
  if (limits_ != LimitStyle::older) {
    out_ += ",\"credits\":{\"has_credits\":false,\"unlimited\":false,\"balance\":null}";
    out_ += ",\"plan_type\":\"";
    out_ += planType_;
    out_ += '"';
  }
  out_ += '}';
}

void Rollout::appendWindow(int tenths, int minutes, int64_t windowMs) {
  out_ += "{\"used_percent\":";
  appendNumber(out_, tenths / 10);
  out_ += '.';
  appendNumber(out_, tenths % 10);
  out_ += ",\"window_minutes\":";
  appendNumber(out_, minutes);
  const int64_t phase = minutes == 300 ? 0 : weeklyPhaseMs_;
  const int64_t resetsMs = ((clock_ - phase) / windowMs + 1) * windowMs + phase;
  if (limits_ == LimitStyle::older) {
    out_ += ",\"resets_in_seconds\":";
    appendNumber(out_, (resetsMs - clock_) / kSecondMs);
  } else {
    out_ += ",\"resets_at\":";
    appendNumber(out_, resetsMs / kSecondMs);
  }
  out_ += '}';
}

void Rollout::reasoning() {
  const std::string title = capitalized(random_.pick(pools_.sentences).substr(0, 40));
  if (random_.chance(0.5)) {
    openEvent("agent_reasoning");
    out_ += ",\"text\":\"**";
    out_ += title;
    out_ += "**\"";
    close();
  }
  open("response_item");
  out_ += "\"type\":\"reasoning\",\"summary\":[{\"type\":\"summary_text\",\"text\":\"**";
  out_ += title;
  out_ += "**\\n\\n";
  appendProse(out_, pools_, static_cast<size_t>(random_.logUniform(60, 700)), random_);
  out_ += "\"}],\"content\":null,\"encrypted_content\":\"gAAAAABp";
  out_ += randomChars(random_, kBase64, cap(random_.logUniform(800, 9000)) / 4 * 4);
  out_ += "\"";
  close();
}

void Rollout::agentMessage(bool final) {
  std::string text;
  appendProse(text, pools_,
              cap(final ? random_.logUniform(200, 4000) : random_.logUniform(40, 300)), random_);
  openEvent("agent_message");
  out_ += ",\"message\":\"";
  out_ += text;
  out_ += '"';
  close();
  open("response_item");
  out_ +=
      "\"type\":\"message\",\"role\":\"assistant\",\"content\":[{\"type\":\"output_text\","
      "\"text\":\"";
  out_ += text;
  out_ += "\"}]";
  close();
}

// One model response that asks for tools, their outputs, and its token count.
void Rollout::step() {
  if (random_.chance(0.7)) reasoning();
  if (random_.chance(0.15)) agentMessage(false);
  const int calls = random_.chance(0.25) ? static_cast<int>(random_.between(2, 4)) : 1;
  for (int i = 0; i < calls; ++i) call(chooseCall());
  tokenCount(true);
}

}  // namespace tessel::bench
