// Stand-ins for outside command-line tools (docker, limactl, ...): small shell scripts
// in a temporary folder, found by the runners and scan contexts the object hands out.
// Each answers by its arguments with a fixture's output, an error, or by hanging, and
// records every argument list it was called with.
#pragma once

#include <string>
#include <vector>

#include "environments/context.h"
#include "environments/shell.h"
#include "support/temp_dir.h"

namespace tessel::test {

struct Reply {
  // A shell `case` pattern matched against all arguments joined by single spaces:
  // "ps --no-trunc --format {{json .}}" exactly, "inspect *", or "*" for anything.
  std::string pattern;
  std::string out{};
  std::string err{};
  int status = 0;
  // Seconds to wait before answering; a long wait makes the caller's time-out fire.
  double delay = 0;
  // Shell commands run before answering (after the delay).
  std::string before{};
};

class FakeTools {
 public:
  FakeTools() = default;  // an empty folder: no tool is installed
  FakeTools(const FakeTools&) = delete;
  FakeTools& operator=(const FakeTools&) = delete;

  // Installs (or replaces) `name`; the first matching reply answers, and arguments no
  // reply matches get "unknown command" on standard error and status 64.
  void add(const std::string& name, const std::vector<Reply>& replies);

  // Every argument list `name` was called with, oldest first.
  std::vector<std::vector<std::string>> calls(const std::string& name) const;
  // The calls whose first argument is `command`.
  std::vector<std::vector<std::string>> calls(const std::string& name,
                                              const std::string& command) const;

  const std::string& folder() const { return dir_.path(); }

  // A runner that searches this folder only. A runner keeps its answers, so a tool added
  // after a runner looked for it is seen by the next runner; a tool replaced is run anew.
  ToolRunner runner() const;
  // A scan context on `runner()`'s folder, with Docker Desktop at `dockerApplication`;
  // without one, at a path in this folder that does not exist.
  Environments::Context context() const;
  Environments::Context context(const std::string& dockerApplication) const;

 private:
  TempDir dir_;
};

}  // namespace tessel::test
