// The container hook as a project holds it: real settings files and scripts in a
// temporary project folder, and the scripts run by the real sh, node and python3.
#include "hook/container_hook.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>

#include "hook/hook_log_reader.h"
#include "install/container_hook_installer.h"
#include "install/hook_installer.h"
#include "model/claude_settings.h"
#include "support/processes.h"
#include "support/temp_dir.h"
#include "util/date.h"
#include "util/text.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using nlohmann::ordered_json;

json settingsOf(const test::TempDir& project) {
  return json::parse(test::readFile(ContainerHook::settingsPath(project.path())));
}

// Every line of the file, empty ones included.
std::vector<std::string> linesOf(const std::string& path) {
  const std::string text = test::readFile(path);
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// The sentence `action` threw as an `Error`, or "" when it did not throw.
template <class Error = std::runtime_error, class Action>
std::string thrown(Action action) {
  try {
    action();
  } catch (const Error& failure) {
    return failure.what();
  }
  return "";
}

const std::string userSettings = R"json({
  "permissions": {"allow": ["Bash(npm test)"]},
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
  project.write(".claude/settings.local.json", userSettings);
  EXPECT_FALSE(ContainerHook::isInstalled(project.path()));
  ContainerHook::install(project.path());
  ContainerHook::install(project.path());
  EXPECT_TRUE(ContainerHook::isInstalled(project.path()));

  json expected = json::parse(userSettings);
  for (std::string_view event : ClaudeSettings::hookEvents) {
    json group = {{"hooks", {{{"type", "command"}, {"command", ContainerHook::command}}}}};
    if (event == "PreToolUse" || event == "PostToolUse" || event == "PostToolUseFailure") {
      group["matcher"] = "*";
    }
    expected["hooks"][std::string(event)].push_back(group);
  }
  EXPECT_EQ(settingsOf(project), expected);
  const std::string dir = ContainerHook::dir(project.path());
  EXPECT_EQ(test::readFile(dir + "/.gitignore"), "*\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 4)
      << "hook.sh, record.js, record.py, .gitignore and no temporary file";

  project.write(".claude/tessel/events.jsonl", "{}\n");
  ContainerHook::remove(project.path());
  EXPECT_EQ(settingsOf(project), json::parse(userSettings));
  EXPECT_FALSE(ContainerHook::isInstalled(project.path()));
  EXPECT_FALSE(fs::exists(ContainerHook::dir(project.path())));

  // No settings file at all: install makes one, and remove leaves no empty "hooks".
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

TEST(ContainerHook, FailuresNameTheirPathAndNeverRewriteUnreadableSettings) {
  for (const std::string broken : {R"({"hooks": {"Stop": [)", "[1, 2]"}) {
    SCOPED_TRACE(broken);
    test::TempDir project;
    const std::string path = project.write(".claude/settings.local.json", broken);
    const std::string sentence =
        "Couldn\u2019t read " + path + ". It may not be valid JSON; nothing was changed.";
    EXPECT_FALSE(ContainerHook::isInstalled(project.path()));
    EXPECT_EQ(thrown<HookInstaller::Failure>([&] { ContainerHook::install(project.path()); }),
              sentence);
    EXPECT_EQ(thrown<HookInstaller::Failure>([&] { ContainerHook::remove(project.path()); }),
              sentence);
    EXPECT_EQ(test::readFile(path), broken);
  }

  // A file where the hook's folder belongs, and a folder where a script belongs.
  test::TempDir project;
  project.write(".claude/tessel", "");
  EXPECT_EQ(thrown([&] { ContainerHook::install(project.path()); }),
            "Couldn\u2019t create " + ContainerHook::dir(project.path()) + ".");
  EXPECT_FALSE(fs::exists(ContainerHook::settingsPath(project.path())));
  test::TempDir blocked;
  fs::create_directories(blocked / ".claude/tessel/record.js/inside");
  EXPECT_EQ(thrown([&] { ContainerHook::install(blocked.path()); }),
            "Couldn\u2019t save " + ContainerHook::dir(blocked.path()) + "/record.js.");
  EXPECT_FALSE(fs::exists(ContainerHook::settingsPath(blocked.path())));
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

// The first line a shell command prints, found through this process's PATH; "" when it
// fails. Interpreters are asked for their own executable: version managers put wrapper
// scripts on PATH that need tools of their own to run.
std::string shellAnswer(const std::string& command) {
  return std::string(
      Text::firstLine(test::runProgram("/bin/sh", {"-c", command + " 2>/dev/null"}, "").out));
}

struct Tools {
  std::string node = shellAnswer("node -p process.execPath");
  std::string python = shellAnswer("python3 -c 'import sys; print(sys.executable)'");
  std::string dirname = shellAnswer("command -v dirname");
  std::string cat = shellAnswer("command -v cat");
};

// A folder for PATH holding links to the tools hook.sh may use.
std::string toolFolder(const test::TempDir& temp, const std::map<std::string, std::string>& tools) {
  std::string folder = temp / "bin";
  fs::create_directories(folder);
  for (const auto& [name, target] : tools) fs::create_symlink(target, folder + "/" + name);
  return folder;
}

// "a"s, then characters of two, four and one bytes, with a four-byte one straddling
// both the 400th UTF-16 unit and the 400th byte.
std::string withCodePoints(size_t count) {
  std::string text(397, 'a');
  const char* pattern[] = {"\u00e9", "\U0001F600", "x"};
  for (size_t i = 0; 397 + i < count; ++i) text += pattern[i % 3];
  return text;
}

const std::string bashInput =
    R"({"session_id":"5f1c","transcript_path":"/root/.claude/projects/-work/5f1c.jsonl",)"
    R"("cwd":"/work","permission_mode":"default","hook_event_name":"PreToolUse","tool_name":"Bash",)"
    R"("tool_input":{"description":"Print a long line","command":")" +
    withCodePoints(1000) +
    R"(","timeout":120000,"run_in_background":false},"tool_use_id":"toolu_01A"})";

