#include "codex/rollout_reader.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

#include "codex/code_cell.h"
#include "model/tool_input_reader.h"
#include "util/calendar.h"
#include "util/json_reader.h"
#include "util/text.h"

namespace tessel {
namespace {

using simdjson::SUCCESS;
using simdjson::ondemand::json_type;
using Value = simdjson::ondemand::value;
using Json::readObject;
using Json::take;

enum class Kind {
  sessionMeta,
  turnContext,
  tokenUsage,
  tokenCount,
  toolOutput,
  customToolCall,
  functionCall,
  taskStarted,
  taskComplete,
  none
};

// Each marker is `"type":"` followed by the name and its closing quote, so
// "function_call" never matches "function_call_output". Earlier entries win.
struct Marker {
  std::string_view name;
  Kind kind;
};
constexpr std::array<Marker, 10> markers = {{
    {"session_meta\"", Kind::sessionMeta},
    {"turn_context\"", Kind::turnContext},
    {"token_usage_record\"", Kind::tokenUsage},
    {"token_count\"", Kind::tokenCount},
    {"custom_tool_call_output\"", Kind::toolOutput},
    {"custom_tool_call\"", Kind::customToolCall},
    {"function_call\"", Kind::functionCall},
    {"function_call_output\"", Kind::toolOutput},
    {"task_started\"", Kind::taskStarted},
    {"task_complete\"", Kind::taskComplete},
}};

constexpr size_t markerBytes = 200;
constexpr size_t outputIdBytes = 400;
constexpr size_t outputFailureBytes = 1000;

// The kind of the line from the markers wholly inside its first 200 bytes. Every
// `"type":"` there is looked at once, so a line costs a few comparisons, not ten searches.
Kind kindOf(std::string_view line) {
  static constexpr std::string_view typeKey = "\"type\":\"";
  const std::string_view head = line.substr(0, markerBytes);
  size_t best = markers.size();
  for (size_t at = head.find(typeKey); at != std::string_view::npos;
       at = head.find(typeKey, at + 1)) {
    const std::string_view rest = head.substr(at + typeKey.size());
    for (size_t i = 0; i < best; ++i) {
      if (rest.starts_with(markers[i].name)) {
        best = i;
        break;
      }
    }
  }
  return best == markers.size() ? Kind::none : markers[best].kind;
}

// The string after `key` (which ends with the opening quote) in `text`, up to the next
// quotation mark.
std::optional<std::string_view> quotedAfter(std::string_view text, std::string_view key) {
  const size_t at = Text::find(text, key);
  if (at == std::string_view::npos) return std::nullopt;
  const size_t start = at + key.size();
  const size_t end = text.find('"', start);
  if (end == std::string_view::npos || end == start) return std::nullopt;
  return text.substr(start, end - start);
}

// The integer that follows `at` after blanks, if one does.
std::optional<int64_t> integerAt(std::string_view text, size_t at) {
  while (at < text.size() && text[at] == ' ') ++at;
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data() + at, text.data() + text.size(), value);
  if (error != std::errc() || end == text.data() + at) return std::nullopt;
  return value;
}

// Whether the output text says its command failed: unified exec writes "Process exited
// with code N", the older shell tool a JSON document with "exit_code" (escaped, as it sits
// inside the output string). A code of 0 is success.
bool saysFailed(std::string_view head) {
  static constexpr std::string_view exited = "Process exited with code ";
  for (size_t at = Text::find(head, exited); at != std::string_view::npos;
       at = Text::find(head, exited, at + 1)) {
    const auto code = integerAt(head, at + exited.size());
    if (code && *code != 0) return true;
  }
  static constexpr std::string_view exitCode = "exit_code";
  for (size_t at = Text::find(head, exitCode); at != std::string_view::npos;
       at = Text::find(head, exitCode, at + 1)) {
    size_t next = at + exitCode.size();
    if (head.substr(next, 2) == "\\\"") {
      next += 2;
    } else if (head.substr(next, 1) == "\"") {
      next += 1;
    } else {
      continue;
    }
    if (head.substr(next, 1) != ":") continue;
    const auto code = integerAt(head, next + 1);
    if (code && *code != 0) return true;
  }
  return false;
}

// The members of a line: its "timestamp" and "payload" (handed to `payload`); the others
// need only be valid. False unless the line is one whole, valid JSON object. `readable`
// bytes from the line's start may be read: with the padding there, the line is parsed
// where it lies.
template <class Payload>
bool readEnvelope(std::string_view line, size_t readable,
                  std::optional<std::string_view>& timestamp, Payload&& payload) {
  thread_local simdjson::ondemand::parser parser;
  thread_local std::string scratch;
  simdjson::ondemand::document document;
  simdjson::ondemand::object object;
  const simdjson::padded_string_view text =
      readable >= line.size() + simdjson::SIMDJSON_PADDING
          ? simdjson::padded_string_view(line.data(), line.size(), readable)
          : Json::padded(line, scratch);
  if (parser.iterate(text).get(document) != SUCCESS ||
      document.get_object().get(object) != SUCCESS) {
    return false;
  }
  bool hasPayload = false;
  const bool whole = Json::forEachMember(object, [&](std::string_view key, Value value) {
    if (key == "timestamp") return take(value, timestamp);
    if (key == "payload") {
      hasPayload = true;
      return readObject(value, payload);
    }
    return Json::isValid(value);
  });
  return whole && hasPayload && Json::atEnd(document);
}

struct TokenUsage {
  std::optional<int64_t> input, cached, output, cacheWrite, total;

