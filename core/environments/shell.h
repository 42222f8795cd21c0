// The one place Tessel runs an outside command-line tool: found by name in a fixed
// list of folders, run without a shell, with a hard time-out, both output streams
// captured in full. Never throws. Safe from any thread; `run` blocks its caller.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessel::Shell {

struct Result {
  // The exit code, or the number of the signal that ended the process; -1 when it
  // could not be started.
  int32_t status = -1;
  std::string out{};  // standard output as UTF-8, invalid sequences repaired
  std::string err{};  // standard error, or why the launch failed
  bool timedOut = false;

  bool ok() const { return status == 0 && !timedOut; }
  bool operator==(const Result&) const = default;
};

// Runs the program at the absolute path `executable` with `arguments`, standard input
// from the null device and PATH set to the search paths. After `timeoutSeconds` it is
// sent SIGTERM, one second later SIGKILL.
Result run(const std::string& executable, const std::vector<std::string>& arguments,
           double timeoutSeconds);

// The first executable file named `name` in the search paths. Answers, found or not,
// are cached for the life of the process.
std::optional<std::string> find(const std::string& name);

// `find` then `run`; nothing when the tool is not installed (it is then not run).
std::optional<Result> tool(const std::string& name, const std::vector<std::string>& arguments,
                           double timeoutSeconds);

// The folders tools are looked for in, in order; also the PATH every tool runs with.
std::vector<std::string> searchPaths();

namespace Testing {
// Points the tool search (and the children's PATH) at `paths` instead and forgets every
// cached answer; an empty list restores the real folders. Only tests call it.
void setSearchPaths(std::vector<std::string> paths);
}  // namespace Testing

}  // namespace tessel::Shell
