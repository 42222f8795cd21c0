#include "demo/sandbox.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "demo/story.h"
#include "platform/process_probe.h"
#include "util/files.h"

namespace tessel::demo {
namespace fs = std::filesystem;

Sandbox Sandbox::ofThisUser() {
  std::string base = "/tmp";
  for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') {
      base = value;
      break;
    }
  }
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return Sandbox{base + "/tessel-demo-" + std::to_string(getuid())};
}

std::vector<std::pair<std::string, std::string>> Sandbox::environment() const {
  return {{"HOME", home()},
          {"CLAUDE_CONFIG_DIR", configDir()},
          {"CODEX_HOME", codexHome()},
          {"TESSEL_TOOL_PATH", toolsFolder()}};
}

std::optional<int32_t> Sandbox::owner() const {
  const auto text = Files::read(ownerFile());
  if (!text) return std::nullopt;
  const int32_t pid = std::atoi(text->c_str());
  if (!platform::processExists(pid)) return std::nullopt;
  return pid;
}

std::optional<std::string> Sandbox::create() const {
  std::error_code error;
  fs::remove_all(root, error);
  if (error) return "The folder of an earlier demo, " + root + ", can’t be removed.";
  for (const std::string& folder : {configDir(), codexHome(), sourceFolder(), agentsFolder(),
                                    toolsFolder(), programsFolder(), engineFolder()}) {
    fs::create_directories(folder, error);
    if (error) return "The demo can’t create its folder " + folder + ".";
  }
  fs::permissions(root, fs::perms::owner_all, error);
  // Claude Code and Codex are copies of the shell, which can then run their hooks and
  // tool calls as their own children; tool calls are copies of sleep under their names.
  std::vector<std::pair<std::string, std::string>> copies = {
      {"/bin/bash", agentsFolder() + "/claude"}, {"/bin/bash", agentsFolder() + "/codex"}};
  for (const std::string& program : processPrograms()) {
    copies.emplace_back("/bin/sleep", programsFolder() + "/" + program);
  }
  for (const auto& [from, to] : copies) {
    fs::copy_file(from, to, error);
    if (error) return "The demo can’t copy " + from + " into its folder.";
    fs::permissions(to, fs::perms::owner_all, error);
  }
  return std::nullopt;
}

void Sandbox::claim() const {
  Files::replace(ownerFile(), std::to_string(getpid()) + "\n", ".new", 0600);
}

void Sandbox::remove() const {
  std::error_code error;
  fs::remove_all(root, error);
}

}  // namespace tessel::demo
