// The built tessel-hook run as Claude Code runs it: input on stdin, HOME pointed at a
// temporary folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "hook/hook_record.h"
#include "support/processes.h"
#include "support/temp_dir.h"
#include "util/text.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

const std::string hookBinary = TESSEL_HOOK_BINARY;

std::string hookDir(const test::TempDir& home) {
  return home / "Library/Application Support/Tessel/hook";
}

std::vector<std::string> loggedLines(const test::TempDir& home) {
  std::vector<std::string> lines;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(hookDir(home), error)) {
    const std::string text = test::readFile(entry.path());
    for (auto line : Text::nonEmptyLines(text)) lines.emplace_back(line);
  }
  return lines;
}

test::Finished runHook(const test::TempDir& home, const std::string& input,
                       const std::vector<std::string>& arguments = {}) {
  return test::runProgram(hookBinary, arguments, input,
                          {{"HOME", home.path()}, {"CLAUDE_CONFIG_DIR", ""}});
}

void expectSilentSuccess(const test::Finished& run) {
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
}

const std::string preToolUse =
    R"({"session_id":"2c4e","transcript_path":"/tmp/2c4e.jsonl","cwd":"/srv/app",)"
    R"("permission_mode":"default","hook_event_name":"PreToolUse","tool_name":"Bash",)"
    R"("tool_input":{"command":"npm test","description":"Run tests"},"tool_use_id":"toolu_01"})";

TEST(HookProgram, LogsOneLinePerEventAndPrintsNothing) {
  test::TempDir home;
  const auto run = runHook(home, preToolUse);
  expectSilentSuccess(run);
  const auto lines = loggedLines(home);
  ASSERT_EQ(lines.size(), 1u);
  const auto record = HookRecord::decode(lines[0]);
  ASSERT_TRUE(record) << lines[0];
  EXPECT_EQ(record->e, "PreToolUse");
  EXPECT_EQ(record->s, "2c4e");
  EXPECT_EQ(record->sum, "npm test");
  EXPECT_EQ(record->id, "toolu_01");
  EXPECT_NEAR(record->date().secondsSince1970(), Date::now().secondsSince1970(), 60);
}

TEST(HookProgram, RecordsTheClaudeProcessThatRanIt) {
  test::TempDir home;
  const std::string claude = home / "claude";
  fs::copy_file(fs::canonical("/bin/sh"), claude);
  const std::string input = home.write("input.json", preToolUse);
  // The shell named "claude" stays the hook's parent ("; true" keeps it from exec'ing).
  const auto run = test::runProgram(
      claude,
      {"-c", "echo $$ > \"$1\"; \"$2\" < \"$3\"; true", "claude", home / "pid", hookBinary, input},
      "", {{"HOME", home.path()}});
  expectSilentSuccess(run);
  const auto lines = loggedLines(home);
  ASSERT_EQ(lines.size(), 1u);
  const std::string pid = test::readFile(home / "pid");
  EXPECT_EQ(HookRecord::decode(lines[0])->pid, std::stoi(pid));
}

TEST(HookProgram, ExitsZeroWithoutWritingForInputItCannotLog) {
  for (const std::string& input : {
           std::string(),
           std::string("{\"session_id\":"),
           // Text that is not UTF-8 in a value the hook otherwise drops unread.
           std::string(R"({"session_id":"s","hook_event_name":"Stop","last_message":")") +
               "\xFF\xFE\"}",
           std::string(R"({"hook_event_name":"Stop"})"),
           std::string(R"({"session_id":"s","hook_event_name":"PreToolUse",)"
                       R"("tool_name":"mcp__ccd_session_mgmt__get_session"})"),
       }) {
    SCOPED_TRACE(input);
    test::TempDir home;
    expectSilentSuccess(runHook(home, input));
    EXPECT_FALSE(fs::exists(home / "Library"));
  }
}

TEST(HookProgram, StaysSilentWhenTheLogCannotBeWritten) {
  test::TempDir home;
  // The hook folder's place is taken by a file, so neither mkdir nor open can succeed
  // (permissions alone would not stop a test running as root).
  home.write("Library/Application Support/Tessel/hook", "not a folder");
  expectSilentSuccess(runHook(home, preToolUse));
  EXPECT_EQ(test::readFile(hookDir(home)), "not a folder");
}

TEST(HookProgram, UninstallAnywhereAmongTheArgumentsReportsInsteadOfLogging) {
  test::TempDir home;
  const auto run = runHook(home, preToolUse, {"--verbose", "--uninstall"});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out,
            "The hook wasn\u2019t in " + home.path() + "/.claude/settings.json.\n" +
                "The companion plugin wasn\u2019t installed.\n" +
                "Done. Start new Claude sessions (or run /reload-plugins) to stop using them.\n");
  EXPECT_TRUE(loggedLines(home).empty());
  // Other arguments are ignored in hook mode.
  expectSilentSuccess(runHook(home, preToolUse, {"--verbose"}));
  EXPECT_EQ(loggedLines(home).size(), 1u);
}

}  // namespace
}  // namespace tessel
