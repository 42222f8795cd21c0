#include "hook/container_hook.h"

#include <filesystem>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "hook/hook_log_reader.h"
#include "model/claude_settings.h"
#include "util/files.h"

namespace tessel::ContainerHook {
namespace {

// sh, not an executable bit: a project folder shared into a container often loses
// permissions, and a file the container cannot execute must still run.
constexpr std::string_view hookText = R"sh(#!/bin/sh
# Tessel container hook: adds one line per tool call to events.jsonl beside it.
# Prints nothing and always exits 0, so it never changes what Claude does.
d=$(dirname "$0")
c=$(cat /etc/hostname 2>/dev/null)
if command -v node >/dev/null 2>&1; then node "$d/record.js" "$c" >>"$d/events.jsonl" 2>/dev/null
elif command -v python3 >/dev/null 2>&1; then python3 "$d/record.py" "$c" >>"$d/events.jsonl" 2>/dev/null
else cat >/dev/null
fi
exit 0
)sh";

constexpr std::string_view recorderTitle =
    "Tessel container hook: the hook's input, trimmed to what the app shows.";

// Reads stdin as a stream: reading descriptor 0 directly fails with EAGAIN when the
// pipe was left non-blocking. Everything goes out in one write, so a failure part way
// never leaves half a line. Strings are cut by code point: JS strings are UTF-16, and a
// cut between the halves of a surrogate pair would write a broken character.
constexpr std::string_view jsBody = R"js(
const chunks = [];
process.stdin.on("data", (chunk) => chunks.push(chunk));
process.stdin.on("error", () => {});
process.stdin.on("end", () => {
  let line = "";
  try {
    line = record(JSON.parse(Buffer.concat(chunks).toString("utf8")));
  } catch (error) {
    line = "";
  }
  if (line) process.stdout.write(line);
});

function isObject(value) {
  return value !== null && typeof value === "object" && !Array.isArray(value);
}

function cut(text) {
  if (text.length <= 400) return text;
  let count = 0;
  let end = 0;
  for (const character of text) {
    if (count === 400) break;
    end += character.length;
    count += 1;
  }
  return text.slice(0, end);
}

function record(hook) {
  if (!isObject(hook) || background.includes(hook.tool_name)) return "";
  const event = {
    t: Date.now(),
    ctr: process.argv.length > 2 ? process.argv[2] : "",
    hook_event_name: hook.hook_event_name,
    session_id: hook.session_id,
    cwd: hook.cwd,
  };
  const tool = hook.tool_name;
  if (tool !== undefined && tool !== null && tool !== "") {
    event.tool_name = tool;
    event.tool_use_id = hook.tool_use_id;
    const given = isObject(hook.tool_input) ? hook.tool_input : {};
    const shown = {};
    for (const key of keep) {
      if (!Object.prototype.hasOwnProperty.call(given, key)) continue;
      const value = given[key];
      shown[key] = typeof value === "string" ? cut(value) : value;
    }
    event.tool_input = shown;
  }
  const response = hook.tool_response;
  if (
    hook.hook_event_name === "PostToolUseFailure" ||
    (isObject(response) && (response.is_error === true || response.interrupted === true))
  ) {
    event.tool_response = { is_error: true };
  }
  return JSON.stringify(event) + "\n";
}
)js";

// Bytes are decoded here rather than by sys.stdin, whose encoding follows the
// container's locale. NaN and Infinity are refused: json would accept them and write
// a line no JSON reader takes back.
constexpr std::string_view pyBody = R"py(

def cut(value):
    return value[:400] if isinstance(value, str) else value


def record(hook):
    if not isinstance(hook, dict) or hook.get("tool_name") in background:
        return ""
    event = {"t": int(time.time() * 1000), "ctr": sys.argv[1] if len(sys.argv) > 1 else ""}
    for key in ("hook_event_name", "session_id", "cwd"):
        event[key] = hook.get(key)
    tool = hook.get("tool_name")
    if tool is not None and tool != "":
        event["tool_name"] = tool
        event["tool_use_id"] = hook.get("tool_use_id")
        given = hook.get("tool_input")
        if not isinstance(given, dict):
            given = {}
        event["tool_input"] = dict((key, cut(given[key])) for key in keep if key in given)
    response = hook.get("tool_response")
    if hook.get("hook_event_name") == "PostToolUseFailure" or (
        isinstance(response, dict)
        and (response.get("is_error") is True or response.get("interrupted") is True)
    ):
        event["tool_response"] = {"is_error": True}
    return json.dumps(event, separators=(",", ":")) + "\n"


def refuse(constant):
    raise ValueError(constant)


try:
    line = record(json.loads(sys.stdin.buffer.read().decode("utf-8"), parse_constant=refuse))
    sys.stdout.write(line)
    sys.stdout.flush()
except Exception:
    pass
)py";

template <class Names>
std::string jsonList(const Names& names) {
  nlohmann::json list = nlohmann::json::array();
  for (std::string_view name : names) list.push_back(std::string(name));
  return list.dump();
}

}  // namespace

bool isOurs(const std::string& hookCommand) {
  return hookCommand.find(marker) != std::string::npos;
}

std::string dir(const std::string& project) { return project + "/.claude/tessel"; }

std::string log(const std::string& project) { return dir(project) + "/events.jsonl"; }

std::string settingsPath(const std::string& project) {
  return project + "/.claude/settings.local.json";
}

std::string hookScript() { return std::string(hookText); }

std::string recordJs() {
  return "// " + std::string(recorderTitle) + "\nconst keep = " + jsonList(keep) +
         ";\nconst background = " + jsonList(HookLogReader::backgroundTools) + ";\n" +
         std::string(jsBody);
}

std::string recordPy() {
  // A JSON list of plain strings is also a Python list literal.
  return "# " + std::string(recorderTitle) + "\nimport json, sys, time\nkeep = " + jsonList(keep) +
         "\nbackground = " + jsonList(HookLogReader::backgroundTools) + "\n" + std::string(pyBody);
}

bool isInstalled(const std::string& project) {
  const auto settings = ClaudeSettings::readObject(settingsPath(project));
  if (!settings) return false;
  const auto hooks = settings->find("hooks");
  return hooks != settings->end() && ClaudeSettings::anyHookCommand(*hooks, isOurs);
}

}  // namespace tessel::ContainerHook
