// Claude Code's settings files (settings.json, a project's settings.local.json) as Tessel
// reads them, and the shape of the hook registrations both of our installers write:
// { event: [ { "matcher": ..., "hooks": [ { "type": "command", "command": ... } ] } ] }.
#pragma once

#include <array>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace tessel::ClaudeSettings {

// The hook events Tessel registers, in order. "PostToolUseFailure" is how Claude Code
// reports a failed call; without it a failed call would never be seen to end.
inline constexpr std::array<std::string_view, 7> hookEvents = {
    "SessionStart", "SessionEnd",  "UserPromptSubmit",   "Stop",
    "PreToolUse",   "PostToolUse", "PostToolUseFailure",
};

// Tool events get the matcher "*"; the others take no matcher.
inline bool isToolEvent(std::string_view event) {
  return event.ends_with("ToolUse") || event == "PostToolUseFailure";
}

// The object in the file; nothing when it cannot be read or is not a JSON object.
std::optional<nlohmann::json> readObject(const std::string& path);

// A matcher group whose "hooks" list holds a command satisfying `matches`.
template <class Predicate>
bool groupHasCommand(const nlohmann::json& group, Predicate matches);

// True when any hook command of a "hooks" object's groups satisfies `matches`.
template <class Predicate>
bool anyHookCommand(const nlohmann::json& hooks, Predicate matches);

// Drops the commands satisfying `ours` from every group under every event, then the
// groups and event lists this leaves empty. Everything else of the user's stays as it
// was. True when something was dropped.
template <class Predicate>
bool removeCommands(nlohmann::json& hooks, Predicate ours);

// Appends one group running `command` to every event of hookEvents.
void addCommand(nlohmann::json& hooks, const std::string& command);

}  // namespace tessel::ClaudeSettings

namespace tessel::ClaudeSettings {

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

template <class Predicate>
bool removeCommands(nlohmann::json& hooks, Predicate ours) {
  if (!hooks.is_object()) return false;
  // Drops our commands from one group's "hooks" list; true when any was there.
  const auto strip = [&](nlohmann::json& group) {
    if (!group.is_object()) return false;
    const auto list = group.find("hooks");
    if (list == group.end() || !list->is_array()) return false;
    const size_t before = list->size();
    for (auto hook = list->begin(); hook != list->end();) {
      const auto command = hook->is_object() ? hook->find("command") : hook->end();
      const bool mine =
          command != hook->end() && command->is_string() && ours(command->get<std::string>());
      hook = mine ? list->erase(hook) : std::next(hook);
    }
    return list->size() != before;
  };
  bool changed = false;
  for (auto event = hooks.begin(); event != hooks.end();) {
    bool eventChanged = false;
    if (event->is_array()) {
      for (auto group = event->begin(); group != event->end();) {
        const bool stripped = strip(*group);
        eventChanged = eventChanged || stripped;
        group = stripped && (*group)["hooks"].empty() ? event->erase(group) : std::next(group);
      }
    }
    changed = changed || eventChanged;
    event = eventChanged && event->empty() ? hooks.erase(event) : std::next(event);
  }
  return changed;
}

}  // namespace tessel::ClaudeSettings
