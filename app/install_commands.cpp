// `tessel install`, `uninstall`, `status` and `container-hook`: putting Tessel's hooks
// into Claude Code\u2019s settings and into project folders, taking them out again, and
// telling the user whether what is installed still works.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "claude/live_session.h"
#include "cli.h"
#include "hook/container_hook.h"
#include "install/container_hook_installer.h"
#include "install/hook_installer.h"
#include "install/uninstaller.h"
#include "model/claude_settings.h"
#include "statusline_command.h"
#include "util/calendar.h"
#include "util/files.h"
#include "util/path.h"

namespace tessel::cli {
namespace {

namespace fs = std::filesystem;
using StatusLineSetting::Reading;

constexpr std::string_view hookName = "tessel-hook";

std::string shown(const std::string& path) { return Path::abbreviateHome(path); }

bool isExecutable(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool exists(const std::string& path) {
  std::error_code error;
  return fs::exists(path, error);
}

std::string sizeText(uint64_t bytes) {
  constexpr uint64_t kilobyte = 1024;
  constexpr uint64_t megabyte = kilobyte * kilobyte;
  char text[32];
  if (bytes < kilobyte) {
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  } else if (bytes < megabyte) {
    std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / kilobyte);
  } else {
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / megabyte);
  }
  return text;
}

std::string whenText(Date date, Date now) {
  const double ago = now - date;
  std::string text = Calendar::formatLocal(date, "%Y-%m-%d %H:%M:%S");
  if (ago < 0) return text;
  if (ago < 60) return text + " (just now)";
  if (ago < 3600) return text + " (" + std::to_string(static_cast<int>(ago / 60)) + " min ago)";
  if (ago < 86400) return text + " (" + std::to_string(static_cast<int>(ago / 3600)) + " h ago)";
  return text + " (" + std::to_string(static_cast<int>(ago / 86400)) + " days ago)";
}

// The report of `status`: labelled rows on stdout, then each problem's sentence on
// stderr, where every command's failures go.
struct Report {
  std::vector<std::pair<std::string, std::string>> rows;
  std::vector<std::string> problems;

