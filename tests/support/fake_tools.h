// Stand-ins for outside command-line tools (docker, limactl, ...): small shell scripts
// in a temporary folder that the tool search is pointed at while the object lives. Each
// answers by its arguments with a fixture's output, an error, or by hanging, and
// records every argument list it was called with.
#pragma once

#include <string>
#include <vector>

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
  FakeTools();   // an empty folder: no tool is installed
  ~FakeTools();  // the real search paths come back
  FakeTools(const FakeTools&) = delete;
  FakeTools& operator=(const FakeTools&) = delete;

  // Installs (or replaces) `name`; the first matching reply answers, and arguments no
  // reply matches get "unknown command" on standard error and status 64.
  void add(const std::string& name, const std::vector<Reply>& replies);
  void remove(const std::string& name);

  // Every argument list `name` was called with, oldest first.
  std::vector<std::vector<std::string>> calls(const std::string& name) const;
  // The calls whose first argument is `command`.
  std::vector<std::vector<std::string>> calls(const std::string& name,
                                              const std::string& command) const;

  const std::string& folder() const { return dir_.path(); }

 private:
  TempDir dir_;
};

}  // namespace tessel::test
