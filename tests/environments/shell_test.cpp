#include "environments/shell.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace tessel {
namespace {

using test::TempDir;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Exactly `count` copies of `byte`; says what differs instead of printing megabytes.
::testing::AssertionResult isRun(const std::string& text, size_t count, char byte) {
  if (text.size() != count) {
    return ::testing::AssertionFailure() << text.size() << " bytes instead of " << count;
  }
  const size_t stray = text.find_first_not_of(byte);
  if (stray != std::string::npos) return ::testing::AssertionFailure() << "stray byte at " << stray;
  return ::testing::AssertionSuccess();
}

std::string joined(const std::vector<std::string>& folders) {
  std::string text;
  for (const auto& folder : folders) text += (text.empty() ? "" : ":") + folder;
  return text;
}

TEST(Shell, CapturesBothStreamsInFullWhenEachOverflowsAPipe) {
  TempDir dir;
  // Alternating writes: a runner that drains one stream before the other deadlocks on
  // the full second pipe.
  const std::string script =
      dir.script("chatty",
                 "#!/bin/sh\n"
                 "i=0\n"
                 "while [ $i -lt 16 ]; do\n"
                 "  /usr/bin/head -c 65536 /dev/zero | /usr/bin/tr '\\0' o\n"
                 "  /usr/bin/head -c 19200 /dev/zero | /usr/bin/tr '\\0' e >&2\n"
                 "  i=$((i + 1))\n"
                 "done\n");
  const Shell::Result result = Shell::run(script, {}, 60);
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(result.status, 0);
  EXPECT_FALSE(result.timedOut);
  EXPECT_TRUE(isRun(result.out, size_t{16} * 65536, 'o'));
  EXPECT_TRUE(isRun(result.err, size_t{16} * 19200, 'e'));
}

TEST(Shell, ReportsExitCodesSignalsAndRepairedText) {
  TempDir dir;
  const std::string failing = dir.script("failing",
                                         "#!/bin/sh\n"
                                         "printf 'bad \\377 out'\n"
                                         "printf 'bad \\300 err' >&2\n"
                                         "exit 3\n");
  const Shell::Result failed = Shell::run(failing, {}, 30);
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(failed.status, 3);
  EXPECT_FALSE(failed.timedOut);
  EXPECT_EQ(failed.out, "bad \xEF\xBF\xBD out");
  EXPECT_EQ(failed.err, "bad \xEF\xBF\xBD err");

  const std::string killed = dir.script("killed", "#!/bin/sh\nkill -USR1 $$\n/bin/sleep 30\n");
  const Shell::Result signalled = Shell::run(killed, {}, 30);
  EXPECT_FALSE(signalled.ok());
  EXPECT_EQ(signalled.status, SIGUSR1);
  EXPECT_FALSE(signalled.timedOut);
}

TEST(Shell, PassesArgumentsVerbatimWithoutAShell) {
  TempDir dir;
  const std::string echo = dir.script("echo", "#!/bin/sh\nprintf '%s|' \"$0\" \"$@\"\n");
  const Shell::Result result = Shell::run(echo, {"a b", "$HOME", "*", ""}, 30);
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(result.out, echo + "|a b|$HOME|*||");
}

TEST(Shell, GivesTheChildAnEmptyStandardInput) {
  // Our own standard input becomes a pipe nobody writes to: a child that inherited it
  // would wait on it until its time-out.
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const int savedInput = dup(STDIN_FILENO);
  ASSERT_GE(savedInput, 0);
  dup2(pipeFds[0], STDIN_FILENO);
  const Shell::Result result = Shell::run("/bin/cat", {}, 10);
  dup2(savedInput, STDIN_FILENO);
  close(savedInput);
  close(pipeFds[0]);
  close(pipeFds[1]);
  EXPECT_TRUE(result.ok());
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.out, "");
}

