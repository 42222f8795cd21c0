#include "statusline_command.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "install/hook_installer.h"
#include "install/settings_file.h"
#include "monitor/plugin_writers.h"
#include "usage/connector_state.h"
#include "usage/status_line.h"
#include "util/path.h"

namespace tessel::cli {
namespace {

constexpr std::string_view argument = "statusline";

// Claude Code writes one small object and closes the pipe; a status input larger than
// this is not one.
constexpr size_t inputLimit = 1 << 20;

std::string readInput() {
  std::string text;
  char buffer[16384];
  while (text.size() < inputLimit) {
    const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (count > 0) {
      text.append(buffer, static_cast<size_t>(count));
    } else if (count == 0 || errno != EINTR) {
      break;
    }
  }
  return text;
}

void printLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
}

// Claude Code shows whatever the command prints, after every message of the session:
// nothing here may fail loudly or take long. No Monitor, no index store, one small file
// read and two small files written.
int runStatusLine(const Globals& globals) {
  try {
    const auto input = StatusLine::parse(readInput());
    if (!input) {
      printLine("Tessel: no status from Claude Code");
      return success;
    }
    const ClaudePaths paths = globals.claudePaths();
    const Date now = Date::now();
    StatusLine::capture(*input, paths, now);
    if (!input->sessionId.empty()) {
      PluginWriters::Record record{input->sessionId};
      if (!input->cwd.empty()) record.cwd = input->cwd;
      record.version = input->version;
      record.t = now;
      PluginWriters::write(record, paths);
    }
    std::optional<ConnectorState> state;
    if (input->rateLimits.empty()) state = ConnectorState::load(paths.connectorFile(), now, false);
    const std::string line = StatusLine::render(*input, state, now);
    printLine(line.empty() ? "Tessel: no plan reading yet" : line);
  } catch (...) {
    // Whatever went wrong, Claude Code\u2019s status line says so in a word.
    printLine("Tessel: no status");
  }
  return success;
}

}  // namespace

void addStatusLineCommand(CLI::App& app, Run& run) {
  addCommand(app, run, std::string(argument),
             "Claude Code\u2019s status-line command: reads the session's status on stdin, keeps "
             "the plan reading and prints one line",
             "  tessel install --statusline     register it in Claude Code\u2019s settings\n"
             "  echo '{\"session_id\":\"s1\"}' | tessel statusline\n",
             [&run] { return runStatusLine(run.globals); });
}

namespace StatusLineSetting {

std::string programOf(std::string_view command) {
  std::string program;
  size_t at = 0;
  while (at < command.size() && command[at] != ' ') {
    if (command[at] == '\'') {
      const size_t end = command.find('\'', at + 1);
      program += command.substr(at + 1, end == std::string_view::npos ? end : end - at - 1);
      at = end == std::string_view::npos ? command.size() : end + 1;
    } else if (command[at] == '\\' && at + 1 < command.size()) {
      program += command[at + 1];
      at += 2;
    } else {
      program += command[at++];
    }
  }
  return program;
}

Reading read(const nlohmann::json& settings) {
  const auto found = settings.find("statusLine");
  if (found == settings.end()) return {};
  Reading reading{Reading::Kind::other};
  const auto command = found->is_object() ? found->find("command") : found->end();
  if (command == found->end() || !command->is_string()) return reading;
  reading.command = command->get<std::string>();
  reading.program = programOf(reading.command);
  // Ours is a tessel, wherever it lives, started with our one argument.
  const std::string ending = " " + std::string(argument);
  if (Path::lastComponent(reading.program) == "tessel" && reading.command.ends_with(ending)) {
    reading.kind = Reading::Kind::ours;
  }
  return reading;
}

std::string install(const ClaudePaths& paths, const std::string& tesselPath, Date now,
                    bool backUp) {
  const std::string path = paths.settingsFile();
  nlohmann::json settings = SettingsFile::readForEditing(path);
  const Reading reading = read(settings);
  const std::string command = HookInstaller::shellCommand(tesselPath) + " " + std::string(argument);
  if (reading.kind == Reading::Kind::other) {
    return "Claude Code\u2019s status line already runs " +
           (reading.command.empty() ? std::string("a setting of yours") : reading.command) +
           "; it was left as it is. Tessel still reads plan readings from its companion plugin.";
  }
  if (reading.command == command) return "Claude Code\u2019s status line already runs Tessel.";
  settings["statusLine"] = {{"type", "command"}, {"command", command}, {"padding", 0}};
  if (backUp) HookInstaller::backUp(paths, now);
  SettingsFile::write(path, settings);
  return "Set Claude Code\u2019s status line to " + command + ".";
}

std::optional<std::string> remove(const ClaudePaths& paths, Date now) {
  const std::string path = paths.settingsFile();
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return std::nullopt;
  nlohmann::json settings = SettingsFile::readForEditing(path);
  const Reading reading = read(settings);
  if (reading.kind != Reading::Kind::ours) return std::nullopt;
  settings.erase("statusLine");
  HookInstaller::backUp(paths, now);
  SettingsFile::write(path, settings);
  return "Removed Claude Code\u2019s status line " + reading.command + " from " +
         Path::abbreviateHome(path) + ".";
}

}  // namespace StatusLineSetting

}  // namespace tessel::cli