std::string postToolUse(std::string_view interrupted) {
  return R"({"session_id":"5f1c","transcript_path":"/t.jsonl","cwd":"/work",)"
         R"("hook_event_name":"PostToolUse","tool_name":"Bash",)"
         R"("tool_input":{"command":"sleep 600","description":"Wait"},"tool_response":)"
         R"({"stdout":"partial output","stderr":"","interrupted":)" +
         std::string(interrupted) + R"(,"isImage":false},"tool_use_id":"toolu_01B"})";
}

// How Claude Code reports a call that failed: no "tool_response", the error beside it.
const std::string failedCall =
    R"({"session_id":"5f1c","transcript_path":"/t.jsonl","cwd":"/work","permission_mode":"default",)"
    R"("hook_event_name":"PostToolUseFailure","tool_name":"Bash",)"
    R"("tool_input":{"command":"make test","description":"Run the tests"},)"
    R"("tool_use_id":"toolu_01A","error":"Exit code 2\nmake: *** [test] Error 1","is_interrupt":false})";

// Two calls, then what is not logged (a background tool, a cut input, an array), then a
// finished call, the first call's failure and a session event.
const std::vector<std::string> hookInputs = {
    bashInput,
    postToolUse("true"),
    std::string(R"({"session_id":"5f1c","cwd":"/work","hook_event_name":"PreToolUse",)"
                R"("tool_name":"mcp__ccd_sidebar__list_groups","tool_use_id":"toolu_01C"})"),
    R"({"session_id":"5f1c","hook_event_name":"Pre)",
    postToolUse("false"),
    failedCall,
    R"({"session_id":"5f1c","cwd":"/work","hook_event_name":"SessionStart","source":"startup"})",
    "[1,2]",
};

// Runs hook.sh once per input with PATH set to `tools`; every run must be silent and
// succeed. The lines of the events file afterwards.
std::vector<std::string> record(const test::TempDir& project, const std::string& tools,
                                const std::vector<std::string>& inputs) {
  const std::string hook = ContainerHook::dir(project.path()) + "/hook.sh";
  for (const auto& input : inputs) {
    const auto run = test::runProgram("/bin/sh", {hook}, input, {{"PATH", tools}});
    EXPECT_EQ(run.exitStatus, 0) << input.substr(0, 80);
    EXPECT_EQ(run.out + run.err, "") << input.substr(0, 80);
  }
  return linesOf(ContainerHook::log(project.path()));
}

