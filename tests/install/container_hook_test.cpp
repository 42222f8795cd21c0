// The container hook as a project holds it: real settings files and scripts in a
// temporary project folder, and the scripts run by the real sh, node and python3.
#include "hook/container_hook.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "install/container_hook_installer.h"
#include "install/hook_installer.h"
#include "model/claude_settings.h"
#include "support/processes.h"
#include "support/temp_dir.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using nlohmann::ordered_json;

bool isOurGroup(const json& group) {
  for (const auto& hook : group.value("hooks", json::array())) {
    if (hook.value("command", "").find(ContainerHook::marker) != std::string::npos) return true;
  }
  return false;
}

size_t ourGroups(const json& groups) {
  size_t count = 0;
  for (const auto& group : groups) count += isOurGroup(group) ? 1 : 0;
  return count;
}

json settingsOf(const test::TempDir& project) {
  return json::parse(test::readFile(ContainerHook::settingsPath(project.path())));
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    result.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (start < text.size()) result.push_back(text.substr(start));
  return result;
}

const std::string userSettings = R"json({
  "permissions": {"allow": ["Bash(npm test)"]},
  "model": "opus",
  "hooks": {
    "PreToolUse": [
      {"matcher": "Bash", "hooks": [{"type": "command", "command": "~/bin/check-bash"}]}
    ],
    "Notification": [{"hooks": [{"type": "command", "command": "notify-send Claude"}]}],
    "SubagentStop": []
  }
})json";

TEST(ContainerHook, InstallAddsOneGroupPerEventAfterTheUsersAndRemoveRestoresTheirSettings) {
  test::TempDir project;
  const std::string settingsPath = project.write(".claude/settings.local.json", userSettings);
  const json before = json::parse(userSettings);
  EXPECT_FALSE(ContainerHook::isInstalled(project.path()));

  ContainerHook::install(project.path());
  ContainerHook::install(project.path());
  EXPECT_TRUE(ContainerHook::isInstalled(project.path()));

  const json after = settingsOf(project);
  EXPECT_EQ(after["permissions"], before["permissions"]);
  EXPECT_EQ(after["model"], "opus");
  EXPECT_EQ(after["hooks"]["Notification"], before["hooks"]["Notification"]);
  for (std::string_view event : ClaudeSettings::hookEvents) {
    const json& groups = after["hooks"][std::string(event)];
    ASSERT_TRUE(groups.is_array()) << event;
    EXPECT_EQ(ourGroups(groups), 1u) << event;
    json expected = {{"hooks", {{{"type", "command"}, {"command", ContainerHook::command}}}}};
    if (ClaudeSettings::isToolEvent(event)) expected["matcher"] = "*";
    EXPECT_EQ(groups.back(), expected) << event;
  }
  const json& preToolUse = after["hooks"]["PreToolUse"];
  ASSERT_EQ(preToolUse.size(), 2u);
  EXPECT_EQ(preToolUse[0], before["hooks"]["PreToolUse"][0]);

  project.write(".claude/tessel/events.jsonl", "{}\n");
  ContainerHook::remove(project.path());
  EXPECT_EQ(settingsOf(project), before);
  EXPECT_FALSE(ContainerHook::isInstalled(project.path()));
  EXPECT_FALSE(fs::exists(ContainerHook::dir(project.path())));
  EXPECT_TRUE(fs::exists(settingsPath));
}

TEST(ContainerHook, RemoveDropsWhatInstallAloneAddedAndStillDeletesTheFolderWithoutSettings) {
  // Only our hooks under "hooks": nothing of it is left.
  test::TempDir project;
  project.write(".claude/settings.local.json", R"({"permissions": {"deny": []}})");
  ContainerHook::install(project.path());
  ContainerHook::remove(project.path());
  EXPECT_EQ(settingsOf(project), json::parse(R"({"permissions": {"deny": []}})"));

  // No settings file at all: install creates one, and remove leaves an empty object.
  test::TempDir fresh;
  ContainerHook::install(fresh.path());
  EXPECT_TRUE(ContainerHook::isInstalled(fresh.path()));
  ContainerHook::remove(fresh.path());
  EXPECT_EQ(settingsOf(fresh), json::object());

  // Nothing of ours in them: the user's file keeps its own layout.
  test::TempDir untouched;
  const std::string own = R"({"hooks":{"Stop":[{"hooks":[{"type":"command","command":"true"}]}]}})";
  const std::string ownPath = untouched.write(".claude/settings.local.json", own);
  ContainerHook::remove(untouched.path());
  EXPECT_EQ(test::readFile(ownPath), own);

  // The settings were deleted by hand: the scripts and events still go.
  test::TempDir orphan;
  ContainerHook::install(orphan.path());
  fs::remove(ContainerHook::settingsPath(orphan.path()));
  orphan.write(".claude/tessel/events.jsonl", "{}\n");
  ContainerHook::remove(orphan.path());
  EXPECT_FALSE(fs::exists(ContainerHook::dir(orphan.path())));
  EXPECT_FALSE(fs::exists(ContainerHook::settingsPath(orphan.path())));
  EXPECT_TRUE(fs::exists(orphan / ".claude"));
}

