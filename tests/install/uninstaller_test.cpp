#include "install/uninstaller.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "environments/shell.h"
#include "install/hook_installer.h"
#include "support/processes.h"
#include "support/temp_dir.h"
#include "support/undeletable.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

const Date now(1741341600.0);

// A Tessel installation in a scratch home: our hook among the user's settings, the
// companion plugin in Claude Code's plugin record, and a support folder with logs.
struct Installation {
  test::TempDir dir;
  ClaudePaths paths{dir.path(), dir / ".claude", dir / "app", dir / "support"};
  test::TempDir tools;

  Installation() {
    dir.write(".claude/settings.json",
              R"({"model":"opus","hooks":{"Stop":[{"hooks":[)"
              R"({"type":"command","command":"/opt/Tessel/tessel-hook"}]}]}})");
    dir.write(".claude/plugins/installed_plugins.json",
              R"({"version":2,"plugins":{"brackwater-tessel-connector@brackwater-tessel":[)"
              R"({"scope":"user","installPath":"/x","version":"1.0.0"}]}})");
    dir.write("support/hook/events-2025-03-07.jsonl", "{}\n");
  }

  // The uninstaller's run, finding Claude Code's program among the stand-ins only.
  Uninstaller::Report uninstall() const {
    const ToolRunner runner({tools.path()});
    return Uninstaller::run(paths, runner, now);
  }

  // A stand-in for Claude Code's command-line program that records its arguments.
  void claude(std::string_view body) {
    tools.script("claude",
                 "#!/bin/sh\necho \"$@\" > " + (tools / "arguments") + "\n" + std::string(body));
  }
};

TEST(Uninstaller, RemovesEverythingAndSaysSo) {
  Installation installed;
  installed.claude("exit 0\n");
  const auto report = installed.uninstall();
  EXPECT_EQ(report.lines, (std::vector<std::string>{
                              "Removed the hook from " + installed.paths.configDir +
                                  "/settings.json (a backup was saved beside it).",
                              "Uninstalled the companion plugin.",
                              "Deleted " + installed.paths.supportDir + ".",
                          }));
  EXPECT_FALSE(report.failed);
  EXPECT_EQ(Uninstaller::finalLine(report),
            "Done. Start new Claude sessions (or run /reload-plugins) to stop using them.");
  EXPECT_EQ(nlohmann::json::parse(test::readFile(installed.paths.settingsFile())),
            nlohmann::json::parse(R"({"model":"opus"})"));
  EXPECT_TRUE(fs::exists(HookInstaller::backupPath(installed.paths, now)));
  EXPECT_EQ(test::readFile(installed.tools / "arguments"),
            "plugin uninstall brackwater-tessel-connector@brackwater-tessel\n");
  EXPECT_FALSE(fs::exists(installed.paths.supportDir));
}

TEST(Uninstaller, WithNothingInstalledReportsTwoLinesAndNoFailure) {
  test::TempDir dir;
  // A configuration folder outside the home directory is shown in full.
  const ClaudePaths paths{dir.path(), dir / "config", dir / "app", dir / "support"};
  const auto report = Uninstaller::run(paths, ToolRunner({dir / "no-tools"}), now);
  EXPECT_EQ(report.lines, (std::vector<std::string>{
                              "The hook wasn\u2019t in " + dir.path() + "/config/settings.json.",
                              "The companion plugin wasn\u2019t installed.",
                          }));
  EXPECT_FALSE(report.failed);
}

TEST(Uninstaller, FailedStepsAreReportedAndTheRestStillRuns) {
  {
    Installation installed;
    installed.claude(
        "echo 'Error: Plugin \"brackwater-tessel-connector\" is not installed' >&2\nexit 1\n");
    // Same second as an earlier run: the backup exists already and is not replaced.
    const std::string backup = HookInstaller::backupPath(installed.paths, now);
    installed.dir.write(backup.substr(installed.dir.path().size() + 1), "earlier");
    const auto report = installed.uninstall();
    ASSERT_EQ(report.lines.size(), 3u);
    EXPECT_EQ(report.lines[1],
              "Couldn\u2019t uninstall the companion plugin: Error: Plugin "
              "\"brackwater-tessel-connector\" is not installed");
    EXPECT_TRUE(report.failed);
    EXPECT_EQ(Uninstaller::finalLine(report), "Some steps failed; see above.");
    EXPECT_EQ(test::readFile(backup), "earlier");
    EXPECT_FALSE(HookInstaller::isInstalled(installed.paths));
  }
  {
    Installation installed;  // no claude program on the search paths
    const auto report = installed.uninstall();
    EXPECT_EQ(report.lines[1],
              "Couldn\u2019t uninstall the companion plugin: Claude Code\u2019s command-line "
              "program (claude) wasn\u2019t found.");
    EXPECT_TRUE(report.failed);
  }
  {
    Installation installed;
    installed.claude("exit 0\n");
    // The save of the settings fails: a read-only folder holds the file.
    test::UndeletableFolder stuck(installed.paths.configDir);
    ASSERT_TRUE(stuck.ok());
    const auto report = installed.uninstall();
    EXPECT_EQ(report.lines[0], "Couldn\u2019t remove the hook: Couldn\u2019t save " +
                                   installed.paths.settingsFile() + ".");
    EXPECT_EQ(report.lines[1], "Uninstalled the companion plugin.");
    EXPECT_TRUE(report.failed);
  }
  {
    Installation installed;
    installed.claude("exit 0\n");
    test::UndeletableFolder stuck(installed.paths.supportDir + "/hook");
    ASSERT_TRUE(stuck.ok());
    const auto report = installed.uninstall();
    ASSERT_EQ(report.lines.size(), 3u);
    EXPECT_EQ(report.lines[1], "Uninstalled the companion plugin.");
    // The system's reason follows the folder's name.
    const std::string failed = "Couldn\u2019t delete " + installed.paths.supportDir + ": ";
    EXPECT_TRUE(report.lines[2].starts_with(failed) && report.lines[2].size() > failed.size())
        << report.lines[2];
    EXPECT_TRUE(report.failed);
  }
}

TEST(Uninstaller, TheHookProgramPrintsTheReportAndExitsOneOnFailure) {
  if (ToolRunner().find("claude"))
    GTEST_SKIP() << "Claude Code is installed here; its program is not run by tests.";
  Installation installed;
  // The real program finds its paths from HOME, and Claude Code's program on its own
  // search paths (none of which holds a "claude" here, so the plugin step fails).
  installed.dir.write("Library/Application Support/Tessel/hook/events-2025-03-07.jsonl", "{}\n");
  const auto run = test::runProgram(
      TESSEL_HOOK_BINARY, {"--uninstall"}, "",
      {{"HOME", installed.dir.path()}, {"CLAUDE_CONFIG_DIR", installed.paths.configDir}});
  const std::string support = installed.dir / "Library/Application Support/Tessel";
  EXPECT_EQ(run.out,
            "Removed the hook from " + installed.paths.configDir +
                "/settings.json (a backup was saved beside it).\n"
                "Couldn\u2019t uninstall the companion plugin: Claude Code\u2019s command-line "
                "program (claude) wasn\u2019t found.\n"
                "Deleted " +
                support +
                ".\n"
                "Some steps failed; see above.\n");
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_FALSE(fs::exists(support));
}

}  // namespace
}  // namespace tessel