// What both recorders must write for hookInputs, keys in this order after "t". `eAcute`
// is how the recorder spells "é", which tells which of them ran.
void expectEventLines(const std::vector<std::string>& written, const std::string& eAcute) {
  const ordered_json call = {{"ctr", std::string(Text::firstLine(test::readFile("/etc/hostname")))},
                             {"hook_event_name", "PostToolUse"},
                             {"session_id", "5f1c"},
                             {"cwd", "/work"},
                             {"tool_name", "Bash"},
                             {"tool_use_id", "toolu_01B"},
                             {"tool_input", {{"command", "sleep 600"}, {"description", "Wait"}}}};
  ordered_json started = call;
  started["tool_input"] = {{"command", withCodePoints(400)},
                           {"description", "Print a long line"},
                           {"run_in_background", false}};
  started["hook_event_name"] = "PreToolUse";
  started["tool_use_id"] = "toolu_01A";
  ordered_json interrupted = call;
  interrupted["tool_response"] = {{"is_error", true}};
  ordered_json failed = interrupted;
  failed["hook_event_name"] = "PostToolUseFailure";
  failed["tool_use_id"] = "toolu_01A";
  failed["tool_input"] = {{"command", "make test"}, {"description", "Run the tests"}};
  ordered_json session = call;
  for (const char* key : {"tool_name", "tool_use_id", "tool_input"}) session.erase(key);
  session["hook_event_name"] = "SessionStart";
  const std::vector<ordered_json> expected = {started, interrupted, call, failed, session};

  ASSERT_EQ(written.size(), expected.size());
  EXPECT_NE(written[0].find(eAcute), std::string::npos) << written[0];
  const double now = Date::now().millisSince1970();
  for (size_t i = 0; i < written.size(); ++i) {
    SCOPED_TRACE(written[i]);
    EXPECT_EQ(written[i].find(": "), std::string::npos) << "not compact";
    ordered_json event = ordered_json::parse(written[i]);
    ASSERT_TRUE(event["t"].is_number_integer());
    EXPECT_NEAR(event["t"].get<double>(), now, 60000);
    event.erase("t");
    EXPECT_EQ(event, expected[i]);
  }
}

TEST(ContainerHook, EitherRecorderWritesOneTrimmedLinePerEvent) {
  const Tools tools;
  ASSERT_NE(tools.node, "") << "node is needed to test record.js";
  ASSERT_NE(tools.python, "") << "python3 is needed to test record.py";
  struct Case {
    std::map<std::string, std::string> interpreters;
    std::string eAcute;
  };
  // With python3 there too, node is preferred.
  for (Case recorder : {Case{{{"node", tools.node}, {"python3", tools.python}}, "\u00e9"},
                        Case{{{"python3", tools.python}}, "\\u00e9"}}) {
    SCOPED_TRACE(recorder.eAcute);
    test::TempDir project;
    ContainerHook::install(project.path());
    recorder.interpreters.insert({{"dirname", tools.dirname}, {"cat", tools.cat}});
    expectEventLines(record(project, toolFolder(project, recorder.interpreters), hookInputs),
                     recorder.eAcute);

    // Read back on the host, the failure ends the first call as failed; the second
    // call's last word was a plain end.
    HookLogReader reader("");
    const auto read =
        reader.refresh(std::vector<std::string>{ContainerHook::log(project.path())}, Date::now());
    std::map<std::string, ToolEvent> calls;
    for (const auto& event : read.events) calls.emplace(event->id, *event);
    ASSERT_EQ(calls.size(), 2u);
    const ToolEvent& first = calls.at("toolu_01A");
    ASSERT_TRUE(first.end);
    EXPECT_GE(*first.end, first.start);
    EXPECT_TRUE(first.isError);
    ASSERT_TRUE(calls.at("toolu_01B").end);
    EXPECT_FALSE(calls.at("toolu_01B").isError);
  }
}

TEST(ContainerHook, WithoutNodeOrPythonTheHookReadsItsInputAndWritesNothing) {
  const Tools tools;
  test::TempDir project;
  ContainerHook::install(project.path());
  const std::string path = toolFolder(project, {{"dirname", tools.dirname}, {"cat", tools.cat}});
  EXPECT_TRUE(record(project, path, hookInputs).empty());
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
  EXPECT_EQ(linesOf(ContainerHook::log(project.path())).size(), 1u);

  fs::remove(ContainerHook::log(project.path()));
  project.script("mac/uname", "#!/bin/sh\necho Darwin\n");
  const char* path = std::getenv("PATH");
  const auto onMac = test::runProgram(
      "/bin/sh", {"-c", command}, bashInput,
      {{"CLAUDE_PROJECT_DIR", project.path()},
       {"PATH", project / "mac" + ":" + (path != nullptr ? path : "/usr/bin:/bin")}});
  EXPECT_EQ(onMac.exitStatus, 0);
  EXPECT_EQ(onMac.out + onMac.err, "");
  EXPECT_FALSE(fs::exists(ContainerHook::log(project.path())));
}

}  // namespace
}  // namespace tessel
