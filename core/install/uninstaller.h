// Takes out everything Tessel put into Claude Code's configuration and onto the disk:
// the hook entries (after a backup), the companion plugin and the support folder.
// Each step runs whatever happened to the one before.
#pragma once

#include <string>
#include <vector>

#include "environments/shell.h"
#include "paths/claude_paths.h"
#include "util/date.h"

namespace tessel::Uninstaller {

struct Report {
  std::vector<std::string> lines;  // one sentence per step, in step order
  bool failed = false;
  bool operator==(const Report&) const = default;
};

// `now` names the settings backup; `tools` finds Claude Code's program for the plugin.
Report run(const ClaudePaths& paths, const ToolRunner& tools, Date now);

// The closing line printed after the report.
std::string finalLine(const Report& report);

// What a program that uninstalls prints and exits with: the report's lines and its
// closing line, each ended by a line feed; status 1 when a step failed, else 0.
struct Printed {
  std::string text;
  int status = 1;
};
// `run` after the steps of `before` (a program's own, already taken), and anything
// unforeseen a step throws ends the report as failed.
Printed runPrinted(const ClaudePaths& paths, const ToolRunner& tools, Date now,
                   const Report& before = {});

}  // namespace tessel::Uninstaller