  bool readMember(std::string_view key, Value value) {
    if (key == "input_tokens") return take(value, input);
    if (key == "cached_input_tokens") return take(value, cached);
    if (key == "output_tokens") return take(value, output);
    if (key == "cache_write_input_tokens") return take(value, cacheWrite);
    if (key == "total_tokens") return take(value, total);
    return Json::isValid(value);
  }
  bool readFrom(Value value) {
    return readObject(value,
                      [&](std::string_view key, Value member) { return readMember(key, member); });
  }
  bool isPresent() const { return input || output || cached || cacheWrite; }
  // Codex's input count includes the cached part; the tally keeps them apart.
  IndexStore::Counts counts() const {
    const int64_t in = input.value_or(0), hit = cached.value_or(0);
    return {std::max<int64_t>(in - hit, 0), output.value_or(0), cacheWrite.value_or(0), hit, 1};
  }
};

struct WindowFields {
  std::optional<double> percent;
  std::optional<int64_t> minutes, resetsAt, resetsIn;
  bool isPresent = false;

  bool readFrom(Value value) {
    isPresent = !Json::isNull(value);
    return readObject(value, [&](std::string_view key, Value member) {
      if (key == "used_percent") return take(member, percent);
      if (key == "window_minutes") return take(member, minutes);
      if (key == "resets_at") return take(member, resetsAt);
      if (key == "resets_in_seconds") return take(member, resetsIn);
      return Json::isValid(member);
    });
  }
  std::optional<CodexLimits::Window> window(Date at) const {
    if (!isPresent || !percent) return std::nullopt;
    CodexLimits::Window window{.minutes = static_cast<int>(minutes.value_or(0)),
                               .percentUsed = *percent};
    if (resetsAt) {
      window.resetsAt = Date(static_cast<double>(*resetsAt));
    } else if (resetsIn) {
      window.resetsAt = at + static_cast<double>(*resetsIn);
    }
    return window;
  }
};

std::string_view orUnknown(const std::optional<std::string>& text) {
  return text ? std::string_view(*text) : std::string_view("unknown");
}

int64_t slotOf(Date at) {
  return static_cast<int64_t>(
             std::floor(at.secondsSince1970() / static_cast<double>(CodexIndex::slotSeconds))) *
         CodexIndex::slotSeconds;
}

ToolEvent callEvent(const CodexSession& session, std::string id, std::string tool,
                    std::string summary, Date at) {
  return ToolEvent{.id = std::move(id),
                   .sessionId = session.id,
                   .tool = std::move(tool),
                   .summary = std::move(summary),
                   .start = at,
                   .cwd = session.cwd};
}

std::string commandSummary(std::string_view command) {
  ToolInput input;
  input.set("command", command);
  return ToolEvent::summarize("Bash", input).summary;
}

// One event per file the patch adds or updates, each summarised as an edit of it.
std::vector<ToolEvent> patchEvents(std::string_view patch, const CodexSession& session, Date at) {
  std::vector<ToolEvent> events;
  for (std::string& file : CodeCell::patchFiles(patch)) {
    ToolInput input;
    input.set("file_path", file);
    ToolEvent event =
        callEvent(session, {}, "apply_patch", ToolEvent::summarize("Edit", input).summary, at);
    event.filePath = std::move(file);
    events.push_back(std::move(event));
  }
  return events;
}

ToolEvent shellEvent(const CodexSession& session, std::string_view command,
                     const std::optional<std::string>& workdir, Date at) {
  ToolEvent event = callEvent(session, {}, "Bash", commandSummary(command), at);
  if (workdir) event.cwd = workdir;
  return event;
}

// The calls a function call's "arguments" (a JSON document inside a string) stand for.
std::vector<ToolEvent> functionEvents(std::string_view name, std::string_view arguments,
                                      const CodexSession& session, Date at) {
  thread_local simdjson::ondemand::parser parser;
  thread_local std::string scratch;
  simdjson::ondemand::document document;
  Value value;
  simdjson::ondemand::object object;
  if (parser.iterate(Json::padded(arguments, scratch)).get(document) != SUCCESS ||
      document.get_value().get(value) != SUCCESS) {
    return {};
  }
  const bool isShell = name == "exec_command" || name == "shell" || name == "shell_command";
  if (!isShell && name != "apply_patch") {
    return {callEvent(session, {}, std::string(name),
                      ToolEvent::summarize(name, readToolInput(value)).summary, at)};
  }
  if (value.get_object().get(object) != SUCCESS) return {};
  std::optional<std::string_view> command, workdir, patch;
  std::string joined;
  bool hasArgv = false;
  const bool whole = Json::forEachMember(object, [&](std::string_view key, Value value) {
    if (key == "workdir") return take(value, workdir);
    if (name == "apply_patch") {
      return key == "input" || key == "patch" ? take(value, patch) : Json::isValid(value);
    }
    if (key == (name == "exec_command" ? "cmd" : "command")) {
      if (name != "shell") return take(value, command);
      // The older shell tool gives an argv list.
      simdjson::ondemand::array argv;
      if (value.get_array().get(argv) != SUCCESS) return false;
      for (auto element : argv) {
        std::string_view word;
        if (element.get_string().get(word) != SUCCESS) return false;
        if (hasArgv) joined += ' ';
        joined += word;
        hasArgv = true;
      }
      return true;
    }
    return Json::isValid(value);
  });
  if (!whole || !Json::atEnd(document)) return {};
  if (name == "apply_patch")
    return patch ? patchEvents(*patch, session, at) : std::vector<ToolEvent>{};
  if (hasArgv) command = joined;
  if (!command) return {};
  const std::optional<std::string> dir =
      workdir ? std::optional<std::string>(*workdir) : std::nullopt;
  return {shellEvent(session, *command, dir, at)};
}

}  // namespace

