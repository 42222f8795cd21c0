// What every `tessel` command shares: the options that apply everywhere, where Claude
// Code's and Codex's files are, and how results and failures reach the terminal. Each
// group of commands adds its subcommands to the one CLI11 application in main().
#pragma once

#include <CLI/CLI.hpp>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "monitor/monitor.h"
#include "paths/claude_paths.h"

namespace tessel::cli {

enum Exit : int { success = 0, failure = 1, usageError = 2 };

// The options every subcommand accepts, filled in by CLI11 before any command runs.
struct Globals {
  std::string configDir{};  // --config-dir, over CLAUDE_CONFIG_DIR
  std::string codexHome{};  // --codex-home, over CODEX_HOME
  bool isColorOff = false;  // --no-color

  ClaudePaths claudePaths() const;
  CodexPaths codexPaths() const;
  // Where outside tools (docker, podman, limactl...) are looked for: the folders of
  // TESSEL_TOOL_PATH (colon-separated) first, then the standard ones. The demo points it
  // at its fake tools.
  std::vector<std::string> searchPaths() const;
  Monitor::Options monitorOptions() const;
  // Colour only on a terminal, and never with --no-color or NO_COLOR set (any value).
  bool usesColor(std::FILE* stream = stdout) const;
};

// What a subcommand's callback leaves for main() to return.
struct Run {
  Globals globals{};
  int exitCode = success;
};

// Prints `sentence` on stderr and returns `failure`.
int fail(std::string_view sentence);

// Adds `name` to `app`, with `help` and examples shown at the end of its --help, and
// makes running it set `run.exitCode` to what `body` returns.
CLI::App* addCommand(CLI::App& app, Run& run, const std::string& name, const std::string& help,
                     const std::string& examples, std::function<int()> body);

// The absolute path of the running `tessel`; empty when the system will not say.
std::string selfPath();

// The whole command line: the options every command takes, --version, and every
// subcommand. Running `tessel` with no subcommand opens the live view.
void configure(CLI::App& app, Run& run);

void addReportCommands(CLI::App& app, Run& run);
void addInstallCommands(CLI::App& app, Run& run);
struct ViewOptions {
  double intervalSeconds = 2;
  std::optional<bool> isCodexOn{};     // default: on when a Codex home exists
  std::optional<double> forSeconds{};  // quits by itself after this long
};
// The live view over the paths of `globals`, until the user quits; the exit status.
int runLiveView(const Globals& globals, const ViewOptions& options);
// Returns what `tessel` runs when no subcommand is given: the live view.
std::function<int()> addLiveView(CLI::App& app, Run& run);
void addDemo(CLI::App& app, Run& run);

}  // namespace tessel::cli