  void row(std::string label, std::string value) {
    rows.emplace_back(std::move(label), std::move(value));
  }
  int print() const {
    for (const auto& [label, value] : rows) {
      std::cout << label << ':' << std::string(label.size() < 14 ? 14 - label.size() : 1, ' ')
                << value << '\n';
    }
    std::cout.flush();
    for (const std::string& problem : problems) std::cerr << problem << '\n';
    return problems.empty() ? success : failure;
  }
};

std::string besideSelf(const std::string& self, std::string_view program) {
  return (fs::path(self).parent_path() / program).string();
}

int install(const Globals& globals, bool withStatusLine) {
  const std::string self = selfPath();
  if (self.empty()) {
    return fail(
        "Couldn\u2019t tell where this tessel is installed, so there is no tessel-hook "
        "beside it to register.");
  }
  const std::string hook = besideSelf(self, hookName);
  const ClaudePaths paths = globals.claudePaths();
  const std::string settings = shown(paths.settingsFile());
  const bool hadSettings = exists(paths.settingsFile());
  const Date now = Date::now();
  try {
    const bool isHookChanged = HookInstaller::install(paths, hook, now);
    if (isHookChanged) {
      std::cout << "Registered " << hook << " for Claude Code\u2019s hook events in " << settings
                << (hadSettings ? " (a backup was saved beside it).\n" : ".\n");
    } else {
      std::cout << "The hook was already registered in " << settings << "; nothing changed.\n";
    }
    // One backup of the file as the user left it: the hook's change made it already.
    if (withStatusLine) {
      std::cout << StatusLineSetting::install(paths, self, now, hadSettings && !isHookChanged)
                << '\n';
    }
  } catch (const HookInstaller::Failure& failure) {
    if (failure.kind() == HookInstaller::Failure::Kind::noBinary) {
      return fail("There is no tessel-hook beside " + self +
                  ". Build or install the two together, then run tessel install again.");
    }
    return fail(failure.what());
  }
  std::cout << "Claude Code sessions started from now on report to Tessel; tessel status "
               "checks the installation.\n";
  return success;
}

int uninstall(const Globals& globals) {
  const ToolRunner tools(globals.searchPaths());
  const ClaudePaths paths = globals.claudePaths();
  const Date now = Date::now();
  // The status line first: its backup then holds the settings as the user left them,
  // and the hook's removal finds that backup already made.
  Uninstaller::Report statusLine;
  try {
    if (auto line = StatusLineSetting::remove(paths, now)) statusLine.lines.push_back(*line);
  } catch (const HookInstaller::Failure& failure) {
    statusLine.lines.push_back(std::string("Couldn\u2019t remove the status line: ") +
                               failure.what());
    statusLine.failed = true;
  }
  const auto printed = Uninstaller::runPrinted(paths, tools, now, statusLine);
  std::fwrite(printed.text.data(), 1, printed.text.size(), stdout);
  return printed.status;
}

// Every hook command of ours in `settings`, by the program it starts.
std::set<std::string> hookPrograms(const nlohmann::json& settings) {
  std::set<std::string> programs;
  const auto hooks = settings.find("hooks");
  if (hooks == settings.end()) return programs;
  ClaudeSettings::anyHookCommand(*hooks, [&](const std::string& command) {
    if (command.find(hookName) != std::string::npos) {
      programs.insert(StatusLineSetting::programOf(command));
    }
    return false;
  });
  return programs;
}

void checkSettings(const ClaudePaths& paths, Report& report) {
  const std::string path = paths.settingsFile();
  std::optional<nlohmann::json> settings = nlohmann::json::object();
  if (exists(path)) settings = ClaudeSettings::readObject(path);
  if (!settings) {
    report.row("Hook", "unknown");
    report.row("Status line", "unknown");
    report.problems.push_back(
        "Couldn\u2019t read " + shown(path) +
        ". It may not be valid JSON, and Claude Code then runs none of its hooks. Fix the file "
        "(earlier versions are saved beside it as settings.backup-*.json), then run tessel "
        "install.");
    return;
  }
  const auto programs = hookPrograms(*settings);
  if (programs.empty()) {
    report.row("Hook", "not installed");
    report.problems.push_back(
        "The hook isn\u2019t installed, so Tessel can\u2019t see which tool call a session is "
        "in. Run tessel install.");
  }
  for (const std::string& program : programs) {
    if (isExecutable(program)) {
      report.row("Hook", "installed: " + program);
      continue;
    }
    report.row("Hook", "installed: " + program + " (missing)");
    report.problems.push_back("The hook is registered as " + program +
                              ", which no longer exists. Run tessel install to register the "
                              "tessel-hook beside this tessel.");
  }
  report.row("Settings", shown(path));

  const Reading reading = StatusLineSetting::read(*settings);
  switch (reading.kind) {
    case Reading::Kind::none:
      report.row("Status line", "not registered (tessel install --statusline adds it)");
      break;
    case Reading::Kind::other:
      report.row("Status line", "another command: " + reading.command);
      break;
    case Reading::Kind::ours:
      if (isExecutable(reading.program)) {
        report.row("Status line", "registered: " + reading.command);
        break;
      }
      report.row("Status line", "registered: " + reading.command + " (missing)");
      report.problems.push_back("Claude Code\u2019s status line runs " + reading.program +
                                ", which no longer exists. Run tessel install --statusline to "
                                "point it at this tessel.");
      break;
  }
}

// When a hook process last appended to a day file.
std::optional<Date> lastRecord(const ClaudePaths& paths) {
  std::optional<Date> last;
  const std::string folder = paths.hookDir();
  for (const std::string& name : Files::list(folder).value_or(std::vector<std::string>{})) {
    if (!name.starts_with("events-") || !name.ends_with(".jsonl")) continue;
    const auto modified = Files::modificationTime(folder + "/" + name);
    if (modified && (!last || *modified > *last)) last = modified;
  }
  return last;
}

int status(const Globals& globals) {
  const ClaudePaths paths = globals.claudePaths();
  const Date now = Date::now();
  Report report;
  checkSettings(paths, report);
  const auto last = lastRecord(paths);
  report.row("Last record", last ? whenText(*last, now) : "none yet");
  report.row("Live sessions", std::to_string(LiveSession::load(paths).size()));
  const std::string store = paths.supportDir + "/index.sqlite";
  if (const auto attributes = Files::attributes(store)) {
    uint64_t bytes = attributes->size;
    if (const auto journal = Files::attributes(store + "-wal")) bytes += journal->size;
    report.row("Store", shown(store) + " (" + sizeText(bytes) + ")");
  } else {
    report.row("Store", shown(store) + " (not created yet)");
  }
  return report.print();
}

// The folder the user named, absolute, so that messages and settings say where it is.
std::string projectFolder(const std::string& dir) {
  std::error_code error;
  const fs::path absolute = fs::absolute(dir, error).lexically_normal();
  std::string path = absolute.string();
  while (path.size() > 1 && path.ends_with('/')) path.pop_back();
  return path;
}

int containerHook(const std::string& action, const std::string& dir) {
  const std::string project = projectFolder(dir);
  std::error_code error;
  if (!fs::is_directory(project, error)) return fail("There is no folder at " + project + ".");
  try {
    if (action == "preview") {
      std::cout << "Installing the container hook in " << project << " changes:\n"
                << ContainerHook::preview(project) << '\n';
    } else if (action == "install") {
      ContainerHook::install(project);
      std::cout << "Installed the container hook in " << project << ":\n"
                << ContainerHook::preview(project) << '\n'
                << "Claude Code sessions in containers that share this folder report to Tessel "
                   "from their next start.\n";
    } else if (action == "remove") {
      const bool wasThere =
          ContainerHook::isInstalled(project) || exists(ContainerHook::dir(project));
      ContainerHook::remove(project);
      std::cout << (wasThere
                        ? "Removed the container hook from " + project + "."
                        : "The container hook wasn\u2019t in " + project + "; nothing changed.")
                << '\n';
    } else {
      const std::string settings = ContainerHook::settingsPath(project);
      if (exists(settings) && !ClaudeSettings::readObject(settings)) {
        return fail("Couldn\u2019t read " + settings +
                    ". It may not be valid JSON, and Claude Code then runs none of its hooks. "
                    "Fix the file, then run tessel container-hook install " +
                    project + ".");
      }
      if (!ContainerHook::isInstalled(project)) {
        return fail("The container hook isn\u2019t installed in " + project +
                    ". Run tessel container-hook install " + project + ".");
      }
      std::cout << "Container hook: installed in " << settings << '\n';
      const std::string events = ContainerHook::log(project);
      const auto attributes = Files::attributes(events);
      std::cout << "Events file:    " << events;
      if (attributes) {
        std::cout << " (" << sizeText(attributes->size) << ", last written "
                  << whenText(attributes->modified, Date::now()) << ")\n";
      } else {
        std::cout << " (no event yet)\n";
      }
    }
  } catch (const std::exception& failure) {
    return fail(failure.what());
  }
  return success;
}

void addContainerHook(CLI::App& app, Run& run) {
  CLI::App* group =
      app.add_subcommand("container-hook",
                         "Put the hook for Claude Code sessions inside containers or VMs into a "
                         "project folder they share, or take it out");
  group->require_subcommand(1);
  group->footer(
      "Examples:\n"
      "  tessel container-hook preview .        what install would change\n"
      "  tessel container-hook install ~/src/app\n"
      "  tessel container-hook status ~/src/app\n"
      "  tessel container-hook remove ~/src/app\n");
  struct Action {
    const char* name;
    const char* help;
  };
  for (const Action& action : {
           Action{"install", "Write the hook's scripts and register them in the folder"},
           Action{"remove", "Take the hook and its events file out of the folder"},
           Action{"preview", "Show what install would change, changing nothing"},
           Action{"status", "Say whether the hook is installed and when it last wrote"},
       }) {
    auto dir = std::make_shared<std::string>();
    const std::string name = action.name;
    CLI::App* command = addCommand(*group, run, name, action.help,
                                   "  tessel container-hook " + name + " ~/src/app\n",
                                   [name, dir] { return containerHook(name, *dir); });
    command->add_option("DIR", *dir, "The project folder the container shares")->required();
  }
}

}  // namespace