TEST(ContainerHook, SettingsThatAreNotAJsonObjectAreNeverRewritten) {
  for (const std::string broken : {R"({"hooks": {"Stop": [)", "[1, 2]"}) {
    test::TempDir project;
    const std::string path = project.write(".claude/settings.local.json", broken);
    const std::string sentence =
        "Couldn\u2019t read " + path + ". It may not be valid JSON; nothing was changed.";
    EXPECT_FALSE(ContainerHook::isInstalled(project.path()));
    try {
      ContainerHook::install(project.path());
      ADD_FAILURE() << "install accepted " << broken;
    } catch (const HookInstaller::Failure& failure) {
      EXPECT_EQ(failure.what(), sentence);
    }
    EXPECT_EQ(test::readFile(path), broken);
    try {
      ContainerHook::remove(project.path());
      ADD_FAILURE() << "remove accepted " << broken;
    } catch (const HookInstaller::Failure& failure) {
      EXPECT_EQ(failure.what(), sentence);
    }
    EXPECT_EQ(test::readFile(path), broken);
  }
}

TEST(ContainerHook, FailuresNameThePathTheyCouldNotWrite) {
  test::TempDir project;
  // A file where the hook's folder belongs.
  project.write(".claude/tessel", "");
  try {
    ContainerHook::install(project.path());
    ADD_FAILURE() << "install wrote into a file";
  } catch (const std::runtime_error& failure) {
    EXPECT_EQ(failure.what(), "Couldn\u2019t create " + ContainerHook::dir(project.path()) + ".");
  }
  EXPECT_FALSE(fs::exists(ContainerHook::settingsPath(project.path())));

  // A folder where a script belongs.
  test::TempDir blocked;
  fs::create_directories(blocked / ".claude/tessel/record.js/inside");
  try {
    ContainerHook::install(blocked.path());
    ADD_FAILURE() << "install replaced a folder";
  } catch (const std::runtime_error& failure) {
    EXPECT_EQ(failure.what(),
              "Couldn\u2019t save " + ContainerHook::dir(blocked.path()) + "/record.js.");
  }
  EXPECT_FALSE(fs::exists(ContainerHook::settingsPath(blocked.path())));
}

