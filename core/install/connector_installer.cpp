#include "install/connector_installer.h"

#include "environments/shell.h"
#include "model/claude_settings.h"
#include "util/text.h"

namespace tessel::ConnectorInstaller {

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
  std::string why(Text::firstLine(result->err));
  if (why.empty()) why = Text::firstLine(result->out);
  if (why.empty()) why = "claude ended with status " + std::to_string(result->status) + ".";
  return {false, why};
}

}  // namespace tessel::ConnectorInstaller
