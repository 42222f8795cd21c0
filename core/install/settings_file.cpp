#include "install/settings_file.h"

#include <sys/stat.h>

#include <filesystem>

#include "install/hook_installer.h"
#include "model/claude_settings.h"
#include "util/files.h"

namespace tessel::SettingsFile {

nlohmann::json readForEditing(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::exists(path, error) && !error) return nlohmann::json::object();
  auto settings = ClaudeSettings::readObject(path);
  if (!settings) throw HookInstaller::Failure::unreadable(path);
  return std::move(*settings);
}

void write(const std::string& path, const nlohmann::json& settings) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) Files::createDirectories(parent.string());
  // The user's file may be private; the rewrite keeps its permissions.
  struct stat info {};
  const unsigned mode = stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0644;
  std::string text;
  try {
    text = settings.dump(2) + "\n";
  } catch (const nlohmann::json::exception&) {
    throw HookInstaller::Failure::unwritable(path);
  }
  if (!Files::replace(path, text, ".tessel-saving", mode)) {
    throw HookInstaller::Failure::unwritable(path);
  }
}

nlohmann::json& hooksOf(nlohmann::json& settings) {
  auto& hooks = settings["hooks"];
  if (!hooks.is_object()) hooks = nlohmann::json::object();
  return hooks;
}

}  // namespace tessel::SettingsFile
