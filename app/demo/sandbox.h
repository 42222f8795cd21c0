// Where the demo keeps its world: one folder per user under the runtime (or temporary)
// folder, so `tessel demo --print-env` finds the running demo's from any shell. It holds
// the simulated home (Claude Code's and Codex's files), the fake tools, the programs the
// agents run as, and the file that names the demo's own process.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tessel::demo {

struct Sandbox {
  std::string root;

  // The folder of this user's demo: in $XDG_RUNTIME_DIR, else $TMPDIR, else /tmp.
  static Sandbox ofThisUser();

  std::string home() const { return root + "/home"; }
  std::string configDir() const { return home() + "/.claude"; }
  std::string codexHome() const { return home() + "/.codex"; }
  std::string sourceFolder() const { return home() + "/src"; }
  std::string agentsFolder() const { return home() + "/.local/bin"; }
  std::string toolsFolder() const { return root + "/tools"; }        // on the tool search path
  std::string programsFolder() const { return root + "/programs"; }  // what tool calls run as
  std::string engineFolder() const { return root + "/engine"; }
  std::string ownerFile() const { return root + "/demo.pid"; }

  // What points a `tessel` at this sandbox, in the order to set them.
  std::vector<std::pair<std::string, std::string>> environment() const;
  // The demo process that owns the sandbox, while it runs.
  std::optional<int32_t> owner() const;

  // Removes whatever an earlier demo left and lays out the folders, the agents' and the
  // tool calls' programs (copies of harmless system programs under their names). The
  // failure's sentence when it cannot.
  std::optional<std::string> create() const;
  // Records this process as the owner: from then on `--print-env` answers.
  void claim() const;
  void remove() const;
};

}  // namespace tessel::demo
