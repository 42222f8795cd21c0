#include "environments/shell.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace tessel {
namespace {

using test::TempDir;

// Exactly `count` copies of `byte`; says what differs instead of printing megabytes.
::testing::AssertionResult isRun(const std::string& text, size_t count, char byte) {
  if (text.size() != count) {
    return ::testing::AssertionFailure() << text.size() << " bytes instead of " << count;
  }
  const size_t stray = text.find_first_not_of(byte);
  if (stray != std::string::npos) return ::testing::AssertionFailure() << "stray byte at " << stray;
  return ::testing::AssertionSuccess();
}

TEST(Shell, ConcurrentRunsEachCaptureBothStreamsInFull) {
  TempDir dir;
  // Alternating writes, each more than a pipe holds: a runner that drains one stream
  // before the other deadlocks on the full second pipe.
  dir.script("chatty",
             "#!/bin/sh\n"
             "i=0\n"
             "while [ $i -lt 16 ]; do\n"
             "  /usr/bin/head -c 65536 /dev/zero | /usr/bin/tr '\\0' \"$1\"\n"
             "  /usr/bin/head -c 19200 /dev/zero | /usr/bin/tr '\\0' \"$2\" >&2\n"
             "  i=$((i + 1))\n"
             "done\n");
  const ToolRunner runner({dir.path()});
  constexpr int threadCount = 4;
  std::vector<std::vector<Shell::Result>> results(threadCount);
  {
    std::vector<std::jthread> threads;
    for (int index = 0; index < threadCount; ++index) {
      threads.emplace_back([&results, &runner, index] {
        const std::string out(1, static_cast<char>('a' + index));
        const std::string err(1, static_cast<char>('A' + index));
        for (int run = 0; run < 2; ++run) {
          results[index].push_back(runner.tool("chatty", {out, err}, 60).value_or(Shell::Result{}));
        }
      });
    }
  }
  for (int index = 0; index < threadCount; ++index) {
    for (const Shell::Result& result : results[index]) {
      EXPECT_TRUE(result.ok()) << index;
      EXPECT_TRUE(isRun(result.out, size_t{16} * 65536, static_cast<char>('a' + index))) << index;
      EXPECT_TRUE(isRun(result.err, size_t{16} * 19200, static_cast<char>('A' + index))) << index;
    }
  }
}

TEST(Shell, ReportsHowTheProgramEnded) {
  TempDir dir;
  // Arguments arrive verbatim, without a shell; invalid UTF-8 is repaired in both streams.
  const std::string failing = dir.script("failing",
                                         "#!/bin/sh\n"
                                         "printf '%s|' \"$0\" \"$@\"\n"
                                         "printf 'bad \\377 out'\n"
                                         "printf 'bad \\300 err' >&2\n"
                                         "exit 3\n");
  const Shell::Result failed = Shell::run(failing, {"a b", "$HOME", "*", ""}, 30);
  EXPECT_EQ(failed, (Shell::Result{.status = 3,
                                   .out = failing + "|a b|$HOME|*||bad \xEF\xBF\xBD out",
                                   .err = "bad \xEF\xBF\xBD err"}));
  EXPECT_FALSE(failed.ok());

  const std::string killed = dir.script("killed", "#!/bin/sh\nkill -USR1 $$\n/bin/sleep 30\n");
  EXPECT_EQ(Shell::run(killed, {}, 30), (Shell::Result{.status = SIGUSR1}));

  const std::string plain = dir.write("plain", "#!/bin/sh\nexit 0\n");
  for (const std::string& path : {dir / "missing", plain, dir.path()}) {
    const Shell::Result result = Shell::run(path, {}, 10);
    EXPECT_EQ(result.status, -1) << path;
    EXPECT_EQ(result.out, "") << path;
    EXPECT_NE(result.err, "") << path;
  }
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
  EXPECT_EQ(result, (Shell::Result{.status = 0}));
}

TEST(Shell, TimedOutProgramsAreTerminatedThenKilled) {
  TempDir dir;
  // exec, so the signals reach the sleeping program itself and no grandchild keeps the
  // output open.
  const std::string sleeper =
      dir.script("sleeper", "#!/bin/sh\nprintf started\nexec /bin/sleep 30\n");
  EXPECT_EQ(Shell::run(sleeper, {}, 0.5),
            (Shell::Result{.status = SIGTERM, .out = "started", .timedOut = true}));

  // Ignored signals stay ignored across exec.
  const std::string stubborn =
      dir.script("stubborn", "#!/bin/sh\ntrap '' TERM\nexec /bin/sleep 30\n");
  EXPECT_EQ(Shell::run(stubborn, {}, 0.5), (Shell::Result{.status = SIGKILL, .timedOut = true}));

  // A caller that blocks SIGTERM (as a signal-handling thread does) must not pass the
  // block on, or the child would only ever end by SIGKILL.
  sigset_t term, previous;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, &previous), 0);
  const Shell::Result blocked = Shell::run("/bin/sleep", {"30"}, 0.3);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  EXPECT_EQ(blocked, (Shell::Result{.status = SIGTERM, .timedOut = true}));
}

