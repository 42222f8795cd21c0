// What the demo's machine remembers from before the demo began: two weeks of finished
// Claude Code sessions whose replies carry token usage, and the companion plugin's plan
// reading with its recent history.
#pragma once

#include <string>
#include <vector>

#include "demo/agent_lines.h"
#include "util/date.h"

namespace tessel::demo {

struct PastProject {
  std::string cwd;
  std::string model;
  std::vector<std::string> prompts;
  std::vector<std::string> commands;  // what its sessions typically ran
};

// Writes a few sessions a day for the 13 days before today's into `projectsDir`, each
// file dated by its last line. Returns when yesterday's session in `projects[1]` started
// the mail catcher container that is still running.
Date writeUsageHistory(const std::string& projectsDir, const std::vector<PastProject>& projects,
                       Date now);

// The companion plugin's state file: the plan as the desktop app reports it and as the
// rate limits do, with a reading every three hours over the past week.
void writePlanReading(const std::string& connectorFile, const PlanWindows& plan, Date now);

}  // namespace tessel::demo
