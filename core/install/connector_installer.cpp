#include "install/connector_installer.h"

#include "environments/shell.h"
#include "model/claude_settings.h"

namespace tessel::ConnectorInstaller {
namespace {

// The first line of `text` with anything in it, without surrounding white space.
std::string firstLine(const std::string& text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line = std::string_view(text).substr(start, end - start);
    const size_t first = line.find_first_not_of(" \t\r");
    if (first != std::string_view::npos) {
      const size_t last = line.find_last_not_of(" \t\r");
      return std::string(line.substr(first, last - first + 1));
    }
    start = end + 1;
  }
  return {};
}

}  // namespace

std::string recordFile(const ClaudePaths& paths) {
  return paths.configDir + "/plugins/installed_plugins.json";
}

bool isInstalled(const ClaudePaths& paths) {
  // { "version": 2, "plugins": { "<name>@<marketplace>": [ { "scope": ..., ... } ] } }
  const auto record = ClaudeSettings::readObject(recordFile(paths));
  if (!record) return false;
  const auto plugins = record->find("plugins");
  return plugins != record->end() && plugins->is_object() && plugins->contains(pluginId);
}

Outcome remove(const ClaudePaths&, const ToolRunner& tools) {
  const auto result =
      tools.tool("claude", {"plugin", "uninstall", std::string(pluginId)}, removeTimeoutSeconds);
  if (!result)
    return {false, "Claude Code\u2019s command-line program (claude) wasn\u2019t found."};
  if (result->ok()) return {true, "Removed."};
  if (result->timedOut) return {false, "claude didn\u2019t finish within a minute."};
  std::string why = firstLine(result->err);
  if (why.empty()) why = firstLine(result->out);
  if (why.empty()) why = "claude ended with status " + std::to_string(result->status) + ".";
  return {false, why};
}

}  // namespace tessel::ConnectorInstaller