void addInstallCommands(CLI::App& app, Run& run) {
  auto withStatusLine = std::make_shared<bool>(false);
  CLI::App* command = addCommand(
      app, run, "install",
      "Register tessel-hook (the one beside this tessel) in Claude Code\u2019s settings",
      "  tessel install                 the hook only\n"
      "  tessel install --statusline    also Claude Code\u2019s status line, when you have none\n"
      "  tessel --config-dir ~/work-claude install\n",
      [&run, withStatusLine] { return install(run.globals, *withStatusLine); });
  command->add_flag("--statusline", *withStatusLine,
                    "Also set Claude Code\u2019s status line to tessel statusline, unless you have "
                    "one of your own");
  addCommand(app, run, "uninstall",
             "Take out everything Tessel put into Claude Code\u2019s settings and onto the disk",
             "  tessel uninstall\n"
             "  tessel --config-dir ~/work-claude uninstall\n",
             [&run] { return uninstall(run.globals); });
  addCommand(app, run, "status",
             "Check the installation: the hook, its last record, live sessions, the store and "
             "the status line",
             "  tessel status\n"
             "  tessel status || tessel install    reinstall when something is wrong\n",
             [&run] { return status(run.globals); });
  addContainerHook(app, run);
  addStatusLineCommand(app, run);
}

}  // namespace tessel::cli
