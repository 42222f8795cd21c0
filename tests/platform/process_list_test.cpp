#include "platform/process_list.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "support/processes.h"

extern char** environ;

namespace tessel::platform {
namespace {

std::string shown(std::string_view argument) {
  std::string command;
  appendArgument(command, argument);
  return command;
}

TEST(ProcessList, ShowsArgumentsAsPsDoesInAUtf8Locale) {
  EXPECT_EQ(shown("--name=a  b"), "--name=a  b");
  EXPECT_EQ(shown("tab\there\nand\x7f"), "tab?here?and?");
  // Valid UTF-8 stays, in every length; each byte that is not UTF-8 is one '?'.
  EXPECT_EQ(shown("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"),
            "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");
  EXPECT_EQ(shown("\xff"), "?");
  EXPECT_EQ(shown("a\xc3"), "a?");          // cut off
  EXPECT_EQ(shown("\xc0\xaf"), "??");       // overlong '/'
  EXPECT_EQ(shown("\xed\xa0\x80"), "???");  // a surrogate
  EXPECT_EQ(shown("\xe2\x28\xa1"), "?(?");  // a broken continuation
  EXPECT_EQ(shown("\xc2\x85"), "??");       // a C1 control is not printed either
  EXPECT_EQ(shown(""), "");
}

TEST(ProcessList, ListsRealProcessesWhileOthersComeAndGo) {
  const auto lister = ProcessLister::open();
  ASSERT_NE(lister, nullptr);
  // The shell stays (its script does not end in the sleep), and so do its arguments.
  test::ChildProcess sleeper("/bin/sh",
                             {"-c", "/bin/sleep 30; :", "a  b", "", "tab\there", " ", ""});
  ASSERT_TRUE(test::waitForExecutable(sleeper.pid(), std::filesystem::canonical("/bin/sh")));

  // Short-lived children exit while the lists are read: each must be either whole or
  // absent, and no read may fail.
  std::atomic<bool> done{false};
  std::thread churn([&] {
    char program[] = "/bin/true";
    char* argv[] = {program, nullptr};
    while (!done) {
      pid_t pid = -1;
      if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) == 0) {
        waitpid(pid, nullptr, 0);
      }
    }
  });
  size_t smallest = SIZE_MAX;
  int broken = 0;
  std::vector<ProcessReading> readings;
  for (int round = 0; round < 30; ++round) {
    readings = lister->list();
    smallest = std::min(smallest, readings.size());
    broken += static_cast<int>(std::count_if(readings.begin(), readings.end(), [](const auto& r) {
      return r.pid <= 0 || r.command.empty();
    }));
  }
  done = true;
  churn.join();
  EXPECT_GT(smallest, 2u);
  EXPECT_EQ(broken, 0);

  const auto found = std::find_if(readings.begin(), readings.end(),
                                  [&](const ProcessReading& r) { return r.pid == sleeper.pid(); });
  ASSERT_NE(found, readings.end());
  // An empty argument still takes its space, as `ps` joins them, a tab shows as '?', and
  // trailing spaces are dropped as `ps` drops them.
  EXPECT_EQ(found->command, "/bin/sh -c /bin/sleep 30; : a  b  tab?here");
  EXPECT_EQ(found->ppid, getpid());
  EXPECT_EQ(found->uid, static_cast<int32_t>(geteuid()));
  EXPECT_GT(found->residentBytes, 0);
  EXPECT_GE(found->cpuSeconds, 0);
  // The same process read again keeps its stamp.
  const auto again = lister->list();
  EXPECT_TRUE(std::any_of(again.begin(), again.end(), [&](const ProcessReading& r) {
    return r.pid == sleeper.pid() && r.startStamp == found->startStamp;
  }));

  // Kernel threads go by name; a container may show none of them.
  for (const ProcessReading& r : readings) {
    if (r.pid == 2 && r.ppid == 0) {
      EXPECT_EQ(r.command, "[kthreadd]");
    }
    if (r.ppid == 2) {
      EXPECT_TRUE(r.command.starts_with('[') && r.command.ends_with(']')) << r.command;
    }
  }
}

TEST(ProcessList, FollowsAProcessThatRunsAnotherProgram) {
  const auto lister = ProcessLister::open();
  ASSERT_NE(lister, nullptr);
  const auto command = [&](pid_t pid) {
    for (const ProcessReading& r : lister->list()) {
      if (r.pid == pid) return r.command;
    }
    return std::string("(gone)");
  };
  const std::filesystem::path folder = std::filesystem::temp_directory_path();
  const std::string flag = folder / ("exec-" + std::to_string(getpid()));
  std::filesystem::remove(flag);
  // The shell waits for the flag, then becomes a sleep under the same pid.
  test::ChildProcess child(
      "/bin/sh", {"-c", "while [ ! -e '" + flag + "' ]; do sleep 0.01; done; exec /bin/sleep 30"});
  ASSERT_TRUE(test::waitForExecutable(child.pid(), std::filesystem::canonical("/bin/sh")));
  EXPECT_TRUE(command(child.pid()).starts_with("/bin/sh -c while"));
  { std::ofstream(flag).put('x'); }
  ASSERT_TRUE(test::waitForExecutable(child.pid(), std::filesystem::canonical("/bin/sleep")));
  EXPECT_EQ(command(child.pid()), "/bin/sleep 30");
  std::filesystem::remove(flag);
}

TEST(ProcessList, SeesTheMemoryOfAProcessThatGrew) {
  // No process counts as young and no figure expires, so only the process's having run
  // since the last table can make its memory be read again.
  const auto lister = ProcessLister::open({.youngSeconds = 0, .keptSeconds = 1e9});
  ASSERT_NE(lister, nullptr);
  const auto resident = [&](pid_t pid) {
    for (const ProcessReading& r : lister->list()) {
      if (r.pid == pid) return r.residentBytes;
    }
    return int64_t{-1};
  };
  const std::string flag =
      std::filesystem::temp_directory_path() / ("grow-" + std::to_string(getpid()));
  std::filesystem::remove(flag);
  // The shell waits, then holds 40 MB in a variable.
  test::ChildProcess child(
      "/bin/sh", {"-c", "while [ ! -e '" + flag +
                            "' ]; do sleep 0.01; done; x=$(head -c 40000000 /dev/zero | tr "
                            "'\\0' a); sleep 30"});
  for (int i = 0; i < 5; ++i) EXPECT_LT(resident(child.pid()), 20'000'000);
  std::ofstream(flag).put('1');
  int64_t seen = 0;
  for (int i = 0; i < 500 && seen < 40'000'000; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    seen = resident(child.pid());
  }
  std::filesystem::remove(flag);
  EXPECT_GE(seen, 40'000'000);
}

}  // namespace
}  // namespace tessel::platform
