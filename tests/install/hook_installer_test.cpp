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

ClaudePaths pathsIn(const test::TempDir& dir) {
  return ClaudePaths{dir.path(), dir / ".claude", dir / "app", dir / "support"};
}

nlohmann::json parsed(const std::string& path) {
  return nlohmann::json::parse(test::readFile(path));
}

const Date now(1741341600.0);

// The user's own settings: other keys and their own hook groups.
const nlohmann::json userSettings = nlohmann::json::parse(R"json({
  "model": "opus",
  "permissions": {"allow": ["Bash(npm test:*)"]},
  "hooks": {
    "PreToolUse": [{"matcher": "Bash", "hooks": [{"type": "command", "command": "~/bin/guard.sh"}]}],
    "Notification": [{"hooks": [{"type": "command", "command": "notify-send Claude"}]}]
  }
})json");

TEST(HookInstaller, InstallsOncePerEventAndRemovesBackToTheUsersFile) {
  test::TempDir dir;
  const ClaudePaths paths = pathsIn(dir);
  const std::string hook = dir.script("bin/tessel-hook", "#!/bin/sh\nexit 0\n");
  dir.write(".claude/settings.json", userSettings.dump(4));
  EXPECT_FALSE(HookInstaller::isInstalled(paths));

  HookInstaller::install(paths, hook, now);
  HookInstaller::install(paths, hook, now + 1);
  EXPECT_TRUE(HookInstaller::isInstalled(paths));
  const nlohmann::json installed = parsed(paths.settingsFile());
  EXPECT_EQ(installed["model"], "opus");
  EXPECT_EQ(installed["permissions"], userSettings["permissions"]);
  EXPECT_EQ(installed["hooks"]["Notification"], userSettings["hooks"]["Notification"]);
  for (std::string_view event : ClaudeSettings::hookEvents) {
    const auto& groups = installed["hooks"][std::string(event)];
    size_t ours = 0;
    for (const auto& group : groups) {
      for (const auto& entry : group["hooks"]) ours += entry["command"] == hook;
    }
    EXPECT_EQ(ours, 1u) << event;
    const auto& group = groups.back();
    EXPECT_EQ(group["hooks"][0]["type"], "command");
    EXPECT_EQ(group.contains("matcher"), event.find("ToolUse") != std::string::npos) << event;
  }
  // The user's group stays first, ours comes after it.
  EXPECT_EQ(installed["hooks"]["PreToolUse"][0], userSettings["hooks"]["PreToolUse"][0]);
  // A backup of the file as it was before each change sits beside it.
  EXPECT_EQ(parsed(HookInstaller::backupPath(paths, now)), userSettings);

  HookInstaller::remove(paths);
  EXPECT_FALSE(HookInstaller::isInstalled(paths));
  EXPECT_EQ(parsed(paths.settingsFile()), userSettings);
}

TEST(HookInstaller, RemovingLeavesNoEmptyListsAndKeepsOtherCommandsOfAGroup) {
  test::TempDir dir;
  const ClaudePaths paths = pathsIn(dir);
  dir.write(".claude/settings.json", R"({"hooks": {
    "Stop": [{"hooks": [{"type": "command", "command": "/opt/tessel-hook"}]}],
    "PreToolUse": [{"matcher": "*", "hooks": [{"type": "command", "command": "/opt/tessel-hook"},
                                             {"type": "command", "command": "audit"}]}],
    "SessionEnd": []}, "theme": "dark"})");
  HookInstaller::remove(paths);
  EXPECT_EQ(parsed(paths.settingsFile()), nlohmann::json::parse(R"({"hooks": {
    "PreToolUse": [{"matcher": "*", "hooks": [{"type": "command", "command": "audit"}]}],
    "SessionEnd": []}, "theme": "dark"})"));

  dir.write(".claude/settings.json",
            R"({"hooks": {"Stop": [{"hooks": [{"type": "command", "command": "tessel-hook"}]}]}})");
  HookInstaller::remove(paths);
  EXPECT_EQ(parsed(paths.settingsFile()), nlohmann::json::object());
}

TEST(HookInstaller, NeverOverwritesAFileItCannotRead) {
  test::TempDir dir;
  const ClaudePaths paths = pathsIn(dir);
  const std::string hook = dir.script("tessel-hook", "#!/bin/sh\n");
  for (const std::string& broken : {std::string("{\"hooks\": {"), std::string("[1, 2]"),
                                    std::string(""), std::string("{\"a\": \"\xFF\"}")}) {
    dir.write(".claude/settings.json", broken);
    try {
      HookInstaller::install(paths, hook, now);
      ADD_FAILURE() << "installed over " << broken;
    } catch (const HookInstaller::Failure& failure) {
      EXPECT_EQ(failure.kind(), HookInstaller::Failure::Kind::unreadable);
      EXPECT_EQ(std::string(failure.what()),
                "Couldn\u2019t read " + paths.settingsFile() +
                    ". It may not be valid JSON; nothing was changed.");
    }
    EXPECT_FALSE(HookInstaller::isInstalled(paths));
    HookInstaller::remove(paths);
    EXPECT_EQ(test::readFile(paths.settingsFile()), broken);
  }
}

TEST(HookInstaller, NeedsTheProgramAndCreatesWhatIsMissing) {
  test::TempDir dir;
  const ClaudePaths paths = pathsIn(dir);
  const auto kindOf = [&](const std::string& hookPath) {
    try {
      HookInstaller::install(paths, hookPath, now);
    } catch (const HookInstaller::Failure& failure) {
      EXPECT_EQ(std::string(failure.what()), "The hook program is missing from the app.");
      return failure.kind();
    }
    return HookInstaller::Failure::Kind::unwritable;
  };
  EXPECT_EQ(kindOf(dir / "missing/tessel-hook"), HookInstaller::Failure::Kind::noBinary);
  EXPECT_EQ(kindOf(dir.write("plain/tessel-hook", "not executable")),
            HookInstaller::Failure::Kind::noBinary);
  EXPECT_EQ(kindOf(dir.path()), HookInstaller::Failure::Kind::noBinary);
  EXPECT_FALSE(fs::exists(paths.configDir));

  // No settings file and no folder: both are made, and no backup is invented.
  HookInstaller::install(paths, dir.script("bin/tessel-hook", "#!/bin/sh\n"), now);
  EXPECT_TRUE(HookInstaller::isInstalled(paths));
  EXPECT_FALSE(fs::exists(HookInstaller::backupPath(paths, now)));

  // A folder that cannot hold the file: the save fails with its own sentence.
  const ClaudePaths blocked{dir.path(), dir.write("config-is-a-file", ""), dir / "app",
                            dir / "support"};
  try {
    HookInstaller::install(blocked, dir / "bin/tessel-hook", now);
    ADD_FAILURE() << "saved into a file";
  } catch (const HookInstaller::Failure& failure) {
    EXPECT_EQ(std::string(failure.what()), "Couldn\u2019t save " + blocked.settingsFile() + ".");
  }
}

TEST(HookInstaller, TheRegisteredCommandRunsTheHookThroughAShell) {
  test::TempDir dir;
  const ClaudePaths paths = pathsIn(dir);
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