TEST(ContainerHook, WritesTheScriptsNoneOfThemExecutable) {
  test::TempDir project;
  ContainerHook::install(project.path());
  const std::string dir = ContainerHook::dir(project.path());
  EXPECT_EQ(dir, project / ".claude/tessel");
  EXPECT_EQ(ContainerHook::log(project.path()), dir + "/events.jsonl");

  EXPECT_EQ(test::readFile(dir + "/hook.sh"),
            "#!/bin/sh\n"
            "# Tessel container hook: adds one line per tool call to events.jsonl beside it.\n"
            "# Prints nothing and always exits 0, so it never changes what Claude does.\n"
            "d=$(dirname \"$0\")\n"
            "c=$(cat /etc/hostname 2>/dev/null)\n"
            "if command -v node >/dev/null 2>&1; then node \"$d/record.js\" \"$c\" "
            ">>\"$d/events.jsonl\" 2>/dev/null\n"
            "elif command -v python3 >/dev/null 2>&1; then python3 \"$d/record.py\" \"$c\" "
            ">>\"$d/events.jsonl\" 2>/dev/null\n"
            "else cat >/dev/null\n"
            "fi\n"
            "exit 0\n");
  const std::string keep =
      R"(["command","file_path","notebook_path","pattern","path","subagent_type",)"
      R"("description","url","query","skill","summary","title","prompt","name","message",)"
      R"("run_in_background"])";
  const std::string background =
      R"(["mcp__ccd_session_mgmt__get_usage","mcp__ccd_session_mgmt__list_sessions",)"
      R"("mcp__ccd_session_mgmt__get_session","mcp__ccd_sidebar__list_groups"])";
  const auto js = lines(test::readFile(dir + "/record.js"));
  ASSERT_GE(js.size(), 3u);
  EXPECT_EQ(js[0], "// Tessel container hook: the hook's input, trimmed to what the app shows.");
  EXPECT_EQ(js[1], "const keep = " + keep + ";");
  EXPECT_EQ(js[2], "const background = " + background + ";");
  const auto py = lines(test::readFile(dir + "/record.py"));
  ASSERT_GE(py.size(), 4u);
  EXPECT_EQ(py[0], "# Tessel container hook: the hook's input, trimmed to what the app shows.");
  EXPECT_EQ(py[1], "import json, sys, time");
  EXPECT_EQ(py[2], "keep = " + keep);
  EXPECT_EQ(py[3], "background = " + background);
  EXPECT_EQ(test::readFile(dir + "/.gitignore"), "*\n");

  for (const char* name : {"hook.sh", "record.js", "record.py", ".gitignore"}) {
    struct stat info {};
    ASSERT_EQ(stat((dir + "/" + name).c_str(), &info), 0) << name;
    EXPECT_EQ(info.st_mode & 0111, 0u) << name;
  }
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) ++entries;
  EXPECT_EQ(entries, 4u) << "a temporary file was left behind";
}

TEST(ContainerHook, PreviewNamesTheFilesRelativeToTheProject) {
  EXPECT_EQ(ContainerHook::preview("/home/ana/app"),
            ".claude/settings.local.json\n"
            "  adds a hook for SessionStart, SessionEnd, UserPromptSubmit, Stop, PreToolUse, "
            "PostToolUse, PostToolUseFailure\n"
            ".claude/tessel/hook.sh, record.js, record.py\n"
            "  writes one line per tool call to .claude/tessel/events.jsonl\n"
            ".claude/tessel/.gitignore\n"
            "  keeps the folder out of git");
}

