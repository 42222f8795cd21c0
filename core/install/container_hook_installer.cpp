#include "install/container_hook_installer.h"

#include <filesystem>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "hook/container_hook.h"
#include "install/hook_installer.h"
#include "install/settings_file.h"
#include "model/claude_settings.h"
#include "util/files.h"

namespace tessel::ContainerHook {
namespace {

void save(const std::string& path, std::string_view bytes) {
  if (!Files::replace(path, bytes, ".tessel-saving", 0644)) {
    throw HookInstaller::Failure::unwritable(path);
  }
}

}  // namespace

void install(const std::string& project) {
  const std::string folder = dir(project);
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (!std::filesystem::is_directory(folder, error)) {
    throw std::runtime_error("Couldn\u2019t create " + folder + ".");
  }
  save(folder + "/hook.sh", hookScript());
  save(folder + "/record.js", recordJs());
  save(folder + "/record.py", recordPy());
  save(folder + "/.gitignore", "*\n");

  const std::string path = settingsPath(project);
  nlohmann::json settings = SettingsFile::readForEditing(path);
  nlohmann::json& hooks = SettingsFile::hooksOf(settings);
  ClaudeSettings::removeCommands(hooks, isOurs);
  ClaudeSettings::addCommand(hooks, std::string(command));
  SettingsFile::write(path, settings);
}

void remove(const std::string& project) {
  const std::string path = settingsPath(project);
  std::error_code error;
  if (std::filesystem::exists(path, error)) {
    nlohmann::json settings = SettingsFile::readForEditing(path);
    // Rewritten only when something of ours was there: the user's file keeps its own
    // layout otherwise.
    const auto hooks = settings.find("hooks");
    const bool changed = hooks != settings.end() && ClaudeSettings::removeCommands(*hooks, isOurs);
    if (changed && hooks->empty()) settings.erase(hooks);
    if (changed) SettingsFile::write(path, settings);
  }
  const std::string folder = dir(project);
  std::filesystem::remove_all(folder, error);
  if (error) throw std::runtime_error("Couldn\u2019t delete " + folder + ".");
}

std::string preview(const std::string& project) {
  std::string shown = settingsPath(project);
  const std::string prefix = project + "/";
  for (size_t at = shown.find(prefix); at != std::string::npos; at = shown.find(prefix, at)) {
    shown.erase(at, prefix.size());
  }
  std::string names;
  for (std::string_view event : ClaudeSettings::hookEvents) {
    if (!names.empty()) names += ", ";
    names += event;
  }
  return shown + "\n  adds a hook for " + names +
         "\n.claude/tessel/hook.sh, record.js, record.py\n"
         "  writes one line per tool call to .claude/tessel/events.jsonl\n"
         ".claude/tessel/.gitignore\n"
         "  keeps the folder out of git";
}

}  // namespace tessel::ContainerHook
