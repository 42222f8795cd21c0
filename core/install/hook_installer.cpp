#include "install/hook_installer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "install/settings_file.h"
#include "model/claude_settings.h"
#include "util/calendar.h"

namespace tessel::HookInstaller {
namespace {

constexpr std::string_view programName = "tessel-hook";

bool mentionsHook(const std::string& command) {
  return command.find(programName) != std::string::npos;
}

}  // namespace

std::string shellCommand(const std::string& path) {
  const bool plain = path.find_first_not_of(
                         "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+") ==
                     std::string::npos;
  if (plain) return path;
  std::string quoted = "'";
  for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

Failure Failure::unreadable(const std::string& path) {
  return Failure(Kind::unreadable,
                 "Couldn\u2019t read " + path + ". It may not be valid JSON; nothing was changed.");
}

Failure Failure::unwritable(const std::string& path) {
  return Failure(Kind::unwritable, "Couldn\u2019t save " + path + ".");
}

Failure Failure::noBinary() {
  return Failure(Kind::noBinary, "The hook program is missing from the app.");
}

bool isInstalled(const ClaudePaths& paths) {
  const auto settings = ClaudeSettings::readObject(paths.settingsFile());
  if (!settings) return false;
  const auto hooks = settings->find("hooks");
  return hooks != settings->end() && ClaudeSettings::anyHookCommand(*hooks, mentionsHook);
}

std::string backupPath(const ClaudePaths& paths, Date now) {
  return paths.configDir + "/settings.backup-" + Calendar::formatLocal(now, "%Y-%m-%d-%H%M%S") +
         ".json";
}

bool backUp(const ClaudePaths& paths, Date now) {
  std::error_code error;
  const std::string settings = paths.configDir + "/settings.json";
  if (!std::filesystem::exists(settings, error)) return false;
  return std::filesystem::copy_file(settings, backupPath(paths, now), error);
}

bool install(const ClaudePaths& paths, const std::string& hookPath, Date now) {
  struct stat info {};
  if (stat(hookPath.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
      access(hookPath.c_str(), X_OK) != 0) {
    throw Failure::noBinary();
  }
  const std::string path = paths.settingsFile();
  nlohmann::json settings = SettingsFile::readForEditing(path);
  const nlohmann::json before = settings;
  nlohmann::json& hooks = SettingsFile::hooksOf(settings);
  ClaudeSettings::removeCommands(hooks, mentionsHook);
  ClaudeSettings::addCommand(hooks, shellCommand(hookPath));
  // A repeated install leaves the file, and the folder of backups, as they are.
  if (settings == before) return false;
  backUp(paths, now);
  SettingsFile::write(path, settings);
  return true;
}

void remove(const ClaudePaths& paths) {
  const std::string path = paths.settingsFile();
  auto settings = ClaudeSettings::readObject(path);
  if (!settings) return;
  const auto hooks = settings->find("hooks");
  if (hooks == settings->end() || !hooks->is_object()) return;
  if (!ClaudeSettings::removeCommands(*hooks, mentionsHook)) return;
  if (hooks->empty()) settings->erase(hooks);
  SettingsFile::write(path, *settings);
}

}  // namespace tessel::HookInstaller
