// Lines of Codex rollout files as Codex writes them: compact JSON, "timestamp" first, then
// "type" and "payload". Each helper returns one line with its line feed.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace tessel::test::codex {

// A JSON string literal for `text`, escaped as Codex's serializer escapes it.
inline std::string quoted(std::string_view text) {
  return nlohmann::json(std::string(text)).dump();
}

inline std::string line(std::string_view timestamp, std::string_view type,
                        std::string_view payload) {
  return "{\"timestamp\":\"" + std::string(timestamp) + "\",\"type\":\"" + std::string(type) +
         "\",\"payload\":" + std::string(payload) + "}\n";
}

// `source` is JSON: "\"cli\"", "{\"subagent\":\"review\"}", or empty to leave it out as
// early versions did.
inline std::string meta(std::string_view timestamp, std::string_view id, std::string_view cwd,
                        std::string_view originator = "codex_cli_rs",
                        std::string_view source = "\"cli\"") {
  std::string payload = "{\"id\":\"" + std::string(id) + "\",\"timestamp\":\"" +
                        std::string(timestamp) + "\",\"cwd\":" + quoted(cwd) +
                        ",\"originator\":\"" + std::string(originator) +
                        "\",\"cli_version\":\"0.63.0\",\"instructions\":null";
  if (!source.empty()) payload += ",\"source\":" + std::string(source);
  payload +=
      ",\"model_provider\":\"openai\",\"git\":{\"commit_hash\":\"4f1c2d9\",\"branch\":\"main\"}}";
  return line(timestamp, "session_meta", payload);
}

inline std::string turnContext(std::string_view timestamp, std::string_view model,
                               std::string_view cwd) {
  return line(timestamp, "turn_context",
              "{\"cwd\":" + quoted(cwd) +
                  ",\"approval_policy\":\"on-request\",\"sandbox_policy\":{\"type\":"
                  "\"workspace-write\",\"network_access\":false,\"exclude_tmpdir_env_var\":false,"
                  "\"exclude_slash_tmp\":false},\"model\":\"" +
                  std::string(model) + "\",\"effort\":\"medium\",\"summary\":\"auto\"}");
}

inline std::string event(std::string_view timestamp, std::string_view payload) {
  return line(timestamp, "event_msg", payload);
}

inline std::string taskStarted(std::string_view timestamp) {
  return event(timestamp, R"({"type":"task_started","model_context_window":272000})");
}

inline std::string taskComplete(std::string_view timestamp) {
  return event(timestamp, R"({"type":"task_complete","last_agent_message":"Done."})");
}

// `info` and `limits` are JSON (either may be "null").
inline std::string tokenCount(std::string_view timestamp, std::string_view info,
                              std::string_view limits) {
  return event(timestamp, "{\"type\":\"token_count\",\"info\":" + std::string(info) +
                              ",\"rate_limits\":" + std::string(limits) + "}");
}

inline std::string usage(int input, int cached, int output, int total) {
  return "{\"input_tokens\":" + std::to_string(input) +
         ",\"cached_input_tokens\":" + std::to_string(cached) +
         ",\"output_tokens\":" + std::to_string(output) +
         ",\"reasoning_output_tokens\":" + std::to_string(output / 2) +
         ",\"total_tokens\":" + std::to_string(total) + "}";
}

inline std::string info(std::string_view total, std::string_view last) {
  return "{\"total_token_usage\":" + std::string(total) +
         ",\"last_token_usage\":" + std::string(last) + ",\"model_context_window\":272000}";
}

inline std::string responseItem(std::string_view timestamp, std::string_view payload) {
  return line(timestamp, "response_item", payload);
}

// `arguments` is the JSON document Codex puts inside the "arguments" string.
inline std::string functionCall(std::string_view timestamp, std::string_view name,
                                std::string_view arguments, std::string_view callId) {
  return responseItem(timestamp, "{\"type\":\"function_call\",\"name\":\"" + std::string(name) +
                                     "\",\"arguments\":" + quoted(arguments) + ",\"call_id\":\"" +
                                     std::string(callId) + "\"}");
}

inline std::string functionOutput(std::string_view timestamp, std::string_view callId,
                                  std::string_view output) {
  return responseItem(timestamp, "{\"type\":\"function_call_output\",\"call_id\":\"" +
                                     std::string(callId) + "\",\"output\":" + quoted(output) + "}");
}

inline std::string customCall(std::string_view timestamp, std::string_view name,
                              std::string_view input, std::string_view callId) {
  return responseItem(timestamp,
                      "{\"type\":\"custom_tool_call\",\"status\":\"completed\",\"call_id\":\"" +
                          std::string(callId) + "\",\"name\":\"" + std::string(name) +
                          "\",\"input\":" + quoted(input) + "}");
}

inline std::string customOutput(std::string_view timestamp, std::string_view callId,
                                std::string_view output) {
  return responseItem(timestamp, "{\"type\":\"custom_tool_call_output\",\"call_id\":\"" +
                                     std::string(callId) + "\",\"output\":" + quoted(output) + "}");
}

// Unified exec's output text.
inline std::string execOutput(int exitCode, std::string_view output) {
  return "Chunk ID: 3f2a91\nWall time: 0.5210 seconds\nProcess exited with code " +
         std::to_string(exitCode) + "\nOriginal token count: 120\nOutput:\n" + std::string(output);
}

}  // namespace tessel::test::codex
