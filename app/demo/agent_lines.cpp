#include "demo/agent_lines.h"

#include <cctype>
#include <cmath>

#include "util/calendar.h"
#include "util/files.h"

namespace tessel::demo {

std::string Ids::uuid() {
  static constexpr char hex[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) text += '-';
    // Version 4, variant 10xx, as random UUIDs are.
    if (i == 12) {
      text += '4';
    } else if (i == 16) {
      text += hex[8 + random_() % 4];
    } else {
      text += hex[random_() % 16];
    }
  }
  return text;
}

std::string Ids::prefixed(std::string_view prefix, size_t length) {
  static constexpr std::string_view alphabet =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::string text(prefix);
  for (size_t i = 0; i < length; ++i) text += alphabet[random_() % alphabet.size()];
  return text;
}

std::string Ids::hex(size_t length) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < length; ++i) text += digits[random_() % 16];
  return text;
}

int Ids::between(int low, int high) {
  return low + static_cast<int>(random_() % static_cast<uint64_t>(high - low + 1));
}

std::string stamp(Date date) { return Calendar::formatInternetDateTime(date, true); }

std::string projectFolderName(const std::string& cwd) {
  std::string name = cwd;
  for (char& c : name) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0) c = '-';
  }
  return name;
}

TranscriptWriter::TranscriptWriter(std::string path, ClaudeSessionFacts facts, uint64_t seed,
                                   std::optional<std::string> agentId)
    : path_(std::move(path)), facts_(std::move(facts)), ids_(seed), agentId_(std::move(agentId)) {}

Json TranscriptWriter::envelope(std::string_view type, Json message, Date at) {
  const std::string uuid = ids_.uuid();
  Json line = {{"parentUuid", parent_ ? Json(*parent_) : Json(nullptr)},
               {"isSidechain", agentId_.has_value()},
               {"type", type},
               {"message", std::move(message)},
               {"uuid", uuid},
               {"timestamp", stamp(at)},
               {"userType", "external"},
               {"entrypoint", "cli"},
               {"cwd", facts_.cwd},
               {"sessionId", facts_.sessionId},
               {"version", facts_.version},
               {"gitBranch", facts_.gitBranch}};
  if (agentId_) line["agentId"] = *agentId_;
  parent_ = uuid;
  return line;
}

// Most of a turn's context comes back from the prompt cache; a little is new each time.
Json TranscriptWriter::assistantMessage(Json content, std::string_view stopReason) {
  return Json{{"model", facts_.model},
              {"id", ids_.prefixed("msg_01")},
              {"type", "message"},
              {"role", "assistant"},
              {"content", Json::array({std::move(content)})},
              {"stop_reason", stopReason},
              {"stop_sequence", nullptr},
              {"usage",
               {{"input_tokens", ids_.between(2, 12)},
                {"cache_creation_input_tokens", ids_.between(300, 4000)},
                {"cache_read_input_tokens", ids_.between(18000, 90000)},
                {"output_tokens", ids_.between(60, 900)},
                {"service_tier", "standard"}}}};
}

void TranscriptWriter::append(const Json& line) {
  Files::appendOnce(path_, line.dump() + "\n", 0600);
}

void TranscriptWriter::prompt(const std::string& text, Date at) {
  append(envelope("user", Json{{"role", "user"}, {"content", text}}, at));
  if (!agentId_) {
    append(Json{{"type", "last-prompt"}, {"lastPrompt", text}, {"sessionId", facts_.sessionId}});
  }
}

void TranscriptWriter::title(const std::string& aiTitle) {
  append(Json{{"type", "ai-title"}, {"aiTitle", aiTitle}, {"sessionId", facts_.sessionId}});
}

std::string TranscriptWriter::toolUse(const std::string& tool, const Json& input, Date at) {
  std::string id = ids_.prefixed("toolu_01");
  Json block = {{"type", "tool_use"}, {"id", id}, {"name", tool}, {"input", input}};
  Json line = envelope("assistant", assistantMessage(std::move(block), "tool_use"), at);
  line["requestId"] = ids_.prefixed("req_011");
  append(line);
  return id;
}

void TranscriptWriter::toolResult(const std::string& id, const std::string& output, bool isError,
                                  Date at) {
  Json block = {{"tool_use_id", id}, {"type", "tool_result"}, {"content", output}};
  if (isError) block["is_error"] = true;
  Json line = envelope("user", Json{{"role", "user"}, {"content", Json::array({block})}}, at);
  line["toolUseResult"] =
      isError
          ? Json("Error: " + output)
          : Json{{"stdout", output}, {"stderr", ""}, {"interrupted", false}, {"isImage", false}};
  append(line);
}

void TranscriptWriter::reply(const std::string& text, Date at) {
  Json block = {{"type", "text"}, {"text", text}};
  Json line = envelope("assistant", assistantMessage(std::move(block), "end_turn"), at);
  line["requestId"] = ids_.prefixed("req_011");
  append(line);
}

std::string hookInput(const ClaudeSessionFacts& facts, const std::string& transcriptPath,
                      std::string_view event, const Json& extra) {
  Json input = {{"session_id", facts.sessionId},
                {"transcript_path", transcriptPath},
                {"cwd", facts.cwd},
                {"permission_mode", "default"},
                {"hook_event_name", event}};
  for (const auto& [key, value] : extra.items()) input[key] = value;
  return input.dump();
}

