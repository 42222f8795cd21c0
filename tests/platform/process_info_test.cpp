#include "platform/process_info.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/linux/proc_cmdline.h"
#include "platform/linux/proc_stat.h"
#include "support/processes.h"
#include "support/temp_dir.h"

namespace tessel::platform {
namespace {

TEST(ProcStat, FindsTheParentPastAnyCommandName) {
  EXPECT_EQ(ProcStat::parseParentPid("4242 (sleep) S 17 4242 17 34816 4242 4194304 95 0 0 0"), 17);
  // A command name may hold spaces and parentheses of its own.
  EXPECT_EQ(ProcStat::parseParentPid("17966 (cc) (x y) S 17900 17966 17900 0 -1 4194304"), 17900);
  EXPECT_EQ(ProcStat::parseParentPid("1 (systemd) S 0 1 1 0 -1 4194560"), 0);
  EXPECT_EQ(ProcStat::parseParentPid("17966 (cut"), std::nullopt);
  EXPECT_EQ(ProcStat::parseParentPid("17966 (sleep) S"), std::nullopt);
  EXPECT_EQ(ProcStat::parseParentPid("17966 (sleep) S x1 2"), std::nullopt);
  EXPECT_EQ(ProcStat::parseParentPid(""), std::nullopt);
}

TEST(ProcStat, ReadsTimesStartAndFlagsAfterTheName) {
  // A real line: a user process, then a kernel thread with its flag.
  const auto user = ProcStat::parse(
      "4242 (node (x) y) R 17 4242 17 34816 4242 4194304 9500 0 3 0 1234 567 0 0 20 0 11 0 "
      "8812345 1063141376 41234 18446744073709551615 1 1 0 0 0 0 0 16781312 134234626 0 0 0 "
      "17 1 0 0 0 0 0\n");
  ASSERT_TRUE(user);
  EXPECT_EQ(user->name, "node (x) y");
  EXPECT_EQ(user->state, 'R');
  EXPECT_EQ(user->ppid, 17);
  EXPECT_EQ(user->flags & ProcStat::kernelThread, 0u);
  EXPECT_EQ(user->userTicks, 1234u);
  EXPECT_EQ(user->systemTicks, 567u);
  EXPECT_EQ(user->startTicks, 8812345u);
  const auto kernel = ProcStat::parse(
      "91 (kworker/u8:3-events_unbound) I 2 0 0 0 -1 69238880 0 0 0 0 0 52 0 0 20 0 1 0 412 0 0 "
      "18446744073709551615 0 0 0 0 0 0 0 2147483647 0 0 0 0 17 0 0 0 0 0 0");
  ASSERT_TRUE(kernel);
  EXPECT_NE(kernel->flags & ProcStat::kernelThread, 0u);
  EXPECT_EQ(kernel->startTicks, 412u);
  // A line cut short, or one with a field that is no number, gives nothing.
  EXPECT_FALSE(ProcStat::parse("4242 (sleep) S 17 4242 17 34816 4242 4194304 95 0 0 0 1 2"));
  EXPECT_FALSE(
      ProcStat::parse("4242 (sleep) S 17 4242 17 34816 4242 x 95 0 0 0 1 2 0 0 20 0 1 0 "
                      "77 0 0"));
  EXPECT_FALSE(ProcStat::parse("4242 )sleep( S 17"));
  EXPECT_FALSE(ProcStat::parse(""));
}

TEST(ProcCmdline, SplitsAtEachNul) {
  using Arguments = std::vector<std::string>;
  using namespace std::string_view_literals;
  EXPECT_EQ(ProcCmdline::parse("/bin/sleep\0"
                               "30\0"sv),
            (Arguments{"/bin/sleep", "30"}));
  // An empty argument is kept in its place.
  EXPECT_EQ(ProcCmdline::parse("sh\0\0-c\0"sv), (Arguments{"sh", "", "-c"}));
  // A title written over the arguments, without a final NUL or with padding after it.
  EXPECT_EQ(ProcCmdline::parse("claude --resume"sv), (Arguments{"claude --resume"}));
  EXPECT_EQ(ProcCmdline::parse("claude\0\0\0"sv), (Arguments{"claude", "", ""}));
  EXPECT_EQ(ProcCmdline::parse(""sv), Arguments{});
}

TEST(ProcessInfo, ReadsARealChild) {
  test::ChildProcess sleeper("/bin/sleep", {"30"});
  ASSERT_TRUE(test::waitForExecutable(sleeper.pid(), std::filesystem::canonical("/bin/sleep")));
  EXPECT_EQ(parentPid(sleeper.pid()), getpid());
  // An exec shows the new executable a moment before the new arguments.
  std::vector<std::string> given;
  for (int attempt = 0; attempt < 500 && given.empty(); ++attempt) {
    given = arguments(sleeper.pid());
    if (given.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(given, (std::vector<std::string>{"/bin/sleep", "30"}));
  EXPECT_TRUE(arguments(999999999).empty());
  EXPECT_EQ(parentPid(getpid()), getppid());
  EXPECT_EQ(executablePath(999999999), std::nullopt);
  EXPECT_EQ(parentPid(999999999), std::nullopt);
}

TEST(ProcessInfo, ReadsTheWorkingDirectoryOfARealChild) {
  test::TempDir dir;
  const std::string folder = dir / "a  folder";
  std::filesystem::create_directory(folder);
  test::ChildProcess sleeper("/bin/sh", {"-c", "cd '" + folder + "' && exec /bin/sleep 30"});
  ASSERT_TRUE(test::waitForExecutable(sleeper.pid(), std::filesystem::canonical("/bin/sleep")));
  EXPECT_EQ(workingDirectory(sleeper.pid()), std::filesystem::canonical(folder).string());
  EXPECT_EQ(workingDirectory(getpid()), std::filesystem::current_path().string());
  EXPECT_EQ(workingDirectory(999999999), std::nullopt);
}

TEST(ProcessInfo, ListsTheFilesARealChildHoldsOpen) {
  test::TempDir dir;
  const std::string lock = dir / "a lock.lock";
  const std::string other = dir / "other";
  std::ofstream(lock).put('x');
  std::ofstream(other).put('x');
  test::ChildProcess holder("/bin/sh",
                            {"-c", "exec 3<'" + lock + "' 7<'" + other + "'; exec /bin/sleep 30"});
  ASSERT_TRUE(test::waitForExecutable(holder.pid(), std::filesystem::canonical("/bin/sleep")));
  const std::vector<std::string> files = openFiles(holder.pid());
  const auto at = [&](const std::string& path) {
    return std::find(files.begin(), files.end(), std::filesystem::canonical(path).string()) -
           files.begin();
  };
  // In descriptor order, and only paths: a pipe or socket among them is left out.
  EXPECT_LT(at(lock), at(other));
  EXPECT_LT(at(other), static_cast<ptrdiff_t>(files.size()));
  EXPECT_TRUE(std::all_of(files.begin(), files.end(),
                          [](const std::string& path) { return path.starts_with('/'); }));
  EXPECT_TRUE(openFiles(999999999).empty());
}

}  // namespace
}  // namespace tessel::platform
