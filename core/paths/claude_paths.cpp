#include "paths/claude_paths.h"

#include <cstdlib>
#include <filesystem>

#include "platform/user.h"

namespace tessel {
namespace {

bool somethingAt(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

}  // namespace

ClaudePaths ClaudePaths::standard() {
  ClaudePaths paths;
  const char* home = std::getenv("HOME");
  paths.home = home != nullptr && *home != '\0' ? home : platform::userHomeDirectory();
  // An empty CLAUDE_CONFIG_DIR is kept as given: the user set it, nothing second-guesses it.
  const char* config = std::getenv("CLAUDE_CONFIG_DIR");
  paths.configDir = config != nullptr ? config : paths.home + "/.claude";
  paths.appDir = paths.home + "/Library/Application Support/Claude";
  paths.supportDir = paths.home + "/Library/Application Support/Tessel";
  return paths;
}

bool ClaudePaths::hasDesktopApp() const {
  return somethingAt(appDir) || somethingAt("/Applications/Claude.app");
}

CodexPaths CodexPaths::standard() {
  const char* codexHome = std::getenv("CODEX_HOME");
  if (codexHome != nullptr && *codexHome != '\0') return CodexPaths{codexHome};
  return CodexPaths{platform::userHomeDirectory() + "/.codex"};
}

bool CodexPaths::exists() const { return somethingAt(sessionsDir()); }

}  // namespace tessel