TEST(Shell, TimedOutProgramsAreTerminatedThenKilled) {
  TempDir dir;
  // exec, so the signals reach the sleeping program itself and no grandchild keeps the
  // output open.
  const std::string sleeper =
      dir.script("sleeper", "#!/bin/sh\nprintf started\nexec /bin/sleep 30\n");
  Clock::time_point start = Clock::now();
  const Shell::Result terminated = Shell::run(sleeper, {}, 0.5);
  double elapsed = secondsSince(start);
  EXPECT_TRUE(terminated.timedOut);
  EXPECT_FALSE(terminated.ok());
  EXPECT_EQ(terminated.status, SIGTERM);
  EXPECT_EQ(terminated.out, "started");
  EXPECT_GE(elapsed, 0.45);
  EXPECT_LT(elapsed, 5.0);

  // Ignored signals stay ignored across exec.
  const std::string stubborn =
      dir.script("stubborn", "#!/bin/sh\ntrap '' TERM\nexec /bin/sleep 30\n");
  start = Clock::now();
  const Shell::Result killed = Shell::run(stubborn, {}, 0.5);
  elapsed = secondsSince(start);
  EXPECT_TRUE(killed.timedOut);
  EXPECT_EQ(killed.status, SIGKILL);
  EXPECT_GE(elapsed, 1.45);
  EXPECT_LT(elapsed, 4.0);

  // A caller that blocks SIGTERM (as a signal-handling thread does) must not pass the
  // block on, or the child would only ever end by SIGKILL.
  sigset_t term, previous;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, &previous), 0);
  const Shell::Result blocked = Shell::run("/bin/sleep", {"30"}, 0.3);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  EXPECT_TRUE(blocked.timedOut);
  EXPECT_EQ(blocked.status, SIGTERM);
}

TEST(Shell, DoesNotWaitForAGrandchildHoldingTheOutputOpen) {
  TempDir dir;
  const std::string parent =
      dir.script("parent", "#!/bin/sh\n/bin/sleep 6 &\nprintf done\nexit 0\n");
  const Clock::time_point start = Clock::now();
  const Shell::Result result = Shell::run(parent, {}, 30);
  const double elapsed = secondsSince(start);
  EXPECT_EQ(result.status, 0);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.out, "");  // its reader never reached the end
  EXPECT_LT(elapsed, 4.0);
}

TEST(Shell, ReportsProgramsThatCannotStart) {
  TempDir dir;
  const std::string plain = dir.write("plain", "#!/bin/sh\nexit 0\n");
  for (const std::string& path : {dir / "missing", plain, dir.path()}) {
    const Shell::Result result = Shell::run(path, {}, 10);
    EXPECT_EQ(result.status, -1) << path;
    EXPECT_EQ(result.out, "") << path;
    EXPECT_NE(result.err, "") << path;
    EXPECT_FALSE(result.timedOut) << path;
    EXPECT_FALSE(result.ok()) << path;
  }
}

TEST(Shell, ChildPathIsTheSearchPathsWhateverOurs) {
  TempDir dir;
  const std::string printPath = dir.script("print-path", "#!/bin/sh\nprintf '%s' \"$PATH\"\n");
  const char* saved = getenv("PATH");
  const std::string ourPath = saved != nullptr ? saved : "";
  setenv("PATH", "/nowhere/at/all", 1);

  const Shell::Result standard = Shell::run(printPath, {}, 10);
  EXPECT_EQ(standard.out, joined(Shell::standardSearchPaths()));
  const ToolRunner runner({dir / "one", dir / "two"});
  EXPECT_EQ(runner.run(printPath, {}, 10).out, dir / "one" + ":" + dir / "two");
  EXPECT_EQ(Shell::run(printPath, {}, 10, {}).out, "");

  if (saved != nullptr) {
    setenv("PATH", ourPath.c_str(), 1);
  } else {
    unsetenv("PATH");
  }
}

TEST(Shell, RealSearchPathsComeFromTheUserDatabase) {
  passwd* user = getpwuid(getuid());
  ASSERT_NE(user, nullptr);
  const std::string home = user->pw_dir;
  const char* savedHome = getenv("HOME");
  const std::string ourHome = savedHome != nullptr ? savedHome : "";
  setenv("HOME", "/not/the/home", 1);

  const std::vector<std::string> paths = Shell::standardSearchPaths();
  ASSERT_EQ(paths.size(), 16u);
  EXPECT_EQ(paths[0], "/opt/homebrew/bin");
  EXPECT_EQ(paths[3], "/bin");
  EXPECT_EQ(paths[6], home + "/.orbstack/bin");
  EXPECT_EQ(paths[9], home + "/.rd/bin");
  EXPECT_EQ(paths[15], "/Applications/VirtualBox.app/Contents/MacOS");

  EXPECT_EQ(ToolRunner().searchPaths(), paths);

  if (savedHome != nullptr) {
    setenv("HOME", ourHome.c_str(), 1);
  } else {
    unsetenv("HOME");
  }
}

