#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "support/processes.h"
#include "support/temp_dir.h"
#include "support/undeletable.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// `tessel` and `tessel-hook` as `install` finds them: beside each other, links resolved.
const std::string tessel = fs::canonical(TESSEL_BINARY).string();
const std::string hook = (fs::path(tessel).parent_path() / "tessel-hook").string();

// A home of its own for every run, Claude Code's folder at ~/.claude.
struct Home {
  test::TempDir dir;
  std::string config = dir / ".claude";
  std::string settings = config + "/settings.json";
  std::string support = dir / "Library/Application Support/Tessel";

  test::Finished run(const std::vector<std::string>& arguments,
                     const std::string& program = tessel) const {
    return test::runProgram(program, arguments, "",
                            {{"HOME", dir.path()},
                             {"CLAUDE_CONFIG_DIR", config},
                             {"CODEX_HOME", dir / ".codex"},
                             {"TESSEL_TOOL_PATH", dir / "bin"}});
  }
  json settingsObject() const { return json::parse(test::readFile(settings)); }
  std::vector<std::string> configFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(config)) {
      names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
};

bool mentions(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

std::string replacingAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

const json userSettings = json::parse(R"json({
  "model": "opus",
  "permissions": {"allow": ["Bash(npm test:*)"]},
  "statusLine": {"type": "command", "command": "~/bin/my-status --short", "padding": 1},
  "hooks": {"PreToolUse": [{"matcher": "Bash",
                            "hooks": [{"type": "command", "command": "~/bin/guard.sh"}]}]}
})json");

TEST(InstallCommand, KeepsTheUsersSettingsAndChangesNothingTheSecondTime) {
  Home home;
  home.dir.write(".claude/settings.json", userSettings.dump(4));

  const auto first = home.run({"install", "--statusline"});
  ASSERT_EQ(first.exitStatus, 0) << first.err;
  EXPECT_TRUE(mentions(first.out, "~/bin/my-status --short; it was left as it is")) << first.out;
  json settings = home.settingsObject();
  for (const char* key : {"model", "permissions", "statusLine"}) {
    EXPECT_EQ(settings[key], userSettings[key]) << key;
  }
  EXPECT_EQ(settings["hooks"]["PreToolUse"][0], userSettings["hooks"]["PreToolUse"][0]);
  EXPECT_EQ(settings["hooks"]["PreToolUse"][1]["hooks"][0]["command"], hook);
  EXPECT_EQ(settings["hooks"]["SessionStart"][0]["hooks"][0]["command"], hook);

  const std::string bytes = test::readFile(home.settings);
  const auto files = home.configFiles();
  const auto second = home.run({"install", "--statusline"});
  EXPECT_EQ(second.exitStatus, 0) << second.err;
  EXPECT_TRUE(mentions(second.out, "already registered")) << second.out;
  EXPECT_EQ(test::readFile(home.settings), bytes);
  EXPECT_EQ(home.configFiles(), files);

  // Without a status line of the user's, ours goes in, once.
  Home bare;
  ASSERT_EQ(bare.run({"install", "--statusline"}).exitStatus, 0);
  EXPECT_EQ(bare.settingsObject()["statusLine"],
            json({{"type", "command"}, {"command", tessel + " statusline"}, {"padding", 0}}));
  const std::string bareBytes = test::readFile(bare.settings);
  const auto again = bare.run({"install", "--statusline"});
  EXPECT_TRUE(mentions(again.out, "already runs Tessel")) << again.out;
  EXPECT_EQ(test::readFile(bare.settings), bareBytes);
  EXPECT_EQ(bare.configFiles(), std::vector<std::string>{"settings.json"});
}

TEST(InstallCommand, RefusesASettingsFileItCannotReadAndLeavesItAlone) {
  Home home;
  home.dir.write(".claude/settings.json", "{\"model\": \"opus\",");
  const auto result = home.run({"install"});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.err, "Couldn\u2019t read " + home.settings +
                            ". It may not be valid JSON; nothing was changed.\n");
  EXPECT_EQ(test::readFile(home.settings), "{\"model\": \"opus\",");
}

