// tessel-hook: Claude Code runs it at every hook event. It never prints and, in hook
// mode, always exits 0, so it can never change what Claude Code does.
#include <string_view>
#include <vector>

#include "hook/hook_main.h"

int main(int argc, char** argv) {
  const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  if (tessel::HookMain::isUninstallMode(arguments)) {
    // The uninstaller is not part of this program yet; until it is, the mode does nothing.
    return 0;
  }
  return tessel::HookMain::runHookMode();
}
