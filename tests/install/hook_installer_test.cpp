#include "install/hook_installer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "model/claude_settings.h"
#include "support/processes.h"
#include "support/temp_dir.h"
#include "util/text.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

json parsed(const std::string& path) { return json::parse(test::readFile(path)); }

// The failure `install` threw, or nothing when it succeeded.
std::optional<HookInstaller::Failure> installFailure(const ClaudePaths& paths,
                                                     const std::string& hookPath, Date now) {
  try {
    HookInstaller::install(paths, hookPath, now);
  } catch (const HookInstaller::Failure& failure) {
    return failure;
  }
  return std::nullopt;
}

const Date now(1741341600.0);

// The user's own settings: other keys and their own hook groups.
const json userSettings = json::parse(R"json({
  "model": "opus",
  "permissions": {"allow": ["Bash(npm test:*)"]},
  "hooks": {
    "PreToolUse": [{"matcher": "Bash", "hooks": [{"type": "command", "command": "~/bin/guard.sh"}]}],
    "Notification": [{"hooks": [{"type": "command", "command": "notify-send Claude"}]}]
  }
})json");

TEST(HookInstaller, InstallsOncePerEventAndRemovesBackToTheUsersFile) {
  test::TempDir dir;
  const ClaudePaths paths = dir.claudePaths(".claude");
  const std::string hook = dir.script("bin/tessel-hook", "#!/bin/sh\nexit 0\n");
  dir.write(".claude/settings.json", userSettings.dump(4));
  // The user's file may be private; the rewrite keeps it so.
  fs::permissions(paths.settingsFile(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_FALSE(HookInstaller::isInstalled(paths));

  EXPECT_TRUE(HookInstaller::install(paths, hook, now));
  EXPECT_FALSE(HookInstaller::install(paths, hook, now + 1));
  EXPECT_TRUE(HookInstaller::isInstalled(paths));
  // Ours come after the user's groups, the matcher "*" on tool events only.
  json expected = userSettings;
  for (std::string_view event : ClaudeSettings::hookEvents) {
    json group = {{"hooks", {{{"type", "command"}, {"command", hook}}}}};
    if (event == "PreToolUse" || event == "PostToolUse" || event == "PostToolUseFailure") {
      group["matcher"] = "*";
    }
    expected["hooks"][std::string(event)].push_back(group);
  }
  EXPECT_EQ(parsed(paths.settingsFile()), expected);
  EXPECT_EQ(fs::status(paths.settingsFile()).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  // A backup of the file as it was before each change sits beside it; the repeated
  // install changed nothing, so it left none.
  EXPECT_EQ(parsed(HookInstaller::backupPath(paths, now)), userSettings);
  EXPECT_FALSE(fs::exists(HookInstaller::backupPath(paths, now + 1)));

  HookInstaller::remove(paths);
  EXPECT_FALSE(HookInstaller::isInstalled(paths));
  EXPECT_EQ(parsed(paths.settingsFile()), userSettings);
}

TEST(HookInstaller, RemovingLeavesNoEmptyListsAndKeepsOtherCommandsOfAGroup) {
  test::TempDir dir;
  const ClaudePaths paths = dir.claudePaths(".claude");
  dir.write(".claude/settings.json", R"({"hooks": {
    "Stop": [{"hooks": [{"type": "command", "command": "/opt/tessel-hook"}]}],
    "PreToolUse": [{"matcher": "*", "hooks": [{"type": "command", "command": "/opt/tessel-hook"},
                                             {"type": "command", "command": "audit"}]}],
    "SessionEnd": []}, "theme": "dark"})");
  HookInstaller::remove(paths);
  // Claude Code's users read and edit this file: two-space indents, sorted keys.
  EXPECT_EQ(test::readFile(paths.settingsFile()), R"({
  "hooks": {
    "PreToolUse": [
      {
        "hooks": [
          {
            "command": "audit",
            "type": "command"
          }
        ],
        "matcher": "*"
      }
    ],
    "SessionEnd": []
  },
  "theme": "dark"
}
)");

  dir.write(".claude/settings.json",
            R"({"hooks": {"Stop": [{"hooks": [{"type": "command", "command": "tessel-hook"}]}]}})");
  HookInstaller::remove(paths);
  EXPECT_EQ(parsed(paths.settingsFile()), json::object());
}

