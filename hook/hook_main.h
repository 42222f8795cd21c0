// What tessel-hook does, kept in the library so tests run the same code as the program.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessel::HookMain {

// True when "--uninstall" is anywhere among the arguments (argv[0] excluded).
bool isUninstallMode(const std::vector<std::string_view>& arguments);

// Hook mode: reads standard input to its end, logs the event if it is one, prints
// nothing, and always answers 0 (the exit status).
int runHookMode();

// Uninstall mode: removes what Tessel installed, prints the report and its closing
// line, and answers 1 when a step failed, else 0.
int runUninstallMode();

}  // namespace tessel::HookMain
