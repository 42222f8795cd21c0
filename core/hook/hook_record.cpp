#include "hook/hook_record.h"

#include <cmath>

#include "hook/hook_log_reader.h"
#include "model/tool_event.h"
#include "model/tool_input_reader.h"
#include "util/json_reader.h"
#include "util/json_writer.h"

namespace tessel {
namespace {

std::optional<std::string_view> stringValue(simdjson::ondemand::value value) {
  std::string_view text;
  if (value.get_string().get(text) != simdjson::SUCCESS) return std::nullopt;
  return text;
}

bool isTrue(simdjson::ondemand::value value) {
  bool flag = false;
  return value.get_bool().get(flag) == simdjson::SUCCESS && flag;
}

struct ResponseFlags {
  bool isError = false;
  bool interrupted = false;
};

ResponseFlags readResponseFlags(simdjson::ondemand::value value) {
  ResponseFlags flags;
  simdjson::ondemand::object object;
  if (value.get_object().get(object) != simdjson::SUCCESS) return flags;
  Json::forEachMember(object, [&](std::string_view key, simdjson::ondemand::value member) {
    if (key == "is_error") {
      flags.isError = isTrue(member);
    } else if (key == "interrupted") {
      flags.interrupted = isTrue(member);
    }
    return true;
  });
  return flags;
}

}  // namespace

std::optional<HookRecord> HookRecord::from(simdjson::ondemand::object& hookInput, Date now,
                                           std::optional<int32_t> pid) {
  std::optional<std::string_view> event, session, toolName, toolUseId, cwd;
  ToolInput input;
  ResponseFlags response;
  // One pass over the members in whatever order they come; a repeated key keeps its
  // last value.
  const bool whole =
      Json::forEachMember(hookInput, [&](std::string_view key, simdjson::ondemand::value value) {
        if (key == "hook_event_name") {
          event = stringValue(value);
        } else if (key == "session_id") {
          session = stringValue(value);
        } else if (key == "tool_name") {
          toolName = stringValue(value);
        } else if (key == "tool_use_id") {
          toolUseId = stringValue(value);
        } else if (key == "cwd") {
          cwd = stringValue(value);
        } else if (key == "tool_input") {
          input = readToolInput(value);
        } else if (key == "tool_response") {
          response = readResponseFlags(value);
        }
        return true;
      });
  if (!whole) return std::nullopt;
  if (!event || !session) return std::nullopt;
  if (toolName && HookLogReader::isBackgroundTool(*toolName)) return std::nullopt;

  HookRecord record;
  record.t = std::round(now.millisSince1970());
  record.e = std::string(*event);
  record.s = std::string(*session);
  if (cwd) record.cwd = std::string(*cwd);
  record.pid = pid;
  if (toolName) {
    record.tool = std::string(*toolName);
    if (toolUseId) record.id = std::string(*toolUseId);
    record.sum = ToolEvent::summarize(*toolName, input).summary;
    if (input.runInBackground) record.bg = true;
    if (*event == "PostToolUse" && (response.isError || response.interrupted)) record.err = true;
  }
  return record;
}

std::optional<HookRecord> HookRecord::fromHookInput(simdjson::padded_string_view json, Date now,
                                                    std::optional<int32_t> pid) {
  thread_local simdjson::ondemand::parser parser;
  simdjson::ondemand::document document;
  if (parser.iterate(json).get(document) != simdjson::SUCCESS) return std::nullopt;
  simdjson::ondemand::object object;
  if (document.get_object().get(object) != simdjson::SUCCESS) return std::nullopt;
  auto record = from(object, now, pid);
  // Input that is not one whole JSON value is not an event.
  if (!record || !Json::atEnd(document)) return std::nullopt;
  return record;
}

std::optional<std::string> HookRecord::encode() const {
  if (!std::isfinite(t)) return std::nullopt;
  JsonWriter writer;
  writer.beginObject().key("t").number(t).key("e").string(e).key("s").string(s);
  const auto optionalString = [&](std::string_view key, const std::optional<std::string>& value) {
    if (value) writer.key(key).string(*value);
  };
  optionalString("tool", tool);
  optionalString("id", id);
  optionalString("sum", sum);
  optionalString("cwd", cwd);
  if (pid) writer.key("pid").integer(*pid);
  if (err == true) writer.key("err").boolean(true);
  if (bg == true) writer.key("bg").boolean(true);
  optionalString("ctr", ctr);
  return writer.endObject().take();
}

std::optional<HookRecord> HookRecord::decode(std::string_view line) {
  thread_local std::string scratch;
  return decode(Json::padded(line, scratch));
}

std::optional<HookRecord> HookRecord::decode(simdjson::padded_string_view line) {
  thread_local simdjson::ondemand::parser parser;
  simdjson::ondemand::document document;
  if (parser.iterate(line).get(document) != simdjson::SUCCESS) return std::nullopt;
  simdjson::ondemand::object object;
  if (document.get_object().get(object) != simdjson::SUCCESS) return std::nullopt;

  HookRecord record;
  bool hasT = false, hasE = false, hasS = false;
  // A known optional key: null leaves it absent, a string sets it, anything else spoils
  // the line.
  const auto optionalString = [](simdjson::ondemand::value value,
                                 std::optional<std::string>& into) {
    if (Json::isNull(value)) {
      into.reset();
      return true;
    }
    auto text = stringValue(value);
    if (!text) return false;
    into = std::string(*text);
    return true;
  };
  const auto optionalBool = [](simdjson::ondemand::value value, std::optional<bool>& into) {
    if (Json::isNull(value)) {
      into.reset();
      return true;
    }
    bool flag = false;
    if (value.get_bool().get(flag) != simdjson::SUCCESS) return false;
    into = flag;
    return true;
  };

  const bool whole =
      Json::forEachMember(object, [&](std::string_view key, simdjson::ondemand::value value) {
        bool ok = true;
        if (key == "t") {
          ok = value.get_double().get(record.t) == simdjson::SUCCESS;
          hasT = ok;
        } else if (key == "e" || key == "s") {
          auto text = stringValue(value);
          ok = text.has_value();
          if (ok) (key == "e" ? record.e : record.s) = std::string(*text);
          (key == "e" ? hasE : hasS) = ok;
        } else if (key == "tool") {
          ok = optionalString(value, record.tool);
        } else if (key == "id") {
          ok = optionalString(value, record.id);
        } else if (key == "sum") {
          ok = optionalString(value, record.sum);
        } else if (key == "cwd") {
          ok = optionalString(value, record.cwd);
        } else if (key == "ctr") {
          ok = optionalString(value, record.ctr);
        } else if (key == "pid") {
          if (Json::isNull(value)) {
            record.pid.reset();
          } else {
            int64_t pid = 0;
            ok = value.get_int64().get(pid) == simdjson::SUCCESS && pid >= INT32_MIN &&
                 pid <= INT32_MAX;
            if (ok) record.pid = static_cast<int32_t>(pid);
          }
        } else if (key == "err") {
          ok = optionalBool(value, record.err);
        } else if (key == "bg") {
          ok = optionalBool(value, record.bg);
        } else {
          // Members of later versions are not read, but a line that is not JSON throughout
          // is not ours.
          ok = Json::isValid(value);
        }
        return ok;
      });
  if (!whole || !hasT || !hasE || !hasS || !Json::atEnd(document)) return std::nullopt;
  return record;
}

}  // namespace tessel