TEST(HookInstaller, NeverOverwritesAFileItCannotRead) {
  test::TempDir dir;
  const ClaudePaths paths = dir.claudePaths(".claude");
  const std::string hook = dir.script("tessel-hook", "#!/bin/sh\n");
  for (const std::string& broken : {std::string("{\"hooks\": {"), std::string("[1, 2]"),
                                    std::string(""), std::string("{\"a\": \"\xFF\"}")}) {
    SCOPED_TRACE(broken);
    dir.write(".claude/settings.json", broken);
    const auto failure = installFailure(paths, hook, now);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), HookInstaller::Failure::Kind::unreadable);
    EXPECT_EQ(std::string(failure->what()), "Couldn\u2019t read " + paths.settingsFile() +
                                                ". It may not be valid JSON; nothing was changed.");
    EXPECT_FALSE(HookInstaller::isInstalled(paths));
    HookInstaller::remove(paths);
    EXPECT_EQ(test::readFile(paths.settingsFile()), broken);
  }
}

TEST(HookInstaller, NeedsTheProgramAndCreatesWhatIsMissing) {
  test::TempDir dir;
  const ClaudePaths paths = dir.claudePaths(".claude");
  for (const std::string& notAProgram :
       {dir / "missing/tessel-hook", dir.write("plain/tessel-hook", "not executable"),
        dir.path()}) {
    SCOPED_TRACE(notAProgram);
    const auto failure = installFailure(paths, notAProgram, now);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), HookInstaller::Failure::Kind::noBinary);
    EXPECT_EQ(std::string(failure->what()), "The hook program is missing from the app.");
  }
  EXPECT_FALSE(fs::exists(paths.configDir));

  // No settings file and no folder: both are made, and no backup is invented.
  const std::string hook = dir.script("bin/tessel-hook", "#!/bin/sh\n");
  HookInstaller::install(paths, hook, now);
  EXPECT_TRUE(HookInstaller::isInstalled(paths));
  EXPECT_FALSE(fs::exists(HookInstaller::backupPath(paths, now)));

  // A folder that cannot hold the file: the save fails with its own sentence.
  dir.write("config-is-a-file", "");
  const ClaudePaths blocked = dir.claudePaths("config-is-a-file");
  const auto failure = installFailure(blocked, hook, now);
  ASSERT_TRUE(failure);
  EXPECT_EQ(std::string(failure->what()), "Couldn\u2019t save " + blocked.settingsFile() + ".");
}

TEST(HookInstaller, TheRegisteredCommandRunsTheHookThroughAShell) {
  test::TempDir dir;
  const ClaudePaths paths = dir.claudePaths(".claude");
  // Support folders on macOS have spaces in their names.
  const std::string hook = dir / "Application Support/It's here/tessel-hook";
  fs::create_directories(fs::path(hook).parent_path());
  fs::copy_file(TESSEL_HOOK_BINARY, hook);
  HookInstaller::install(paths, hook, now);
  const std::string command =
      parsed(paths.settingsFile())["hooks"]["PreToolUse"].back()["hooks"][0]["command"];

  const auto run = test::runProgram(
      "/bin/sh", {"-c", command},
      R"({"session_id":"s","hook_event_name":"PreToolUse","tool_name":"Bash","tool_input":{"command":"ls"}})",
      {{"HOME", dir.path()}});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.err, "");
  std::string logged;
  for (const auto& entry :
       fs::directory_iterator(dir / "Library/Application Support/Tessel/hook")) {
    logged += test::readFile(entry.path());
  }
  EXPECT_EQ(Text::nonEmptyLines(logged).size(), 1u);
}

}  // namespace
}  // namespace tessel