std::string CodexIndex::Reader::partID(std::string_view callID, int n) {
  std::string id;
  partID(callID, n, id);
  return id;
}

void CodexIndex::Reader::partID(std::string_view callID, int n, std::string& into) {
  into.assign(callID);
  if (n > 1) {
    into += '#';
    into += std::to_string(n);
  }
}

std::vector<ToolEvent> CodexIndex::Reader::numbered(std::vector<ToolEvent> events,
                                                    std::string_view callID) {
  for (size_t i = 0; i < events.size(); ++i) events[i].id = partID(callID, static_cast<int>(i) + 1);
  return events;
}

std::vector<ToolEvent> CodexIndex::Reader::events(std::string_view code, const std::string& callID,
                                                  const CodexSession& session, Date at) {
  static const std::vector<std::string_view> tools = {"exec_command", "apply_patch",
                                                      "image_gen__imagegen"};
  std::vector<ToolEvent> events;
  for (const CodeCell::Call& call : CodeCell::calls(code, tools)) {
    if (call.tool == "exec_command") {
      const auto command = CodeCell::stringMember(call.arguments, "cmd");
      if (command) {
        events.push_back(
            shellEvent(session, *command, CodeCell::stringMember(call.arguments, "workdir"), at));
      }
    } else if (call.tool == "apply_patch") {
      // The patch is a literal (usually a template); anything else is read as it stands.
      const auto literal = CodeCell::stringLiteral(call.arguments);
      for (ToolEvent& event : patchEvents(literal ? *literal : call.arguments, session, at)) {
        events.push_back(std::move(event));
      }
    } else {
      events.push_back(callEvent(session, {}, "image_gen", "Generated an image", at));
    }
  }
  return numbered(std::move(events), callID);
}

