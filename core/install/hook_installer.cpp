#include "install/hook_installer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "install/settings_file.h"
#include "util/calendar.h"

namespace tessel::HookInstaller {
namespace {

constexpr std::string_view programName = "tessel-hook";

bool mentionsHook(const std::string& command) {
  return command.find(programName) != std::string::npos;
}

bool isToolEvent(std::string_view event) {
  return event.ends_with("ToolUse") || event == "PostToolUseFailure";
}

// The command line Claude Code runs through a shell: the path quoted when it needs it
// (macOS support folders have spaces in their names).
std::string shellCommand(const std::string& path) {
  const bool plain = path.find_first_not_of(
                         "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+") ==
                     std::string::npos;
  if (plain) return path;
  std::string quoted = "'";
  for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Drops our commands from one group's "hooks" list; true when any was there.
bool stripGroup(nlohmann::json& group) {
  if (!group.is_object()) return false;
  const auto list = group.find("hooks");
  if (list == group.end() || !list->is_array()) return false;
  const size_t before = list->size();
  for (auto hook = list->begin(); hook != list->end();) {
    const auto command = hook->is_object() ? hook->find("command") : hook->end();
    const bool ours =
        command != hook->end() && command->is_string() && mentionsHook(command->get<std::string>());
    hook = ours ? list->erase(hook) : std::next(hook);
  }
  return list->size() != before;
}

// Drops our commands from every group under every event, then the groups and event
// lists that this leaves empty. Anything else of the user's stays as it was. True when
// something was dropped.
bool stripOurs(nlohmann::json& hooks) {
  bool changed = false;
  for (auto event = hooks.begin(); event != hooks.end();) {
    bool eventChanged = false;
    if (event->is_array()) {
      for (auto group = event->begin(); group != event->end();) {
        const bool stripped = stripGroup(*group);
        eventChanged = eventChanged || stripped;
        group = stripped && (*group)["hooks"].empty() ? event->erase(group) : std::next(group);
      }
    }
    changed = changed || eventChanged;
    event = eventChanged && event->empty() ? hooks.erase(event) : std::next(event);
  }
  return changed;
}

}  // namespace

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

const std::vector<std::string>& events() {
  // "PostToolUseFailure" is how Claude Code reports a failed call; without it a
  // failed call would never be seen to end.
  static const std::vector<std::string> names = {
      "SessionStart", "SessionEnd",  "UserPromptSubmit",  "Stop",
      "PreToolUse",   "PostToolUse", "PostToolUseFailure"};
  return names;
}

bool isInstalled(const ClaudePaths& paths) {
  const auto settings = SettingsFile::readObject(paths.settingsFile());
  if (!settings) return false;
  const auto hooks = settings->find("hooks");
  return hooks != settings->end() && SettingsFile::anyHookCommand(*hooks, mentionsHook);
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

void install(const ClaudePaths& paths, const std::string& hookPath, Date now) {
  struct stat info {};
  if (stat(hookPath.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
      access(hookPath.c_str(), X_OK) != 0) {
    throw Failure::noBinary();
  }
  const std::string path = paths.settingsFile();
  nlohmann::json settings = SettingsFile::readForEditing(path);
  nlohmann::json hooks = settings.contains("hooks") && settings["hooks"].is_object()
                             ? settings["hooks"]
                             : nlohmann::json::object();
  stripOurs(hooks);
  const std::string command = shellCommand(hookPath);
  for (const std::string& event : events()) {
    nlohmann::json group = {{"hooks", {{{"type", "command"}, {"command", command}}}}};
    if (isToolEvent(event)) group["matcher"] = "*";
    auto& groups = hooks[event];
    if (!groups.is_array()) groups = nlohmann::json::array();
    groups.push_back(std::move(group));
  }
  settings["hooks"] = std::move(hooks);
  backUp(paths, now);
  SettingsFile::write(path, settings);
}

void remove(const ClaudePaths& paths) {
  const std::string path = paths.settingsFile();
  auto settings = SettingsFile::readObject(path);
  if (!settings) return;
  const auto hooks = settings->find("hooks");
  if (hooks == settings->end() || !hooks->is_object()) return;
  if (!stripOurs(*hooks)) return;
  if (hooks->empty()) settings->erase(hooks);
  SettingsFile::write(path, *settings);
}

}  // namespace tessel::HookInstaller
