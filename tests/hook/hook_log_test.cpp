#include "hook/hook_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "platform/process_info.h"
#include "support/processes.h"
#include "support/temp_dir.h"
#include "support/time_zone.h"
#include "util/text.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

TEST(HookLog, NamesOneFilePerLocalDay) {
  const ClaudePaths paths{"/h", "/h/.claude", "/h/app", "/h/support"};
  test::ScopedTimeZone zone("UTC");
  EXPECT_EQ(HookLog::file(paths, Date(1741341600.0)), "/h/support/hook/events-2025-03-07.jsonl");
}

TEST(HookLog, ConcurrentAppendsFromTwoProcessesKeepEveryLineWhole) {
  test::TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  const Date day(1741341600.0);
  std::vector<pid_t> children;
  for (const char* session : {"first", "second"}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int i = 0; i < 1000; ++i) {
        // Lines of varied length, some larger than a page.
        HookRecord record{1741341600000.0 + i,
                          "PreToolUse",
                          session,
                          "Bash",
                          "toolu_" + std::to_string(i),
                          std::string(static_cast<size_t>(i % 7) * 700 + 1, 'x')};
        HookLog::append(record, paths, day);
      }
      _exit(0);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  const std::string text = test::readFile(HookLog::file(paths, day));
  std::map<std::string, int> perSession;
  size_t lines = 0;
  for (std::string_view line : Text::nonEmptyLines(text)) {
    ++lines;
    const auto record = HookRecord::decode(line);
    ASSERT_TRUE(record) << line.substr(0, 80);
    ++perSession[record->s];
  }
  EXPECT_EQ(lines, 2000u);
  EXPECT_EQ(perSession["first"], 1000);
  EXPECT_EQ(perSession["second"], 1000);
  EXPECT_EQ(text.back(), '\n');

  struct stat info {};
  ASSERT_EQ(stat(HookLog::file(paths, day).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// A script for sh that starts a chain of "$1" shells below the one running it, each
// adding its pid to the file "$2"; the last one becomes a sleep.
std::string chainScript(const test::TempDir& dir) {
  return dir.script(
      "level.sh",
      "echo $$ >> \"$2\"; if [ \"$1\" -gt 0 ]; then /bin/sh \"$0\" $(($1 - 1)) \"$2\" & "
      "wait; else exec /bin/sleep 30; fi\n");
}

// The pids in the file, from the top of the chain down, once `count` are there.
std::vector<int32_t> chainPids(const std::string& path, size_t count) {
  std::vector<int32_t> chain;
  for (int attempt = 0; attempt < 500 && chain.size() < count; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    chain.clear();
    const std::string text = test::readFile(path);
    for (std::string_view line : Text::nonEmptyLines(text)) {
      int32_t pid = 0;
      std::from_chars(line.data(), line.data() + line.size(), pid);
      chain.push_back(pid);
    }
  }
  if (chain.size() == count &&
      !test::waitForExecutable(chain.back(), fs::canonical("/bin/sleep"))) {
    chain.clear();
  }
  return chain;
}

TEST(HookLog, FindsTheClaudeProcessAtMostFiveAncestorsUp) {
  test::TempDir dir;
  const std::string claude = dir / "claude";
  fs::copy_file(fs::canonical("/bin/sh"), claude);
  const std::string pids = dir / "pids";
  test::ChildProcess root(claude, {chainScript(dir), "6", pids});
  const std::vector<int32_t> chain = chainPids(pids, 7);
  ASSERT_EQ(chain.size(), 7u);
  ASSERT_EQ(chain[0], root.pid());

  EXPECT_EQ(HookLog::claudeAncestor(root.pid()), root.pid());
  EXPECT_EQ(HookLog::claudeAncestor(chain[1]), root.pid());
  EXPECT_EQ(HookLog::claudeAncestor(chain[5]), root.pid());
  // From the sleep, "claude" is the seventh process up: the walk stops before it.
  EXPECT_EQ(HookLog::claudeAncestor(chain[6]), std::nullopt);
  EXPECT_EQ(HookLog::claudeAncestor(1), std::nullopt);
  EXPECT_EQ(HookLog::claudeAncestor(999999999), std::nullopt);
}

TEST(HookLog, KnowsClaudeByItsVersionsFolderOrTheNameItGivesItself) {
  test::TempDir dir;
  const std::string sh = fs::canonical("/bin/sh");
  const std::string script = chainScript(dir);
  // The native install's executable is named after its version.
  const std::string native = dir / "share/claude/versions/2.0.1";
  fs::create_directories(fs::path(native).parent_path());
  fs::copy_file(sh, native);
  // npm's launcher is a link named "claude" to a program of another name.
  const std::string launcher = dir / "npm/bin/claude";
  fs::create_directories(fs::path(launcher).parent_path());
  fs::create_symlink(sh, launcher);
  struct Case {
    std::string executable;
    std::string argv0;
  };
  // node renames its process "claude"; here the shell is simply started under that name.
  int run = 0;
  for (const Case& start : {Case{native, ""}, Case{launcher, ""}, Case{sh, "claude"}}) {
    SCOPED_TRACE(start.executable + " " + start.argv0);
    const std::string pids = dir / ("pids-" + std::to_string(++run));
    test::ChildProcess root(start.executable, {script, "1", pids}, start.argv0);
    const std::vector<int32_t> chain = chainPids(pids, 2);
    ASSERT_EQ(chain.size(), 2u);
    EXPECT_EQ(HookLog::claudeAncestor(chain[1]), root.pid());
    EXPECT_EQ(HookLog::claudeAncestor(root.pid()), root.pid());
  }

  // Near misses: a "versions" folder that is not Claude's, a name that only starts with
  // "claude". The chain is deep enough that the walk ends at this test's own process.
  const std::string other = dir / "share/tool/versions/2.0.1";
  fs::create_directories(fs::path(other).parent_path());
  fs::copy_file(sh, other);
  const std::string pids = dir / "pids-unrelated";
  test::ChildProcess root(other, {script, "4", pids}, "claude-wrapper");
  const std::vector<int32_t> chain = chainPids(pids, 5);
  ASSERT_EQ(chain.size(), 5u);
  ASSERT_EQ(platform::parentPid(root.pid()), getpid());
  EXPECT_EQ(HookLog::claudeAncestor(chain[4]), std::nullopt);
}

const std::string backgroundLine =
    R"({"t":1,"e":"PreToolUse","s":"s","tool":"mcp__ccd_session_mgmt__get_usage","sum":""})"
    "\n";
const std::string workLine = R"({"t":2,"e":"PreToolUse","s":"s","tool":"Bash","sum":"ls"})"
                             "\n";

TEST(HookLog, PruneRemovesFilesOlderThanSevenDaysThenCompacts) {
  test::TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  const Date now(1741341600.0);
  const std::string keep = dir.write("support/hook/events-2025-02-28.jsonl", workLine);
  const std::string drop = dir.write("support/hook/events-2025-02-27.jsonl", workLine);
  const std::string notLog = dir.write("support/hook/events-notes.txt", backgroundLine);
  const std::string other = dir.write("support/hook/other.jsonl", workLine);
  test::setModified(keep, now - 604800);
  test::setModified(drop, now - 604801);
  test::setModified(other, now - 900000);
  test::setModified(notLog, now - 10);

  HookLog::prune(paths, now);
  EXPECT_TRUE(fs::exists(keep));
  EXPECT_FALSE(fs::exists(drop));
  EXPECT_TRUE(fs::exists(other));
  // Pruned by age like any "events-" file, but never compacted.
  EXPECT_EQ(test::readFile(notLog), backgroundLine);
  // A missing folder is no failure, and is not made.
  const test::TempDir empty;
  HookLog::prune(empty.claudePaths(), now);
  EXPECT_FALSE(fs::exists(empty.claudePaths().hookDir()));
}

TEST(HookLog, CompactDropsBackgroundLinesFromPastDaysOnce) {
  test::TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  const Date now = Date::now();
  const std::string today =
      dir.write(HookLog::file(paths, now).substr(dir.path().size() + 1), backgroundLine + workLine);
  const std::string yesterday = HookLog::file(paths, now - 86400);
  dir.write(yesterday.substr(dir.path().size() + 1),
            backgroundLine + "\n" + workLine + backgroundLine);
  const std::string clean = HookLog::file(paths, now - 2 * 86400);
  dir.write(clean.substr(dir.path().size() + 1), workLine);
  test::setModified(clean, now - 2 * 86400);

  HookLog::compact(paths, now);
  EXPECT_EQ(test::readFile(today), backgroundLine + workLine);
  EXPECT_EQ(test::readFile(yesterday), workLine);
  EXPECT_EQ(test::readFile(clean), workLine);
  struct stat info {};
  ASSERT_EQ(stat(clean.c_str(), &info), 0);
  EXPECT_EQ(info.st_mtime, static_cast<time_t>((now - 2 * 86400).secondsSince1970()));
  ASSERT_EQ(stat(yesterday.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_FALSE(fs::exists(yesterday + ".compacting"));

  // This process compacts a file once: a second pass leaves it alone.
  dir.write(yesterday.substr(dir.path().size() + 1), backgroundLine);
  HookLog::compact(paths, now);
  EXPECT_EQ(test::readFile(yesterday), backgroundLine);
}

TEST(HookLog, TrimKeepsTheLastDaysOfALargeContainerLogOnce) {
  test::TempDir dir;
  const Date now(1741341600.0);
  const double cutoff = (now.secondsSince1970() - 3 * 86400) * 1000;
  const auto line = [](std::string_view t) {
    return R"({"t":)" + std::string(t) +
           R"(,"e":"PreToolUse","s":"c1","tool":"Bash"})"
           "\n";
  };
  const std::string atCutoff = line(std::to_string(static_cast<int64_t>(cutoff)));
  const std::string recent = line("1741341500000.5");
  const std::string contents = line(std::to_string(static_cast<int64_t>(cutoff) - 1)) + atCutoff +
                               R"({"e":"Stop","s":"c1"})"
                               "\n" +
                               "not json\n" + "[1,2]\n" + line("\"1741341500000\"") + "\n" +
                               recent + R"({"t":17413415)";

  const std::string exact = dir.write("exact.jsonl", contents);
  HookLog::trimContainerLog(exact, 3, contents.size(), now);
  EXPECT_EQ(test::readFile(exact), contents);

  const std::string large = dir.write("large.jsonl", contents);
  HookLog::trimContainerLog(large, 3, contents.size() - 1, now);
  EXPECT_EQ(test::readFile(large), atCutoff + recent);

  dir.write("large.jsonl", contents);
  HookLog::trimContainerLog(large, 3, 0, now);
  EXPECT_EQ(test::readFile(large), contents);

  HookLog::trimContainerLog(dir / "missing.jsonl", 3, 0, now);
  EXPECT_FALSE(fs::exists(dir / "missing.jsonl"));
}

}  // namespace
}  // namespace tessel
