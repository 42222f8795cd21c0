// One simulated agent as a real process: a copy of the shell installed under the agent's
// program name, reading commands from a pipe, in a process group of its own so the
// terminal's Ctrl-C does not reach it and everything it started can be ended at once.
// Hooks and tool commands it is told to run are its children, as they are Claude Code's.
// Owned and driven by one thread at a time.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tessel::demo {

class AgentProcess {
 public:
  // Starts `executable` as `name` in `cwd`, with this process's environment. `heldOpen`
  // files are opened for appending and stay open in the agent for its whole life, as
  // an agent holds its lock files. Nothing when the process cannot be started.
  static std::unique_ptr<AgentProcess> start(const std::string& executable, const std::string& name,
                                             const std::string& cwd,
                                             const std::vector<std::string>& heldOpen = {});
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Hands the agent one shell command line; it runs them one after the other. Lines the
  // agent cannot take any more (it has ended) are dropped.
  void run(const std::string& line);
  // Ends the agent and everything in its group, and reaps it.
  void stop();

 private:
  AgentProcess(pid_t pid, int input) : pid_(pid), input_(input) {}

  pid_t pid_;
  int input_;
};

// `text` quoted for the shell, whatever it holds.
std::string shellQuoted(const std::string& text);

}  // namespace tessel::demo
