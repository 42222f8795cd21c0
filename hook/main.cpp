// tessel-hook: Claude Code runs it at every hook event. In hook mode it never prints and
// always exits 0, so it can never change what Claude Code does. With --uninstall it
// takes out what Tessel installed and prints what it did.
#include <string_view>
#include <vector>

#include "hook_main.h"

int main(int argc, char** argv) {
  const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  if (tessel::HookMain::isUninstallMode(arguments)) return tessel::HookMain::runUninstallMode();
  return tessel::HookMain::runHookMode();
}
