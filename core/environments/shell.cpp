#include "environments/shell.h"

#include <utility>

#include "platform/spawn.h"
#include "platform/user.h"
#include "util/text.h"

namespace tessel {
namespace {

std::string joined(const std::vector<std::string>& folders) {
  std::string text;
  for (const auto& folder : folders) {
    if (!text.empty()) text += ':';
    text += folder;
  }
  return text;
}

}  // namespace

namespace Shell {

Result run(const std::string& executable, const std::vector<std::string>& arguments,
           double timeoutSeconds, const std::vector<std::string>& searchPaths) {
  platform::ProgramOutcome outcome =
      platform::runProgram(executable, arguments, joined(searchPaths), timeoutSeconds);
  return Result{.status = outcome.status,
                .out = Text::repairUtf8(outcome.out),
                .err = Text::repairUtf8(outcome.err),
                .timedOut = outcome.timedOut};
}

Result run(const std::string& executable, const std::vector<std::string>& arguments,
           double timeoutSeconds) {
  return run(executable, arguments, timeoutSeconds, standardSearchPaths());
}

std::vector<std::string> standardSearchPaths() {
  const std::string& home = platform::userHomeDirectory();
  return {
      "/opt/homebrew/bin",
      "/usr/local/bin",
      "/usr/bin",
      "/bin",
      "/usr/sbin",
      "/sbin",
      home + "/.orbstack/bin",
      home + "/.local/bin",
      home + "/.docker/bin",
      home + "/.rd/bin",
      "/Applications/Docker.app/Contents/Resources/bin",
      "/Applications/OrbStack.app/Contents/MacOS/xbin",
      "/Applications/Parallels Desktop.app/Contents/MacOS",
      "/Applications/UTM.app/Contents/MacOS",
      "/Applications/VMware Fusion.app/Contents/Library",
      "/Applications/VirtualBox.app/Contents/MacOS",
  };
}

}  // namespace Shell

ToolRunner::ToolRunner(std::vector<std::string> searchPaths)
    : searchPaths_(std::move(searchPaths)) {}

std::optional<std::string> ToolRunner::find(const std::string& name) const {
  // A name with a slash would reach outside the search paths.
  if (name.empty() || name.find('/') != std::string::npos) return std::nullopt;
  {
    std::lock_guard guard(lock_);
    if (const auto known = found_.find(name); known != found_.end()) {
      if (known->second.empty()) return std::nullopt;
      return known->second;
    }
  }
  // The folders are searched without the lock; two threads asking at once for a tool
  // never asked before both search, and find the same file.
  std::string found;
  for (const auto& folder : searchPaths_) {
    std::string candidate = folder;
    candidate += '/';
    candidate += name;
    if (platform::isExecutableFile(candidate)) {
      found = std::move(candidate);
      break;
    }
  }
  {
    std::lock_guard guard(lock_);
    found_.emplace(name, found);
  }
  if (found.empty()) return std::nullopt;
  return found;
}

Shell::Result ToolRunner::run(const std::string& executable,
                              const std::vector<std::string>& arguments,
                              double timeoutSeconds) const {
  return Shell::run(executable, arguments, timeoutSeconds, searchPaths_);
}

std::optional<Shell::Result> ToolRunner::tool(const std::string& name,
                                              const std::vector<std::string>& arguments,
                                              double timeoutSeconds) const {
  const std::optional<std::string> path = find(name);
  if (!path) return std::nullopt;
  return run(*path, arguments, timeoutSeconds);
}

}  // namespace tessel
