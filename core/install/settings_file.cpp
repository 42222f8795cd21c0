#include "install/settings_file.h"

#include <sys/stat.h>

#include <filesystem>

#include "install/hook_installer.h"
#include "util/files.h"

namespace tessel::SettingsFile {

std::optional<nlohmann::json> readObject(const std::string& path) {
  const auto text = Files::read(path);
  if (!text) return std::nullopt;
  auto settings = nlohmann::json::parse(*text, nullptr, false);
  if (!settings.is_object()) return std::nullopt;
  return settings;
}

nlohmann::json readForEditing(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::exists(path, error) && !error) return nlohmann::json::object();
  auto settings = readObject(path);
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

}  // namespace tessel::SettingsFile