TEST(Shell, FindsTheFirstExecutableFileInSearchOrder) {
  TempDir first, second;
  const std::string firstBoth = first.script("both", "#!/bin/sh\nprintf 'first %s' \"$1\"\n");
  second.script("both", "#!/bin/sh\nprintf second\n");
  const std::string onlySecond = second.script("only-second", "#!/bin/sh\nexit 0\n");
  first.write("not-executable", "#!/bin/sh\nexit 0\n");
  const std::string executableSecond = second.script("not-executable", "#!/bin/sh\nexit 0\n");
  std::filesystem::create_directories(first / "folder");
  const std::string folderSecond = second.script("folder", "#!/bin/sh\nexit 0\n");
  const ToolRunner runner({first.path(), second.path()});

  EXPECT_EQ(runner.find("both"), firstBoth);
  EXPECT_EQ(runner.find("only-second"), onlySecond);
  EXPECT_EQ(runner.find("not-executable"), executableSecond);
  EXPECT_EQ(runner.find("folder"), folderSecond);
  EXPECT_EQ(runner.find("missing"), std::nullopt);
  // A name is looked for in the folders only, never as a path of its own.
  const std::string firstName = std::filesystem::path(first.path()).filename();
  EXPECT_TRUE(std::filesystem::exists(first / ("../" + firstName + "/both")));
  EXPECT_EQ(runner.find("../" + firstName + "/both"), std::nullopt);
  EXPECT_EQ(runner.find(""), std::nullopt);

  const std::optional<Shell::Result> ran = runner.tool("both", {"arg"}, 10);
  ASSERT_TRUE(ran.has_value());
  EXPECT_TRUE(ran->ok());
  EXPECT_EQ(ran->out, "first arg");
}

TEST(Shell, ToolsThatAreNotFoundAreNotRun) {
  TempDir dir, marks;
  // Would leave a mark if anything ran it.
  const std::string body = "#!/bin/sh\n/usr/bin/touch '" + (marks / "ran") + "'\n";
  dir.write("tool", body);
  const ToolRunner runner({dir.path()});

  EXPECT_EQ(runner.tool("tool", {}, 10), std::nullopt);
  EXPECT_EQ(runner.tool("missing", {}, 10), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(marks / "ran"));
}

TEST(Shell, AnswersAreKeptForTheLifeOfTheRunner) {
  TempDir dir;
  const ToolRunner runner({dir.path()});
  EXPECT_EQ(runner.find("late"), std::nullopt);
  const std::string late = dir.script("late", "#!/bin/sh\nexit 0\n");
  EXPECT_EQ(runner.find("late"), std::nullopt);
  EXPECT_EQ(runner.tool("late", {}, 10), std::nullopt);

  const std::string early = dir.script("early", "#!/bin/sh\nexit 0\n");
  EXPECT_EQ(runner.find("early"), early);
  std::filesystem::remove(early);
  EXPECT_EQ(runner.find("early"), early);

  const ToolRunner fresh({dir.path()});
  EXPECT_EQ(fresh.find("late"), late);
  EXPECT_EQ(fresh.find("early"), std::nullopt);
  EXPECT_EQ(runner.find("late"), std::nullopt);
}

TEST(Shell, ConcurrentRunsEachGetTheirOwnOutput) {
  TempDir dir;
  const std::string repeat =
      dir.script("repeat",
                 "#!/bin/sh\n"
                 "/usr/bin/head -c 200000 /dev/zero | /usr/bin/tr '\\0' \"$1\"\n"
                 "/usr/bin/head -c 100000 /dev/zero | /usr/bin/tr '\\0' \"$2\" >&2\n");
  const ToolRunner runner({dir.path()});
  constexpr int threadCount = 6;
  constexpr int runsPerThread = 4;
  std::vector<std::vector<Shell::Result>> results(threadCount);
  std::vector<std::thread> threads;
  threads.reserve(threadCount);
  for (int index = 0; index < threadCount; ++index) {
    threads.emplace_back([&results, &runner, index] {
      const std::string out(1, static_cast<char>('a' + index));
      const std::string err(1, static_cast<char>('A' + index));
      for (int run = 0; run < runsPerThread; ++run) {
        std::optional<Shell::Result> result = runner.tool("repeat", {out, err}, 60);
        results[index].push_back(result ? std::move(*result) : Shell::Result{});
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int index = 0; index < threadCount; ++index) {
    ASSERT_EQ(results[index].size(), static_cast<size_t>(runsPerThread));
    for (const Shell::Result& result : results[index]) {
      EXPECT_TRUE(result.ok()) << index;
      EXPECT_TRUE(isRun(result.out, 200000, static_cast<char>('a' + index))) << index;
      EXPECT_TRUE(isRun(result.err, 100000, static_cast<char>('A' + index))) << index;
    }
  }
}

}  // namespace
}  // namespace tessel