void CodexIndex::Reader::read(std::string_view text, bool isFileStart, size_t readable) {
  readable = std::max(readable, text.size());
  bool isFirst = isFileStart;
  size_t start = 0;
  while (start < text.size()) {
    const void* feed = std::memchr(text.data() + start, '\n', text.size() - start);
    const size_t end =
        feed ? static_cast<size_t>(static_cast<const char*>(feed) - text.data()) : text.size();
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (line.size() <= 2) continue;
    if (isFirst) {
      session.recognised = kindOf(line) == Kind::sessionMeta;
      isFirst = false;
    }
    readLine(line, readable - static_cast<size_t>(line.data() - text.data()));
  }
}

void CodexIndex::Reader::add(std::vector<ToolEvent> events) {
  for (ToolEvent& event : events) {
    std::string id = event.id;
    commands.insert_or_assign(std::move(id), std::move(event));
  }
}

void CodexIndex::Reader::readLine(std::string_view line, size_t readable) {
  const Kind kind = kindOf(line);
  if (kind == Kind::none) return;
  if (kind == Kind::toolOutput) {
    static constexpr std::string_view stampKey = "{\"timestamp\":\"";
    if (!line.starts_with(stampKey)) return;
    const std::string_view head = line.substr(0, outputIdBytes);
    const auto id = quotedAfter(head, "\"call_id\":\"");
    const auto stamp = quotedAfter(line.substr(0, markerBytes), stampKey);
    const auto end = stamp ? Calendar::rfc3339(*stamp) : std::nullopt;
    if (!id || !end) return;
    const bool isFailed =
        Text::contains(head, "\"is_error\":true") || saysFailed(line.substr(0, outputFailureBytes));
    ended[std::string(*id)] = Ended{.end = *end, .isFailed = isFailed};
    if (*end > session.lastActivity) session.lastActivity = *end;
    return;
  }

  std::optional<std::string_view> timestamp;
  // What the payload holds, by kind; applied only once the whole line has been read.
  std::optional<std::string_view> id, started, cwd, originator, cliVersion, model, callId, name,
      input;
  bool isSubagent = false;
  TokenUsage usage, last;
  bool hasInfo = false;
  WindowFields primary, secondary;
  std::optional<bool> hasCredits;
  std::optional<std::string_view> plan;
  bool hasLimits = false;

  const auto payload = [&](std::string_view key, Value value) -> bool {
    switch (kind) {
      case Kind::sessionMeta:
        if (key == "id") return take(value, id);
        if (key == "timestamp") return take(value, started);
        if (key == "cwd") return take(value, cwd);
        if (key == "originator") return take(value, originator);
        if (key == "cli_version") return take(value, cliVersion);
        if (key == "source") {
          // A sub-agent's source is an object {"subagent": ...}; others are plain names.
          json_type type;
          if (value.type().get(type) != SUCCESS) return false;
          if (type != json_type::object) return Json::isValid(value);
          return readObject(value, [&](std::string_view member, Value inner) {
            if (member == "subagent") isSubagent = true;
            return Json::isValid(inner);
          });
        }
        break;
      case Kind::turnContext:
        if (key == "model") return take(value, model);
        break;
      case Kind::tokenUsage:
        if (key == "usage") return usage.readFrom(value);
        break;
      case Kind::tokenCount:
        if (key == "info") {
          hasInfo = !Json::isNull(value);
          return readObject(value, [&](std::string_view member, Value inner) {
            if (member == "total_token_usage") return usage.readFrom(inner);
            if (member == "last_token_usage") return last.readFrom(inner);
            return Json::isValid(inner);
          });
        }
        if (key == "rate_limits") {
          hasLimits = !Json::isNull(value);
          return readObject(value, [&](std::string_view member, Value inner) {
            if (member == "primary") return primary.readFrom(inner);
            if (member == "secondary") return secondary.readFrom(inner);
            if (member == "plan_type") return take(inner, plan);
            if (member == "credits") {
              return readObject(inner, [&](std::string_view field, Value credit) {
                return field == "has_credits" ? take(credit, hasCredits) : Json::isValid(credit);
              });
            }
            return Json::isValid(inner);
          });
        }
        break;
      case Kind::customToolCall:
      case Kind::functionCall:
        if (key == "call_id") return take(value, callId);
        if (key == "name") return take(value, name);
        if (key == (kind == Kind::customToolCall ? "input" : "arguments"))
          return take(value, input);
        break;
      default:
        break;
    }
    return Json::isValid(value);
  };
  if (!readEnvelope(line, readable, timestamp, payload) || !timestamp) return;
  const auto at = Calendar::rfc3339(*timestamp);
  if (!at) return;

  switch (kind) {
    case Kind::sessionMeta: {
      // A fork copies its parent's history, meta line included; only the session's own
      // meta describes it.
      if (id && *id != session.id) return;
      const auto text = [](std::optional<std::string_view> value) {
        return value ? std::optional<std::string>(*value) : std::nullopt;
      };
      if (cwd) session.cwd = text(cwd);
      if (originator) session.originator = text(originator);
      if (cliVersion) session.cliVersion = text(cliVersion);
      session.isSubagent = isSubagent;
      session.started = started ? Calendar::rfc3339(*started) : std::nullopt;
      if (!session.started) session.started = at;
      break;
    }
    case Kind::turnContext:
      if (model) session.model = std::string(*model);
      break;
    case Kind::tokenUsage:
    case Kind::tokenCount: {
      const TokenUsage& counted = kind == Kind::tokenUsage ? usage : last;
      // A token count repeated with the same session total reports no new response.
      const bool isRepeat = kind == Kind::tokenCount && usage.total && session.countedTotal &&
                            *usage.total == *session.countedTotal;
      if ((kind == Kind::tokenUsage || hasInfo) && counted.isPresent() && !isRepeat) {
        // One key is kept and written over, so that a reading costs no allocation.
        key_.t = slotOf(*at);
        key_.sid = session.id;
        key_.cwd = orUnknown(session.cwd);
        key_.model = orUnknown(session.model);
        key_.entry = orUnknown(session.originator);
        IndexStore::Counts& counts = buckets[key_];
        const IndexStore::Counts added = counted.counts();
        for (size_t i = 0; i < counts.size(); ++i) counts[i] += added[i];
        if (kind == Kind::tokenCount && usage.total) session.countedTotal = usage.total;
      }
      if (hasLimits) {
        CodexLimits limits{.at = *at, .hasCredits = hasCredits.value_or(false)};
        if (plan) limits.plan = std::string(*plan);
        for (const WindowFields* fields : {&primary, &secondary}) {
          if (auto window = fields->window(*at)) limits.windows.push_back(*window);
        }
        if (!limits.windows.empty()) this->limits.push_back(std::move(limits));
      }
      break;
    }
    case Kind::customToolCall:
      if (!callId || !input) return;
      // Outside code mode, apply_patch takes the patch itself.
      if (name && *name == "apply_patch") {
        add(numbered(patchEvents(*input, session, *at), *callId));
      } else {
        add(events(*input, std::string(*callId), session, *at));
      }
      break;
    case Kind::functionCall: {
      if (!callId || !name || !input) return;
      std::vector<ToolEvent> found = functionEvents(*name, *input, session, *at);
      // Arguments that do not read as the tool's make the line yield nothing.
      if (found.empty()) return;
      add(numbered(std::move(found), *callId));
      break;
    }
    case Kind::taskStarted:
      session.turnStarted = *at;
      break;
    case Kind::taskComplete:
      session.turnEnded = *at;
      break;
    default:
      return;
  }
  if (*at > session.lastActivity) session.lastActivity = *at;
}

}  // namespace tessel
