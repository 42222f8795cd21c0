// Claude Code's settings files (settings.json, a project's settings.local.json) as the
// installers read and rewrite them: whole JSON objects, saved atomically.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace tessel::SettingsFile {

// The object in the file; nothing when it cannot be read or is not a JSON object.
std::optional<nlohmann::json> readObject(const std::string& path);

// The settings an installer edits: an empty object when no file exists. Throws
// HookInstaller::Failure (unreadable) when the file exists but is not a JSON object,
// so a file we could not parse is never overwritten.
nlohmann::json readForEditing(const std::string& path);

// Saves pretty-printed with sorted keys, through a temporary file renamed over the
// old one, creating missing folders. Throws HookInstaller::Failure (unwritable).
void write(const std::string& path, const nlohmann::json& settings);

// True when any hook command of a "hooks" object's groups satisfies `matches`:
// { event: [ { "matcher": ..., "hooks": [ { "type": "command", "command": ... } ] } ] }.
template <class Predicate>
bool anyHookCommand(const nlohmann::json& hooks, Predicate matches);
// A matcher group whose "hooks" list holds a command satisfying `matches`.
template <class Predicate>
bool groupHasCommand(const nlohmann::json& group, Predicate matches);

}  // namespace tessel::SettingsFile

namespace tessel::SettingsFile {

template <class Predicate>
bool groupHasCommand(const nlohmann::json& group, Predicate matches) {
  if (!group.is_object()) return false;
  const auto list = group.find("hooks");
  if (list == group.end() || !list->is_array()) return false;
  for (const auto& hook : *list) {
    if (!hook.is_object()) continue;
    const auto command = hook.find("command");
    if (command != hook.end() && command->is_string() && matches(command->get<std::string>())) {
      return true;
    }
  }
  return false;
}

template <class Predicate>
bool anyHookCommand(const nlohmann::json& hooks, Predicate matches) {
  if (!hooks.is_object()) return false;
  for (const auto& [event, groups] : hooks.items()) {
    if (!groups.is_array()) continue;
    for (const auto& group : groups) {
      if (groupHasCommand(group, matches)) return true;
    }
  }
  return false;
}

}  // namespace tessel::SettingsFile