// The program `name` on PATH, or "" when there is none.
std::string onPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "";
  size_t start = 0;
  while (start <= folders.size()) {
    const size_t end = std::min(folders.find(':', start), folders.size());
    std::string candidate = folders.substr(start, end - start) + "/" + name;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

// The interpreter's own executable: version managers put wrapper scripts on PATH that
// need their own tools to run, and the folders below hold nothing else.
std::string interpreter(const std::string& name, const std::vector<std::string>& printSelf) {
  const std::string found = onPath(name);
  if (found.empty()) return "";
  std::string self = test::runProgram(found, printSelf, "").out;
  while (!self.empty() && (self.back() == '\n' || self.back() == '\r')) self.pop_back();
  return self;
}

// A folder for PATH holding links to the tools hook.sh may use.
std::string toolFolder(const test::TempDir& temp, const std::map<std::string, std::string>& tools) {
  std::string folder = temp / "bin";
  fs::create_directories(folder);
  for (const auto& [name, target] : tools) fs::create_symlink(target, folder + "/" + name);
  return folder;
}

std::string hostName() {
  std::string name = test::readFile("/etc/hostname");
  while (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string withCodePoints(size_t count) {
  // "a"s, then characters of two, four and one bytes, with a four-byte one straddling
  // both the 400th UTF-16 unit and the 400th byte.
  std::string text(397, 'a');
  size_t used = 397;
  const char* pattern[] = {"\u00e9", "\U0001F600", "x"};
  for (size_t i = 0; used < count; ++i, ++used) text += pattern[i % 3];
  return text;
}

const std::string longCommand = withCodePoints(1000);
const std::string cutCommand = withCodePoints(400);

const std::string bashInput =
    ordered_json{
        {"session_id", "5f1c"},
        {"transcript_path", "/root/.claude/projects/-work/5f1c.jsonl"},
        {"cwd", "/work"},
        {"permission_mode", "default"},
        {"hook_event_name", "PreToolUse"},
        {"tool_name", "Bash"},
        {"tool_input",
         {{"description", "Print a long line"},
          {"command", longCommand},
          {"timeout", 120000},
          {"run_in_background", false}}},
        {"tool_use_id", "toolu_01A"},
    }
        .dump();

ordered_json postToolUse(bool interrupted) {
  return {
      {"session_id", "5f1c"},
      {"transcript_path", "/root/.claude/projects/-work/5f1c.jsonl"},
      {"cwd", "/work"},
      {"permission_mode", "default"},
      {"hook_event_name", "PostToolUse"},
      {"tool_name", "Bash"},
      {"tool_input", {{"command", "sleep 600"}, {"description", "Wait"}}},
      {"tool_response",
       {{"stdout", "partial output"},
        {"stderr", ""},
        {"interrupted", interrupted},
        {"isImage", false}}},
      {"tool_use_id", "toolu_01B"},
  };
}

const std::string backgroundInput =
    R"({"session_id":"5f1c","transcript_path":"/t.jsonl","cwd":"/work",)"
    R"("hook_event_name":"PreToolUse","tool_name":"mcp__ccd_sidebar__list_groups",)"
    R"("tool_input":{},"tool_use_id":"toolu_01C"})";

const std::string sessionStart =
    R"({"session_id":"5f1c","transcript_path":"/t.jsonl","cwd":"/work",)"
    R"("hook_event_name":"SessionStart","source":"startup"})";

// Runs hook.sh once per input with PATH set to `tools`; every run must be silent and
// succeed. The lines the events file gained.
std::vector<std::string> record(const test::TempDir& project, const std::string& tools,
                                const std::vector<std::string>& inputs) {
  const std::string hook = ContainerHook::dir(project.path()) + "/hook.sh";
  for (const auto& input : inputs) {
    const auto run = test::runProgram("/bin/sh", {hook}, input, {{"PATH", tools}});
    EXPECT_EQ(run.exitStatus, 0) << input.substr(0, 80);
    EXPECT_EQ(run.out, "") << input.substr(0, 80);
    EXPECT_EQ(run.err, "") << input.substr(0, 80);
  }
  return lines(test::readFile(ContainerHook::log(project.path())));
}

std::vector<std::string> keysOf(const ordered_json& object) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.push_back(key);
  return keys;
}

// What both recorders must write for the inputs above. `eAcute` is how the recorder
// spells "é" in its output, which tells which of them ran.
void expectEventLines(const std::vector<std::string>& written, const std::string& eAcute) {
  ASSERT_EQ(written.size(), 4u);
  const int64_t now = nowMs();
  std::vector<ordered_json> events;
  for (const auto& line : written) {
    EXPECT_EQ(line.find(": "), std::string::npos) << "not compact: " << line;
    events.push_back(ordered_json::parse(line));
    auto& event = events.back();
    ASSERT_TRUE(event["t"].is_number_integer()) << line;
    EXPECT_NEAR(static_cast<double>(event["t"].get<int64_t>()), static_cast<double>(now), 60000);
    EXPECT_EQ(event["ctr"], hostName());
    EXPECT_EQ(event["session_id"], "5f1c");
    EXPECT_EQ(event["cwd"], "/work");
  }
  EXPECT_NE(written[0].find(eAcute), std::string::npos) << written[0];

  auto& bash = events[0];
  EXPECT_EQ(keysOf(bash),
            (std::vector<std::string>{"t", "ctr", "hook_event_name", "session_id", "cwd",
                                      "tool_name", "tool_use_id", "tool_input"}));
  EXPECT_EQ(bash["hook_event_name"], "PreToolUse");
  EXPECT_EQ(bash["tool_name"], "Bash");
  EXPECT_EQ(bash["tool_use_id"], "toolu_01A");
  EXPECT_EQ(keysOf(bash["tool_input"]),
            (std::vector<std::string>{"command", "description", "run_in_background"}));
  EXPECT_EQ(bash["tool_input"]["command"], cutCommand);
  EXPECT_EQ(bash["tool_input"]["description"], "Print a long line");
  EXPECT_EQ(bash["tool_input"]["run_in_background"], false);

  auto& interrupted = events[1];
  EXPECT_EQ(keysOf(interrupted),
            (std::vector<std::string>{"t", "ctr", "hook_event_name", "session_id", "cwd",
                                      "tool_name", "tool_use_id", "tool_input", "tool_response"}));
  EXPECT_EQ(interrupted["tool_use_id"], "toolu_01B");
  EXPECT_EQ(interrupted["tool_response"], ordered_json::parse(R"({"is_error":true})"));

  auto& finished = events[2];
  EXPECT_EQ(finished["hook_event_name"], "PostToolUse");
  EXPECT_FALSE(finished.contains("tool_response")) << written[2];

  auto& started = events[3];
  EXPECT_EQ(keysOf(started),
            (std::vector<std::string>{"t", "ctr", "hook_event_name", "session_id", "cwd"}));
  EXPECT_EQ(started["hook_event_name"], "SessionStart");
}

std::vector<std::string> allInputs() {
  return {bashInput,
          postToolUse(true).dump(),
          backgroundInput,
          "{\"session_id\":\"5f1c\",\"hook_event_name\":\"Pre",
          postToolUse(false).dump(),
          sessionStart,
          "[1,2]"};
}

struct Tools {
  std::string node = interpreter("node", {"-p", "process.execPath"});
  std::string python = interpreter("python3", {"-c", "import sys; print(sys.executable)"});
  std::string dirname = onPath("dirname");
  std::string cat = onPath("cat");
};

TEST(ContainerHook, NodeRecorderWritesOneTrimmedLinePerEvent) {
  const Tools tools;
  ASSERT_NE(tools.node, "") << "node is needed to test record.js";
  ASSERT_NE(tools.python, "") << "python3 is needed beside node";
  test::TempDir project;
  ContainerHook::install(project.path());
  // python3 is there too: node is preferred.
  const std::string path = toolFolder(project, {{"node", tools.node},
                                                {"python3", tools.python},
                                                {"dirname", tools.dirname},
                                                {"cat", tools.cat}});
  expectEventLines(record(project, path, allInputs()), "\u00e9");
}

TEST(ContainerHook, PythonRecorderWritesTheSameLinesWhenNodeIsMissing) {
  const Tools tools;
  ASSERT_NE(tools.python, "") << "python3 is needed to test record.py";
  test::TempDir project;
  ContainerHook::install(project.path());
  const std::string path = toolFolder(
      project, {{"python3", tools.python}, {"dirname", tools.dirname}, {"cat", tools.cat}});
  expectEventLines(record(project, path, allInputs()), "\\u00e9");
}

TEST(ContainerHook, WithoutNodeOrPythonTheHookReadsItsInputAndWritesNothing) {
  const Tools tools;
  test::TempDir project;
  ContainerHook::install(project.path());
  const std::string path = toolFolder(project, {{"dirname", tools.dirname}, {"cat", tools.cat}});
  EXPECT_TRUE(record(project, path, allInputs()).empty());
  // What the hook left unread would reach the `cat` after it.
  const auto run = test::runProgram(
      "/bin/sh",
      {"-c", "/bin/sh \"$1\"; cat", "sh", ContainerHook::dir(project.path()) + "/hook.sh"},
      bashInput, {{"PATH", path}});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_FALSE(fs::exists(ContainerHook::log(project.path())));
}

TEST(ContainerHook, RegisteredCommandRecordsOnLinuxAndDoesNothingOnAMac) {
  test::TempDir project;
  ContainerHook::install(project.path());
  const std::string command(ContainerHook::command);
  const auto run = test::runProgram("/bin/sh", {"-c", command}, bashInput,
                                    {{"CLAUDE_PROJECT_DIR", project.path()}});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(lines(test::readFile(ContainerHook::log(project.path()))).size(), 1u);

  fs::remove(ContainerHook::log(project.path()));
  test::TempDir mac;
  mac.script("bin/uname", "#!/bin/sh\necho Darwin\n");
  const char* path = std::getenv("PATH");
  const auto onMac =
      test::runProgram("/bin/sh", {"-c", command}, bashInput,
                       {{"CLAUDE_PROJECT_DIR", project.path()},
                        {"PATH", mac / "bin" + ":" + (path != nullptr ? path : "/usr/bin:/bin")}});
  EXPECT_EQ(onMac.exitStatus, 0);
  EXPECT_EQ(onMac.out, "");
  EXPECT_EQ(onMac.err, "");
  EXPECT_FALSE(fs::exists(ContainerHook::log(project.path())));
}

}  // namespace
}  // namespace tessel
