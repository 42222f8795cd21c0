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