TEST(StatusCommand, ReportsAHealthyInstallAndNamesEachProblemOfABrokenOne) {
  Home home;
  ASSERT_EQ(home.run({"install", "--statusline"}).exitStatus, 0);
  const std::string log =
      home.dir.write("Library/Application Support/Tessel/hook/events-2026-12-08.jsonl",
                     R"({"t":1796720400000,"e":"SessionStart","s":"a"})"
                     "\n");
  test::setModified(log, Date::now() - 300);
  home.dir.write("Library/Application Support/Tessel/index.sqlite", std::string(3000, 'x'));
  test::ChildProcess claude("/bin/sleep", {"60"});
  const std::string pid = std::to_string(claude.pid());
  home.dir.write(".claude/sessions/" + pid + ".json",
                 R"({"pid":)" + pid + R"(,"sessionId":"a","cwd":"/src/app","status":"busy"})");

  const auto healthy = home.run({"status"});
  EXPECT_EQ(healthy.exitStatus, 0) << healthy.err;
  EXPECT_EQ(healthy.err, "");
  for (const std::string& part :
       {"Hook:          installed: " + hook, std::string("Live sessions: 1"),
        std::string(" (5 min ago)"), std::string("index.sqlite (2.9 KB)"),
        "Status line:   registered: " + tessel + " statusline"}) {
    EXPECT_TRUE(mentions(healthy.out, part)) << part << "\n" << healthy.out;
  }

  // The programs the settings name were moved away.
  json settings = home.settingsObject();
  const std::string gone = home.dir / "old/bin";
  for (auto& [event, groups] : settings["hooks"].items()) {
    groups[0]["hooks"][0]["command"] = gone + "/tessel-hook";
  }
  settings["statusLine"]["command"] = gone + "/tessel statusline";
  home.dir.write(".claude/settings.json", settings.dump());
  const auto moved = home.run({"status"});
  EXPECT_EQ(moved.exitStatus, 1);
  EXPECT_EQ(moved.err, "The hook is registered as " + gone +
                           "/tessel-hook, which no longer exists. Run tessel install to "
                           "register the tessel-hook beside this tessel.\n"
                           "Claude Code\u2019s status line runs " +
                           gone +
                           "/tessel, which no longer exists. Run tessel install --statusline "
                           "to point it at this tessel.\n");

  home.dir.write(".claude/settings.json", "{\"hooks\": ");
  const auto unreadable = home.run({"status"});
  EXPECT_EQ(unreadable.exitStatus, 1);
  EXPECT_TRUE(mentions(unreadable.err, "Couldn\u2019t read " + home.settings + ". "))
      << unreadable.err;
  EXPECT_TRUE(mentions(unreadable.out, "Hook:          unknown")) << unreadable.out;

  Home bare;
  const auto missing = bare.run({"status"});
  EXPECT_EQ(missing.exitStatus, 1);
  EXPECT_TRUE(mentions(missing.err, "The hook isn\u2019t installed")) << missing.err;
  for (const char* part : {"Last record:   none yet", "Live sessions: 0", "(not created yet)",
                           "Status line:   not registered"}) {
    EXPECT_TRUE(mentions(missing.out, part)) << part << "\n" << missing.out;
  }
}

// Both programs uninstall with the same words and status, from the same state.
TEST(UninstallCommand, PrintsWhatTheHookProgramsUninstallPrints) {
  const auto uninstalled = [](const std::string& program, const std::vector<std::string>& arguments,
                              bool lockSupport) {
    Home home;
    home.dir.write(".claude/settings.json", userSettings.dump());
    EXPECT_EQ(home.run({"install"}).exitStatus, 0);
    home.dir.write("Library/Application Support/Tessel/hook/events-2026-12-08.jsonl", "{}\n");
    std::optional<test::UndeletableFolder> locked;
    if (lockSupport) locked.emplace(home.support + "/hook");
    auto result = home.run(arguments, program);
    if (locked && !locked->ok()) result.exitStatus = -2;
    if (!lockSupport) {
      EXPECT_EQ(home.settingsObject(), userSettings);
    }
    result.out = replacingAll(result.out, home.dir.path(), "HOME");
    return result;
  };
  const auto ours = uninstalled(tessel, {"uninstall"}, false);
  const auto theirs = uninstalled(hook, {"--uninstall"}, false);
  EXPECT_EQ(ours.exitStatus, 0);
  EXPECT_EQ(ours.out, theirs.out);
  EXPECT_EQ(ours.out,
            "Removed the hook from HOME/.claude/settings.json (a backup was saved beside it).\n"
            "The companion plugin wasn\u2019t installed.\n"
            "Deleted HOME/Library/Application Support/Tessel.\n"
            "Done. Start new Claude sessions (or run /reload-plugins) to stop using them.\n");

  const auto failedOurs = uninstalled(tessel, {"uninstall"}, true);
  if (failedOurs.exitStatus == -2) GTEST_SKIP() << "no immutable folders here";
  const auto failedTheirs = uninstalled(hook, {"--uninstall"}, true);
  EXPECT_EQ(failedOurs.exitStatus, 1);
  EXPECT_EQ(failedOurs.exitStatus, failedTheirs.exitStatus);
  EXPECT_EQ(failedOurs.out, failedTheirs.out);
  EXPECT_TRUE(failedOurs.out.ends_with("Some steps failed; see above.\n")) << failedOurs.out;
}

