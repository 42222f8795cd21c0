// Claude Code's settings files as the installers rewrite them: whole JSON objects, saved
// atomically, never overwritten when they could not be read.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace tessel::SettingsFile {

// The settings an installer edits: an empty object when no file exists. Throws
// HookInstaller::Failure (unreadable) when the file exists but is not a JSON object,
// so a file we could not parse is never overwritten.
nlohmann::json readForEditing(const std::string& path);

// Saves pretty-printed with sorted keys, through a temporary file renamed over the
// old one, creating missing folders. Throws HookInstaller::Failure (unwritable).
void write(const std::string& path, const nlohmann::json& settings);

// The "hooks" object of `settings`, made one when missing or not an object.
nlohmann::json& hooksOf(nlohmann::json& settings);

}  // namespace tessel::SettingsFile
