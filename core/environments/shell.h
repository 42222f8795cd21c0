// The one place Tessel runs an outside command-line tool: found by name in a fixed
// list of folders, run without a shell, with a hard time-out, both output streams
// captured in full. Never throws. `Shell` is stateless; a `ToolRunner` keeps what its
// searches found. Both are safe from any thread; running blocks the caller.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tessel {
namespace Shell {

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
// from the null device and PATH set to `searchPaths`. After `timeoutSeconds` it is
// sent SIGTERM, one second later SIGKILL.
Result run(const std::string& executable, const std::vector<std::string>& arguments,
           double timeoutSeconds, const std::vector<std::string>& searchPaths);
// The same with PATH set to the standard search paths.
Result run(const std::string& executable, const std::vector<std::string>& arguments,
           double timeoutSeconds);

// The folders tools are installed in on this machine, in the order they are searched;
// the home directory comes from the user database, not from $HOME.
std::vector<std::string> standardSearchPaths();

}  // namespace Shell

// Finds tools in its search paths and runs them with PATH set to those folders, so a
// tool finds its own helpers where we found it. Answers, found or not, are kept for the
// runner's life: a tool installed later is seen by a new runner. The long-lived owner
// keeps one; tests make their own on a folder of stand-ins.
class ToolRunner {
 public:
  explicit ToolRunner(std::vector<std::string> searchPaths = Shell::standardSearchPaths());
  ToolRunner(const ToolRunner&) = delete;
  ToolRunner& operator=(const ToolRunner&) = delete;

  const std::vector<std::string>& searchPaths() const { return searchPaths_; }

  // The first executable file named `name` in the search paths.
  std::optional<std::string> find(const std::string& name) const;
  // `Shell::run` with this runner's PATH.
  Shell::Result run(const std::string& executable, const std::vector<std::string>& arguments,
                    double timeoutSeconds) const;
  // `find` then `run`; nothing when the tool is not installed (it is then not run).
  std::optional<Shell::Result> tool(const std::string& name,
                                    const std::vector<std::string>& arguments,
                                    double timeoutSeconds) const;

 private:
  const std::vector<std::string> searchPaths_;
  mutable std::mutex lock_;
  // Guarded by lock_.
  // Where each tool was found, "" when it was not.
  mutable std::map<std::string, std::string> found_;
};

}  // namespace tessel
