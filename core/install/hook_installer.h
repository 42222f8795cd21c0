// Registers tessel-hook in Claude Code's user settings for the hook events Tessel
// reads, and takes it out again. The user's own keys and hook groups are never touched.
// Called from the front end and the uninstaller, one at a time.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "paths/claude_paths.h"
#include "util/date.h"

namespace tessel::HookInstaller {

// A failure the user reads: what() is the whole sentence.
class Failure : public std::runtime_error {
 public:
  enum class Kind { unreadable, unwritable, noBinary };

  static Failure unreadable(const std::string& path);
  static Failure unwritable(const std::string& path);
  static Failure noBinary();

  Kind kind() const { return kind_; }

 private:
  Failure(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
  Kind kind_;
};

// True when the settings file is a JSON object with a hook command mentioning tessel-hook.
bool isInstalled(const ClaudePaths& paths);

// Registers the executable at `hookPath` (absolute) for every ClaudeSettings::hookEvents, replacing
// earlier entries of ours and keeping everything else. A backup of the old file is saved beside it
// first. False, with nothing written, when the settings already register exactly this. Throws
// Failure.
bool install(const ClaudePaths& paths, const std::string& hookPath, Date now);

// The command line Claude Code runs through a shell for the program at `path`: quoted
// when it needs it (macOS support folders have spaces in their names).
std::string shellCommand(const std::string& path);

// Rewrites the settings file without our hook entries, dropping groups and event lists
// that become empty, and "hooks" when nothing is left. Unchanged when the file cannot be
// read, is empty or has no "hooks" object. Throws Failure (unwritable) only.
void remove(const ClaudePaths& paths);

// configDir + "/settings.backup-yyyy-MM-dd-HHmmss.json" in local time.
std::string backupPath(const ClaudePaths& paths, Date now);
// Copies settings.json to its backup path; false when there is no file or the copy
// failed (a backup of the same second already exists, say).
bool backUp(const ClaudePaths& paths, Date now);

}  // namespace tessel::HookInstaller