TEST(UninstallCommand, TakesOutOurStatusLineAndLeavesAnotherOne) {
  Home home;
  ASSERT_EQ(home.run({"install", "--statusline"}).exitStatus, 0);
  const std::string installed = test::readFile(home.settings);
  const auto result = home.run({"uninstall"});
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_TRUE(result.out.starts_with("Removed Claude Code\u2019s status line " + tessel +
                                     " statusline from " + home.settings +
                                     ".\nRemoved the hook from "))
      << result.out;
  EXPECT_EQ(home.settingsObject(), json::object());
  // One backup, of the file before either change.
  const auto files = home.configFiles();
  ASSERT_EQ(files.size(), 2U);
  EXPECT_EQ(test::readFile(home.config + "/" + files[0]), installed);

  Home theirs;
  theirs.dir.write(".claude/settings.json", userSettings.dump());
  ASSERT_EQ(theirs.run({"install", "--statusline"}).exitStatus, 0);
  const auto kept = theirs.run({"uninstall"});
  EXPECT_EQ(kept.exitStatus, 0) << kept.err;
  EXPECT_FALSE(mentions(kept.out, "status line")) << kept.out;
  EXPECT_EQ(theirs.settingsObject(), userSettings);

  // Settings that cannot be read: the status line step fails, the others still run,
  // and the whole fails.
  Home broken;
  broken.dir.write(".claude/settings.json", "{\"statusLine\": ");
  const auto failed = broken.run({"uninstall"});
  EXPECT_EQ(failed.exitStatus, 1);
  EXPECT_TRUE(failed.out.starts_with("Couldn\u2019t remove the status line: ")) << failed.out;
  EXPECT_TRUE(mentions(failed.out, "The companion plugin wasn\u2019t installed.")) << failed.out;
  EXPECT_TRUE(failed.out.ends_with("Some steps failed; see above.\n")) << failed.out;
  EXPECT_EQ(test::readFile(broken.settings), "{\"statusLine\": ");
}

TEST(ContainerHookCommand, InstallsReportsAndRemovesInAProjectFolder) {
  Home home;
  const std::string project = home.dir / "src/app";
  const json userLocal = json::parse(R"({"hooks": {"PreToolUse": [{"matcher": "Bash",
      "hooks": [{"type": "command", "command": "./check.sh"}]}]}, "env": {"A": "1"}})");
  const std::string local = home.dir.write("src/app/.claude/settings.local.json", userLocal.dump());

  const auto before = home.run({"container-hook", "status", project});
  EXPECT_EQ(before.exitStatus, 1);
  EXPECT_EQ(before.err, "The container hook isn\u2019t installed in " + project +
                            ". Run tessel container-hook install " + project + ".\n");
  const auto preview = home.run({"container-hook", "preview", project + "/"});
  EXPECT_EQ(preview.exitStatus, 0);
  EXPECT_TRUE(mentions(preview.out, ".claude/settings.local.json\n  adds a hook for"))
      << preview.out;
  EXPECT_FALSE(fs::exists(project + "/.claude/tessel"));

  ASSERT_EQ(home.run({"container-hook", "install", project}).exitStatus, 0);
  EXPECT_TRUE(fs::exists(project + "/.claude/tessel/hook.sh"));
  const json installed = json::parse(test::readFile(local));
  EXPECT_EQ(installed["hooks"]["PreToolUse"][0], userLocal["hooks"]["PreToolUse"][0]);
  EXPECT_EQ(installed["hooks"]["PreToolUse"].size(), 2u);
  const auto quiet = home.run({"container-hook", "status", project});
  EXPECT_EQ(quiet.exitStatus, 0) << quiet.err;
  EXPECT_TRUE(mentions(quiet.out, "(no event yet)")) << quiet.out;
  home.dir.write("src/app/.claude/tessel/events.jsonl", R"({"t":1,"ctr":"box"})"
                                                        "\n");
  EXPECT_TRUE(mentions(home.run({"container-hook", "status", project}).out, "last written"));

  const auto removed = home.run({"container-hook", "remove", project});
  EXPECT_EQ(removed.exitStatus, 0);
  EXPECT_EQ(removed.out, "Removed the container hook from " + project + ".\n");
  EXPECT_EQ(json::parse(test::readFile(local)), userLocal);
  EXPECT_FALSE(fs::exists(project + "/.claude/tessel"));
  EXPECT_TRUE(mentions(home.run({"container-hook", "remove", project}).out, "wasn\u2019t in"));

  home.dir.write("src/app/.claude/settings.local.json", "{");
  const auto broken = home.run({"container-hook", "install", project});
  EXPECT_EQ(broken.exitStatus, 1);
  EXPECT_TRUE(mentions(broken.err, "Couldn\u2019t read " + local)) << broken.err;
  EXPECT_EQ(test::readFile(local), "{");
  EXPECT_EQ(home.run({"container-hook", "status", project}).exitStatus, 1);

  const auto nowhere = home.run({"container-hook", "install", home.dir / "no-such"});
  EXPECT_EQ(nowhere.exitStatus, 1);
  EXPECT_EQ(nowhere.err, "There is no folder at " + (home.dir / "no-such") + ".\n");
  EXPECT_EQ(home.run({"container-hook", "install"}).exitStatus, 2);
}

}  // namespace
}  // namespace tessel