TEST(Shell, DoesNotWaitForAGrandchildHoldingTheOutputOpen) {
  TempDir dir;
  const std::string parent =
      dir.script("parent", "#!/bin/sh\n(/bin/sleep 3; printf late) &\nprintf done\nexit 0\n");
  // What the program itself wrote is kept; a runner that waited for the grandchild
  // would also have read "late".
  EXPECT_EQ(Shell::run(parent, {}, 30), (Shell::Result{.status = 0, .out = "done"}));
}

TEST(Shell, SearchPathsAreOursWhateverTheEnvironmentSays) {
  TempDir dir;
  const std::string printPath = dir.script("print-path", "#!/bin/sh\nprintf '%s' \"$PATH\"\n");
  const passwd* user = getpwuid(getuid());
  ASSERT_NE(user, nullptr);
  const std::string home = user->pw_dir;
  const auto variable = [](const char* name) {
    const char* value = getenv(name);
    return std::string(value != nullptr ? value : "");
  };
  const std::string ourPath = variable("PATH");
  const std::string ourHome = variable("HOME");
  setenv("PATH", "/nowhere/at/all", 1);
  setenv("HOME", "/not/the/home", 1);

  // The home directory comes from the user database.
  const std::vector<std::string> paths = Shell::standardSearchPaths();
  EXPECT_EQ(paths.at(6), home + "/.orbstack/bin");
  EXPECT_EQ(ToolRunner().searchPaths(), paths);
  // The child's PATH is the search paths, never ours.
  std::string standard;
  for (const auto& folder : paths) standard += (standard.empty() ? "" : ":") + folder;
  EXPECT_EQ(Shell::run(printPath, {}, 10).out, standard);
  const ToolRunner runner({dir / "one", dir / "two"});
  EXPECT_EQ(runner.run(printPath, {}, 10).out, dir / "one" + ":" + dir / "two");
  EXPECT_EQ(Shell::run(printPath, {}, 10, {}).out, "");

  setenv("PATH", ourPath.c_str(), 1);
  setenv("HOME", ourHome.c_str(), 1);
}

TEST(Shell, FindsTheFirstExecutableFileInSearchOrderAndRunsOnlyThat) {
  TempDir first, second, marks;
  const std::string firstBoth = first.script("both", "#!/bin/sh\nprintf 'first %s' \"$1\"\n");
  second.script("both", "#!/bin/sh\nprintf second\n");
  first.write("not-executable", "#!/bin/sh\nexit 0\n");
  const std::string executableSecond = second.script("not-executable", "#!/bin/sh\nexit 0\n");
  std::filesystem::create_directories(first / "folder");
  const std::string folderSecond = second.script("folder", "#!/bin/sh\nexit 0\n");
  // Would leave a mark if anything ran it.
  first.write("only-plain", "#!/bin/sh\n/usr/bin/touch '" + (marks / "ran") + "'\n");
  const ToolRunner runner({first.path(), second.path()});

  EXPECT_EQ(runner.find("both"), firstBoth);
  EXPECT_EQ(runner.find("not-executable"), executableSecond);
  EXPECT_EQ(runner.find("folder"), folderSecond);
  EXPECT_EQ(runner.find("missing"), std::nullopt);
  // A name is looked for in the folders only, never as a path of its own.
  const std::string firstName = std::filesystem::path(first.path()).filename();
  EXPECT_TRUE(std::filesystem::exists(first / ("../" + firstName + "/both")));
  EXPECT_EQ(runner.find("../" + firstName + "/both"), std::nullopt);
  EXPECT_EQ(runner.find(""), std::nullopt);

  EXPECT_EQ(runner.tool("both", {"arg"}, 10), (Shell::Result{.status = 0, .out = "first arg"}));
  EXPECT_EQ(runner.tool("only-plain", {}, 10), std::nullopt);
  EXPECT_EQ(runner.tool("missing", {}, 10), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(marks / "ran"));
}

TEST(Shell, AnswersAreKeptForTheLifeOfTheRunner) {
  TempDir dir;
  const ToolRunner runner({dir.path()});
  EXPECT_EQ(runner.find("late"), std::nullopt);
  const std::string late = dir.script("late", "#!/bin/sh\nexit 0\n");
  EXPECT_EQ(runner.tool("late", {}, 10), std::nullopt);

  const std::string early = dir.script("early", "#!/bin/sh\nexit 0\n");
  EXPECT_EQ(runner.find("early"), early);
  std::filesystem::remove(early);
  EXPECT_EQ(runner.find("early"), early);

  const ToolRunner fresh({dir.path()});
  EXPECT_EQ(fresh.find("late"), late);
  EXPECT_EQ(fresh.find("early"), std::nullopt);
}

}  // namespace
}  // namespace tessel
