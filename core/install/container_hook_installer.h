// Puts the container hook (hook/container_hook.h) into a project folder and takes it out
// again: its scripts under .claude/tessel, its command in .claude/settings.local.json.
#pragma once

#include <string>

namespace tessel::ContainerHook {

// Writes the scripts and registers the command for every ClaudeSettings::hookEvents,
// replacing earlier commands of ours and keeping the user's. Throws std::runtime_error
// (HookInstaller::Failure for the settings file) whose what() is the user's sentence; a
// settings file that cannot be read is never rewritten.
void install(const std::string& project);

// Takes our commands out of the settings (dropping groups, lists and "hooks" left empty)
// and deletes dir(), events file included. Throws like install.
void remove(const std::string& project);

// What install will change, for the user to confirm, with paths relative to the project.
std::string preview(const std::string& project);

}  // namespace tessel::ContainerHook
