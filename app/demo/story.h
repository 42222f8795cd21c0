// What the demo's sessions do: each session's turns, the user's prompt and the tool calls
// that answer it, as data the simulation plays back. Calls take real seconds, and some run
// a real process under the session while they last.
#pragma once

#include <string>
#include <vector>

#include "demo/agent_lines.h"
#include "demo/history.h"

namespace tessel::demo {

struct Step {
  std::string tool;  // Claude Code's tool name; Codex runs every step as a command
  Json input = Json::object();
  int seconds = 1;
  std::string output{};
  bool isFailed = false;
  // The command line of the process the call runs while it lasts, its program first;
  // `processArgument` ends it (by default, the call's seconds).
  std::string process{};
  std::string processArgument{};
  // The call returns at once and leaves its process running.
  bool isBackground = false;
  // Seconds the session waits for the user's permission before the call runs.
  int permissionSeconds = 0;
  bool startsCompose = false;

  std::string command() const { return input.value("command", std::string{}); }
};

struct Turn {
  std::string prompt;
  std::vector<Step> steps{};
  std::string reply{};
  int pauseSeconds = 10;  // before the next prompt
};

struct Story {
  std::string title;
  std::string project;  // the folder under the sandbox's source folder
  std::string model;
  std::string branch = "main";
  int startedMinutesAgo = 30;
  int delaySeconds = 0;      // before the first live turn
  std::vector<Turn> past{};  // finished before the demo began
  std::vector<Turn> opening{};
  std::vector<Turn> loop{};  // after the opening, over and over
  // When set, the session has been quiet this long and stays so.
  int idleMinutes = 0;
};

std::vector<Story> claudeStories();
Story codexStory();
// The projects of the two weeks before, `source` being the folder that holds them.
std::vector<PastProject> pastProjects(const std::string& source);
// The program names the stories' processes run as.
std::vector<std::string> processPrograms();

}  // namespace tessel::demo