std::string liveSessionFile(const ClaudeSessionFacts& facts, int32_t pid, const std::string& name,
                            const std::string& status, Date startedAt, Date statusSince, Date now) {
  const auto millis = [](Date date) { return std::llround(date.secondsSince1970() * 1000); };
  Json file = {{"pid", pid},
               {"sessionId", facts.sessionId},
               {"cwd", facts.cwd},
               {"startedAt", millis(startedAt)},
               {"version", facts.version},
               {"kind", "interactive"},
               {"entrypoint", "cli"},
               {"name", name},
               {"nameSource", "derived"},
               {"status", status}};
  if (status == "waiting") file["waitingFor"] = "permission prompt";
  file["updatedAt"] = millis(now);
  file["statusUpdatedAt"] = millis(statusSince);
  return file.dump();
}

RolloutWriter::RolloutWriter(std::string path, std::string threadId, std::string cwd,
                             std::string model, uint64_t seed)
    : path_(std::move(path)),
      threadId_(std::move(threadId)),
      cwd_(std::move(cwd)),
      model_(std::move(model)),
      ids_(seed) {}

void RolloutWriter::line(std::string_view type, Json payload, Date at) {
  const Json line = {{"timestamp", stamp(at)}, {"type", type}, {"payload", std::move(payload)}};
  Files::appendOnce(path_, line.dump() + "\n", 0600);
}

void RolloutWriter::start(Date at) {
  line("session_meta",
       Json{{"id", threadId_},
            {"timestamp", stamp(at)},
            {"cwd", cwd_},
            {"originator", "codex_cli_rs"},
            {"cli_version", "0.63.0"},
            {"instructions", nullptr},
            {"source", "cli"},
            {"model_provider", "openai"},
            {"git", {{"commit_hash", "9c1e4b7"}, {"branch", "main"}}}},
       at);
}

void RolloutWriter::userTurn(const std::string& text, Date at) {
  line("turn_context",
       Json{{"cwd", cwd_},
            {"approval_policy", "on-request"},
            {"sandbox_policy",
             {{"type", "workspace-write"},
              {"network_access", false},
              {"exclude_tmpdir_env_var", false},
              {"exclude_slash_tmp", false}}},
            {"model", model_},
            {"effort", "medium"},
            {"summary", "auto"}},
       at);
  line("event_msg", Json{{"type", "task_started"}, {"model_context_window", 272000}}, at);
  line("response_item",
       Json{{"type", "message"},
            {"role", "user"},
            {"content", Json::array({Json{{"type", "input_text"}, {"text", text}}})}},
       at);
  line("event_msg",
       Json{{"type", "user_message"},
            {"message", text},
            {"local_images", Json::array()},
            {"text_elements", Json::array()}},
       at);
}

std::string RolloutWriter::execCommand(const std::string& command, Date at) {
  std::string id = ids_.prefixed("call_");
  const Json arguments = {{"cmd", command}, {"workdir", cwd_}, {"yield_time_ms", 10000}};
  line("response_item",
       Json{{"type", "function_call"},
            {"name", "exec_command"},
            {"arguments", arguments.dump()},
            {"call_id", id}},
       at);
  return id;
}

void RolloutWriter::execOutput(const std::string& callId, int exitCode, const std::string& output,
                               Date at) {
  const std::string text =
      "Chunk ID: " + ids_.hex(6) + "\nWall time: " + std::to_string(ids_.between(1, 9)) +
      ".2104 seconds\n" + "Process exited with code " + std::to_string(exitCode) +
      "\nOriginal token count: " + std::to_string(ids_.between(40, 900)) + "\nOutput:\n" + output;
  line("response_item",
       Json{{"type", "function_call_output"}, {"call_id", callId}, {"output", text}}, at);
}

void RolloutWriter::tokenCount(const PlanWindows& plan, Date at) {
  const int64_t input = ids_.between(6000, 30000);
  const int64_t cached = input * ids_.between(60, 90) / 100;
  const int64_t output = ids_.between(100, 1500);
  input_ += input;
  cached_ += cached;
  output_ += output;
  const auto usage = [](int64_t in, int64_t cache, int64_t out) {
    return Json{{"input_tokens", in},
                {"cached_input_tokens", cache},
                {"output_tokens", out},
                {"reasoning_output_tokens", out / 3},
                {"total_tokens", in + out}};
  };
  const auto window = [](double percent, int minutes, Date resets) {
    return Json{{"used_percent", std::round(percent * 10) / 10},
                {"window_minutes", minutes},
                {"resets_at", std::llround(resets.secondsSince1970())}};
  };
  line("event_msg",
       Json{{"type", "token_count"},
            {"info",
             {{"total_token_usage", usage(input_, cached_, output_)},
              {"last_token_usage", usage(input, cached, output)},
              {"model_context_window", 272000}}},
            {"rate_limits",
             {{"primary", window(plan.fiveHour, 300, plan.fiveHourResets)},
              {"secondary", window(plan.weekly, 10080, plan.weeklyResets)},
              {"plan_type", "plus"}}}},
       at);
}

void RolloutWriter::complete(const std::string& message, Date at) {
  line("event_msg", Json{{"type", "agent_message"}, {"message", message}}, at);
  line("event_msg", Json{{"type", "task_complete"}, {"last_agent_message", message}}, at);
}

}  // namespace tessel::demo
