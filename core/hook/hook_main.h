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

}  // namespace tessel::HookMain
