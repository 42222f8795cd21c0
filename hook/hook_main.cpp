#include "hook_main.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "hook/hook_input.h"
#include "hook/hook_log.h"
#include "install/uninstaller.h"
#include "util/json_reader.h"

namespace tessel::HookMain {

bool isUninstallMode(const std::vector<std::string_view>& arguments) {
  return std::find(arguments.begin(), arguments.end(), "--uninstall") != arguments.end();
}

int runHookMode() {
  try {
    auto input = HookInput::read(STDIN_FILENO);
    if (!input) return 0;
    const Date now = Date::now();
    auto record = HookRecord::fromHookInput(Json::padInPlace(*input), now, std::nullopt);
    if (!record) return 0;
    // Walking /proc only for inputs that will be logged keeps the common reject cheap.
    record->pid = HookLog::claudeAncestor(static_cast<int32_t>(getppid()));
    HookLog::append(*record, ClaudePaths::standard(), now);
  } catch (...) {
    // Claude Code must never see the hook fail, whatever went wrong here.
  }
  return 0;
}

int runUninstallMode() {
  const ToolRunner tools;
  const auto printed = Uninstaller::runPrinted(ClaudePaths::standard(), tools, Date::now());
  std::fwrite(printed.text.data(), 1, printed.text.size(), stdout);
  return printed.status;
}

}  // namespace tessel::HookMain
