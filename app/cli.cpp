#include "cli.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>

namespace tessel::cli {

ClaudePaths Globals::claudePaths() const {
  ClaudePaths paths = ClaudePaths::standard();
  if (!configDir.empty()) paths.configDir = configDir;
  return paths;
}

CodexPaths Globals::codexPaths() const {
  return codexHome.empty() ? CodexPaths::standard() : CodexPaths{codexHome};
}

std::vector<std::string> Globals::searchPaths() const {
  std::vector<std::string> paths;
  if (const char* extra = std::getenv("TESSEL_TOOL_PATH"); extra != nullptr) {
    std::string_view rest = extra;
    while (!rest.empty()) {
      const size_t colon = rest.find(':');
      const auto folder = rest.substr(0, colon);
      if (!folder.empty()) paths.emplace_back(folder);
      rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
    }
  }
  for (auto& folder : Shell::standardSearchPaths()) paths.push_back(std::move(folder));
  return paths;
}

Monitor::Options Globals::monitorOptions() const {
  return Monitor::Options{.codexPaths = codexPaths(), .searchPaths = searchPaths()};
}

bool Globals::usesColor(std::FILE* stream) const {
  if (isColorOff || std::getenv("NO_COLOR") != nullptr) return false;
  return isatty(fileno(stream)) != 0;
}

int fail(std::string_view sentence) {
  std::cerr << sentence << '\n';
  return failure;
}

CLI::App* addCommand(CLI::App& app, Run& run, const std::string& name, const std::string& help,
                     const std::string& examples, std::function<int()> body) {
  CLI::App* command = app.add_subcommand(name, help);
  if (!examples.empty()) command->footer("Examples:\n" + examples);
  command->callback([&run, body = std::move(body)] { run.exitCode = body(); });
  return command;
}

std::string selfPath() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string{} : path.string();
}

void configure(CLI::App& app, Run& run) {
  app.set_version_flag("--version", std::string{"tessel "} + TESSEL_VERSION);
  app.require_subcommand(0, 1);
  app.fallthrough();
  app.add_option(
      "--config-dir", run.globals.configDir,
      "Claude Code's configuration folder (default: $CLAUDE_CONFIG_DIR, else ~/.claude)");
  app.add_option("--codex-home", run.globals.codexHome,
                 "Codex's home folder (default: $CODEX_HOME, else ~/.codex)");
  app.add_flag("--no-color", run.globals.isColorOff,
               "Plain text without colours (also when NO_COLOR is set)");
  addReportCommands(app, run);
  addInstallCommands(app, run);
  addDemo(app, run);
  auto liveView = addLiveView(app, run);
  app.callback([&app, &run, liveView] {
    if (app.get_subcommands().empty()) run.exitCode = liveView();
  });
}

}  // namespace tessel::cli
