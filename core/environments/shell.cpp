#include "environments/shell.h"

#include <map>
#include <mutex>
#include <utility>

#include "platform/spawn.h"
#include "platform/user.h"
#include "util/text.h"

namespace tessel::Shell {
namespace {

const std::vector<std::string>& realSearchPaths() {
  static const std::vector<std::string> paths = [] {
    const std::string& home = platform::userHomeDirectory();
    return std::vector<std::string>{
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
  }();
  return paths;
}

// Where tools were found (or "" when they were not), and the folders tests put in place
// of the real ones. One lock for both, so new folders and forgotten answers change
// together.
class Cache {
 public:
  static Cache& shared() {
    static Cache cache;
    return cache;
  }

  struct Snapshot {
    // A path, "" when known to be missing, nothing when never looked up.
    std::optional<std::string> answer;
    // Only filled in when there is no answer.
    std::vector<std::string> folders;
    uint64_t generation = 0;
  };

  Snapshot snapshot(const std::string& name) {
    std::lock_guard guard(lock_);
    Snapshot snapshot;
    snapshot.generation = generation_;
    if (const auto it = paths_.find(name); it != paths_.end()) {
      snapshot.answer = it->second;
    } else {
      snapshot.folders = foldersLocked();
    }
    return snapshot;
  }

  // An answer found while the folders were replaced belongs to the old folders and is
  // dropped.
  void remember(const std::string& name, const std::string& path, uint64_t generation) {
    std::lock_guard guard(lock_);
    if (generation == generation_) paths_[name] = path;
  }

  std::vector<std::string> folders() {
    std::lock_guard guard(lock_);
    return foldersLocked();
  }

  void replaceFolders(std::vector<std::string> folders) {
    std::lock_guard guard(lock_);
    replacement_ = std::move(folders);
    paths_.clear();
    ++generation_;
  }

 private:
  const std::vector<std::string>& foldersLocked() const {
    return replacement_.empty() ? realSearchPaths() : replacement_;
  }

  std::mutex lock_;
  // Guarded by lock_.
  std::map<std::string, std::string> paths_;
  std::vector<std::string> replacement_;
  uint64_t generation_ = 0;
};

std::string joined(const std::vector<std::string>& folders) {
  std::string text;
  for (const auto& folder : folders) {
    if (!text.empty()) text += ':';
    text += folder;
  }
  return text;
}

}  // namespace

Result run(const std::string& executable, const std::vector<std::string>& arguments,
           double timeoutSeconds) {
  platform::ProgramOutcome outcome =
      platform::runProgram(executable, arguments, joined(searchPaths()), timeoutSeconds);
  return Result{.status = outcome.status,
                .out = Text::repairUtf8(outcome.out),
                .err = Text::repairUtf8(outcome.err),
                .timedOut = outcome.timedOut};
}

std::optional<std::string> find(const std::string& name) {
  // A name with a slash would reach outside the search paths.
  if (name.empty() || name.find('/') != std::string::npos) return std::nullopt;
  Cache& cache = Cache::shared();
  Cache::Snapshot snapshot = cache.snapshot(name);
  if (snapshot.answer) {
    if (snapshot.answer->empty()) return std::nullopt;
    return snapshot.answer;
  }
  std::string found;
  for (const auto& folder : snapshot.folders) {
    std::string candidate = folder;
    candidate += '/';
    candidate += name;
    if (platform::isExecutableFile(candidate)) {
      found = std::move(candidate);
      break;
    }
  }
  cache.remember(name, found, snapshot.generation);
  if (found.empty()) return std::nullopt;
  return found;
}

std::optional<Result> tool(const std::string& name, const std::vector<std::string>& arguments,
                           double timeoutSeconds) {
  const std::optional<std::string> path = find(name);
  if (!path) return std::nullopt;
  return run(*path, arguments, timeoutSeconds);
}

std::vector<std::string> searchPaths() { return Cache::shared().folders(); }

namespace Testing {

void setSearchPaths(std::vector<std::string> paths) {
  Cache::shared().replaceFolders(std::move(paths));
}

}  // namespace Testing

}  // namespace tessel::Shell
