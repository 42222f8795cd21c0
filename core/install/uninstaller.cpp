#include "install/uninstaller.h"

#include <filesystem>

#include "install/connector_installer.h"
#include "install/hook_installer.h"
#include "util/path.h"

namespace tessel::Uninstaller {
namespace {

std::string shown(const std::string& path) { return Path::abbreviateHome(path); }

}  // namespace

Report run(const ClaudePaths& paths, const ToolRunner& tools, Date now) {
  Report report;
  const std::string settings = shown(paths.configDir + "/settings.json");
  if (!HookInstaller::isInstalled(paths)) {
    report.lines.push_back("The hook wasn\u2019t in " + settings + ".");
  } else {
    // A backup of the same second may already exist; the removal goes on without one.
    HookInstaller::backUp(paths, now);
    try {
      HookInstaller::remove(paths);
      report.lines.push_back("Removed the hook from " + settings +
                             " (a backup was saved beside it).");
    } catch (const HookInstaller::Failure& failure) {
      report.lines.push_back(std::string("Couldn\u2019t remove the hook: ") + failure.what());
      report.failed = true;
    }
  }

  if (!ConnectorInstaller::isInstalled(paths)) {
    report.lines.push_back("The companion plugin wasn\u2019t installed.");
  } else if (const auto outcome = ConnectorInstaller::remove(paths, tools); outcome.ok) {
    report.lines.push_back("Uninstalled the companion plugin.");
  } else {
    report.lines.push_back("Couldn\u2019t uninstall the companion plugin: " + outcome.message);
    report.failed = true;
  }

  std::error_code error;
  if (std::filesystem::exists(std::filesystem::symlink_status(paths.supportDir, error))) {
    std::filesystem::remove_all(paths.supportDir, error);
    if (!error) {
      report.lines.push_back("Deleted " + shown(paths.supportDir) + ".");
    } else {
      report.lines.push_back("Couldn\u2019t delete " + shown(paths.supportDir) + ": " +
                             error.message());
      report.failed = true;
    }
  }
  return report;
}

std::string finalLine(const Report& report) {
  return report.failed
             ? "Some steps failed; see above."
             : "Done. Start new Claude sessions (or run /reload-plugins) to stop using them.";
}

Printed runPrinted(const ClaudePaths& paths, const ToolRunner& tools, Date now,
                   const Report& before) {
  Printed printed;
  for (const std::string& line : before.lines) printed.text += line + "\n";
  try {
    Report report = run(paths, tools, now);
    report.failed = report.failed || before.failed;
    for (const std::string& line : report.lines) printed.text += line + "\n";
    printed.text += finalLine(report) + "\n";
    printed.status = report.failed ? 1 : 0;
  } catch (...) {
    printed.text += finalLine(Report{{}, true}) + "\n";
  }
  return printed;
}

}  // namespace tessel::Uninstaller
