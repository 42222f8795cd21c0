// Claude Code's status line: `tessel statusline` is the command Claude Code runs after
// each message of a session, and `tessel install --statusline` registers it in the
// user's settings. Both run on the main thread of a short-lived `tessel`.
#pragma once

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "cli.h"
#include "paths/claude_paths.h"
#include "util/date.h"

namespace tessel::cli {

void addStatusLineCommand(CLI::App& app, Run& run);

namespace StatusLineSetting {

// What a settings object says of its status line.
struct Reading {
  enum class Kind { none, ours, other };
  Kind kind = Kind::none;
  std::string command{};  // as the settings hold it
  std::string program{};  // the program it starts, unquoted
};
Reading read(const nlohmann::json& settings);

// The program a command line starts: its first word, unquoted the way
// HookInstaller::shellCommand quotes it.
std::string programOf(std::string_view command);

// Registers `<tesselPath> statusline` when the settings have no status line, or one of
// ours that starts another tessel; another command is never replaced. With `backUp`, a
// backup of the file is saved beside it before it changes. Returns the sentence saying
// what happened. Throws HookInstaller::Failure.
std::string install(const ClaudePaths& paths, const std::string& tesselPath, Date now, bool backUp);

// Takes our status line out of the settings, after a backup named by `now`, and says
// so; another command, or none, is left alone and says nothing. Throws
// HookInstaller::Failure.
std::optional<std::string> remove(const ClaudePaths& paths, Date now);

}  // namespace StatusLineSetting

}  // namespace tessel::cli
