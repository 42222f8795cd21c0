// The hook for Claude Code sessions that run inside a Linux container or VM, where the
// host's tessel-hook cannot be reached. It lives in the project folder, which the
// container shares with the host: small scripts under .claude/tessel, registered in the
// project's .claude/settings.local.json. Inside the container they append one JSON line
// per hook event to .claude/tessel/events.jsonl, which Tessel reads on the host.
//
// An events line holds "t" (integer milliseconds since 1970) and "ctr" (the container's
// host name, maybe ""), then "hook_event_name", "session_id" and "cwd" as Claude Code sent
// them (null or missing when it did not). Tool events add "tool_name", "tool_use_id" and
// "tool_input" (only the `keep` keys, strings cut to 400 characters), and a failed or
// interrupted call adds "tool_response": {"is_error": true}. Claude Code reports most
// failed calls only as "PostToolUseFailure", which carries no "tool_response": its line
// gets the failure mark all the same, so every line says by itself how its call ended.
#pragma once

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "model/tool_input.h"

namespace tessel::ContainerHook {

// Any hook command containing this is ours. The command is registered for every
// ClaudeSettings::hookEvents by the container hook installer.
inline constexpr std::string_view marker = "tessel/hook.sh";

// Registered for every event. Claude Code on a Mac already reports to tessel-hook, so
// there the command stops at once. On a Linux host `uname` is not Darwin, so the command
// also runs for the host's own sessions and they land in the project's events file too;
// the events reader drops lines whose "ctr" is this machine's own host name.
inline constexpr std::string_view command =
    R"cmd([ "$(uname)" = Darwin ] || sh "${CLAUDE_PROJECT_DIR:-.}/.claude/tessel/hook.sh"; exit 0)cmd";

// The tool_input keys an events line keeps, in the order it writes them: what a host
// reader looks at, and nothing else.
inline constexpr auto keep = [] {
  std::array<std::string_view, ToolInput::summaryKeys.size() + 1> keys{};
  std::copy(ToolInput::summaryKeys.begin(), ToolInput::summaryKeys.end(), keys.begin());
  keys.back() = "run_in_background";
  return keys;
}();

// The hook's folder in `project`: <project>/.claude/tessel.
std::string dir(const std::string& project);
// The events file the container appends to.
std::string log(const std::string& project);
// The project's own settings file, where the hook is registered.
std::string settingsPath(const std::string& project);

// The files written into dir(): hook.sh picks a recorder (node, else python3) and appends
// its line; record.js and record.py turn one hook input into at most one events line.
std::string hookScript();
std::string recordJs();
std::string recordPy();

// True for a hook command of ours.
bool isOurs(const std::string& hookCommand);

// True when the settings file registers a command of ours; false when it cannot be read.
bool isInstalled(const std::string& project);

}  // namespace tessel::ContainerHook
