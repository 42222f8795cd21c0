// The companion plugin that brings plan readings into Claude Code: whether Claude Code
// lists it as installed, and its removal through Claude Code's own command-line program.
#pragma once

#include <string>

#include "environments/shell.h"
#include "paths/claude_paths.h"

namespace tessel::ConnectorInstaller {

inline constexpr std::string_view pluginId = "brackwater-tessel-connector@brackwater-tessel";
// Removal waits this long for Claude Code's command-line program.
inline constexpr double removeTimeoutSeconds = 60;

struct Outcome {
  bool ok = false;
  std::string message;  // "Removed." or a one-line explanation
  bool operator==(const Outcome&) const = default;
};

// Claude Code's record of installed plugins.
std::string recordFile(const ClaudePaths& paths);

bool isInstalled(const ClaudePaths& paths);

// Runs "claude plugin uninstall <pluginId>", the program found by `tools`.
Outcome remove(const ClaudePaths& paths, const ToolRunner& tools);

}  // namespace tessel::ConnectorInstaller
