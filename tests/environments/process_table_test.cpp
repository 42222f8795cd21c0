#include "environments/process_table.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "environments/shell.h"
#include "support/processes.h"
#include "support/temp_dir.h"
#include "support/time_zone.h"
#include "util/calendar.h"
#include "util/text.h"

namespace tessel {

namespace {

// A pid the kernel never hands out (pid_max is at most 2^22).
constexpr int32_t gonePid = 999999999;

using test::ScopedTimeZone;

Date utc(int month, int day, int hour, int minute, int second) {
  return Date(Calendar::utcSeconds(2026, month, day, hour, minute, second));
}

ProcessEntry entry(int32_t pid, int32_t ppid, std::string command = "") {
  return ProcessEntry{pid, ppid, 501, 0.0, 4096, Date(1000), std::move(command)};
}

std::vector<int32_t> pidsOf(const std::vector<ProcessEntry>& entries) {
  std::vector<int32_t> pids;
  for (const auto& e : entries) pids.push_back(e.pid);
  return pids;
}

// pid 1 -> 2 -> ... -> count, each the only child of the one before.
ProcessTable chain(int32_t count) {
  std::vector<ProcessEntry> entries{entry(1, 0)};
  for (int32_t pid = 2; pid <= count; ++pid) entries.push_back(entry(pid, pid - 1));
  return ProcessTable(Date(0), entries);
}

TEST(ProcessTable, ParsesPsColumnsAndKeepsCommandsExactly) {
  // Eastern time, so that reading lstart as UTC, or ignoring summer time, shows.
  ScopedTimeZone zone("EST5EDT,M3.2.0,M11.1.0");
  const std::string output =
      "    1     0     0  0.0 11832 Sat Dec  5 21:38:00 2026 /sbin/init splash\n"
      "    2     0     0  0.0     0 Sat Dec  5 21:38:00 2026 [kthreadd]\n"
      "\n"
      " 4242     1  1000 12.5 524288 Mon Nov 30 09:05:07 2026 /usr/bin/python3 -m  http.server "
      "  8000\n"
      "4194303  4242  1000  104 1048576 Tue Dec  1 23:59:59 2026   node\t/srv/app.js --name "
      "\"a  b\"\n"
      " 9001  4242 65534  0.0  2048 Thu Oct 15 07:00:00 2026 sh -c sleep 5 \n"
      "  777     1     0  0.3   768 Sun Jul  5 10:00:00 2026 /usr/sbin/cron -f";
  const std::vector<ProcessEntry> expected{
      {1, 0, 0, 0.0, 11832 * 1024LL, utc(12, 6, 2, 38, 0), "/sbin/init splash"},
      {2, 0, 0, 0.0, 0, utc(12, 6, 2, 38, 0), "[kthreadd]"},
      {4242, 1, 1000, 12.5, 524288 * 1024LL, utc(11, 30, 14, 5, 7),
       "/usr/bin/python3 -m  http.server   8000"},
      {4194303, 4242, 1000, 104.0, 1048576 * 1024LL, utc(12, 2, 4, 59, 59),
       "  node\t/srv/app.js --name \"a  b\""},
      {9001, 4242, 65534, 0.0, 2048 * 1024LL, utc(10, 15, 11, 0, 0), "sh -c sleep 5 "},
      {777, 1, 0, 0.3, 768 * 1024LL, utc(7, 5, 14, 0, 0), "/usr/sbin/cron -f"},
  };
  EXPECT_EQ(ProcessTable::parse(output), expected);
  EXPECT_TRUE(ProcessTable::parse("\n\n\n").empty());
}

TEST(ProcessTable, ReadsStartTimesAcrossClockChanges) {
  struct Case {
    const char* zone;
    const char* lstart;
    Date expected;
  };
  // Either side of New York's spring change at 02:00 on 8 March; Lord Howe Island moves
  // its clocks by half an hour, back from 02:00 to 01:30 on 5 April (so 01:10 is still
  // summer time) and on from 02:00 to 02:30 on 4 October.
  const char* newYork = "EST5EDT,M3.2.0,M11.1.0";
  const char* lordHowe = "LHST-10:30LHDT-11,M10.1.0,M4.1.0";
  for (const Case& c : {Case{newYork, "Sun Mar  8 01:59:59 2026", utc(3, 8, 6, 59, 59)},
                        Case{newYork, "Sun Mar  8 03:00:00 2026", utc(3, 8, 7, 0, 0)},
                        Case{lordHowe, "Sun Apr  5 01:10:00 2026", utc(4, 4, 14, 10, 0)},
                        Case{lordHowe, "Sun Apr  5 02:10:00 2026", utc(4, 4, 15, 40, 0)},
                        Case{lordHowe, "Sun Oct  4 01:50:00 2026", utc(10, 3, 15, 20, 0)},
                        Case{lordHowe, "Sun Oct  4 02:45:00 2026", utc(10, 3, 15, 45, 0)}}) {
    ScopedTimeZone zone(c.zone);
    const auto entries =
        ProcessTable::parse("  300     1     0  0.0  1024 " + std::string(c.lstart) + " /bin/true");
    ASSERT_EQ(entries.size(), 1u) << c.lstart;
    EXPECT_EQ(entries[0].started, c.expected) << c.zone << " " << c.lstart;
  }
}

TEST(ProcessTable, DropsEachLineThatDoesNotReadAsAProcess) {
  const std::vector<std::string> broken{
      // No command: ten fields, with and without a space after the last.
      "  101     1     0  0.0  1024 Sat Dec  5 21:38:00 2026",
      "  102     1     0  0.0  1024 Sat Dec  5 21:38:00 2026 ",
      // A tab does not separate columns: "103\t" is no pid, "2026\tsleep" no year.
      "  103\t    1     0  0.0  1024 Sat Dec  5 21:38:00 2026 sleep 1",
      "  104     1     0  0.0  1024 Sat Dec  5 21:38:00 2026\tsleep",
      "2147483648     1     0  0.0  1024 Sat Dec  5 21:38:00 2026 sleep 1",
      "  105   1.5     0  0.0  1024 Sat Dec  5 21:38:00 2026 sleep 1",
      "  106     1  root  0.0  1024 Sat Dec  5 21:38:00 2026 sleep 1",
      "  107     1     0  1,5  1024 Sat Dec  5 21:38:00 2026 sleep 1",
      "  108     1     0  0.0   12K Sat Dec  5 21:38:00 2026 sleep 1",
      // Resident bytes beyond a signed 64-bit count.
      "  110     1     0  0.0 9007199254740992 Sat Dec  5 21:38:00 2026 sleep 1",
      "  112     1     0  0.0  1024 Sat Dez  5 21:38:00 2026 sleep 1",
      "  115     1     0  0.0  1024 Sat Dec  5 21:38 2026 sleep 1 2",
      "    ",
  };
  const std::string good = "  200     1     0  0.0  1024 Sat Dec  5 21:38:00 2026 sleep 1";
  for (const auto& line : broken) {
    EXPECT_EQ(pidsOf(ProcessTable::parse(line + "\n" + good + "\n")), std::vector<int32_t>{200})
        << line;
  }
}

TEST(ProcessTable, WalksThePidTreeDownAndUp) {
  // The first entry of a pid listed twice is kept, every child link too, and the pid is
  // still visited once.
  const ProcessTable table(Date(42), {entry(10, 1), entry(20, 10, "first"), entry(20, 10, "second"),
                                      entry(30, 20), entry(31, 20)});
  EXPECT_EQ(table.byPID.at(20).command, "first");
  EXPECT_EQ(table.children.at(10), (std::vector<int32_t>{20, 20}));
  EXPECT_FALSE(table.children.contains(30));
  EXPECT_EQ(table.all().size(), 4u);
  EXPECT_EQ(pidsOf(table.descendants(10)), (std::vector<int32_t>{20, 31, 30}));

  const ProcessTable tree(Date(0), {entry(1, 0), entry(10, 1), entry(11, 1), entry(20, 10),
                                    entry(21, 10), entry(30, 20), entry(40, 11)});
  EXPECT_EQ(pidsOf(tree.descendants(1)), (std::vector<int32_t>{11, 40, 10, 21, 20, 30}));
  EXPECT_TRUE(tree.descendants(30).empty());
  EXPECT_TRUE(tree.descendants(gonePid).empty());
  // 100 and 101 are each other's parent: the walk must not come back to 100.
  const ProcessTable loop(Date(0), {entry(100, 101), entry(101, 100), entry(102, 101)});
  EXPECT_EQ(pidsOf(loop.descendants(100)), (std::vector<int32_t>{101, 102}));

  const ProcessTable up(Date(0),
                        {entry(1, 0), entry(10, 1), entry(20, 10), entry(30, 20), entry(60, 61)});
  EXPECT_EQ(up.ancestor(30, {30, 10}), 30);
  EXPECT_EQ(up.ancestor(30, {10, 20}), 20);
  EXPECT_EQ(up.ancestor(30, {1}), 1);
  EXPECT_EQ(up.ancestor(30, {0}), std::nullopt);  // pid 1's parent is never tested
  // A parent missing from the table is still tested itself; the walk ends there.
  EXPECT_EQ(up.ancestor(60, {61}), 61);
  EXPECT_EQ(up.ancestor(gonePid, {gonePid}), gonePid);
  // At most 64 pids are tested, the start included, so parent links that loop end too.
  EXPECT_EQ(chain(1000).ancestor(1000, {1000 - 63}), 1000 - 63);
  EXPECT_EQ(chain(1000).ancestor(1000, {1000 - 64}), std::nullopt);
}

TEST(ProcessEntry, NameOfAGoneProcessComesFromItsCommand) {
  const auto nameOf = [](std::string command) {
    return entry(gonePid, 1, std::move(command)).name();
  };
  EXPECT_EQ(nameOf("/usr/bin/python3 /opt/tools/run.py --flag"), "python3");
  EXPECT_EQ(nameOf("   /opt/app/bin/server   --port 80"), "server");
  EXPECT_EQ(nameOf("node"), "node");
  EXPECT_EQ(nameOf("   "), "   ");
  EXPECT_EQ(nameOf(""), "");
  EXPECT_EQ(entry(gonePid, 1).executablePath(), std::nullopt);
  EXPECT_EQ(entry(gonePid, 1).workingDirectory(), std::nullopt);
}

TEST(ProcessTable, SampleFindsRealChildrenWithTheirParentsStartsAndPaths) {
  namespace fs = std::filesystem;
  test::TempDir dir;
  const std::string sleep = fs::canonical("/bin/sleep");
  const std::string folder = dir / "work  dir";
  fs::create_directory(folder);
  // Under another name, so that `name` must come from the executable, not the command.
  const std::string alias = dir / "agent";
  fs::create_symlink(sleep, alias);

  test::ChildProcess renamed(alias, {"30"});
  test::ChildProcess moved("/bin/sh", {"-c", "cd '" + folder + "' && exec /bin/sleep 31"});
  test::ChildProcess parent("/bin/sh", {"-c", "/bin/sleep 32; exit 0"});
  ASSERT_TRUE(test::waitForExecutable(renamed.pid(), sleep));
  ASSERT_TRUE(test::waitForExecutable(moved.pid(), sleep));
  // The shell's own child appears some time after the shell starts.
  const ToolRunner tools;
  ProcessTable table = ProcessTable::sample(tools);
  for (int attempt = 0; attempt < 500 && !table.children.contains(parent.pid()); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    table = ProcessTable::sample(tools);
  }
  ASSERT_EQ(table.children[parent.pid()].size(), 1u);
  const int32_t grandchild = table.children.at(parent.pid()).front();

  for (const int32_t pid : {renamed.pid(), moved.pid(), parent.pid(), grandchild}) {
    ASSERT_TRUE(table.byPID.contains(pid)) << pid;
    const ProcessEntry& e = table.byPID.at(pid);
    EXPECT_EQ(e.ppid, pid == grandchild ? parent.pid() : getpid()) << pid;
    EXPECT_EQ(e.uid, static_cast<int32_t>(getuid())) << pid;
    EXPECT_LE(e.started, table.date) << pid;
    EXPECT_GT(e.started, table.date - 60) << pid;
  }
  EXPECT_EQ(table.byPID.at(renamed.pid()).command, alias + " 30");
  EXPECT_EQ(table.byPID.at(grandchild).command, "/bin/sleep 32");
  EXPECT_GT(table.byPID.at(renamed.pid()).memory, 0);

  // The walk down from us reaches the grandchild, and ps, our child while it listed.
  const auto ours = table.descendants(getpid());
  EXPECT_TRUE(std::any_of(ours.begin(), ours.end(),
                          [&](const ProcessEntry& e) { return e.pid == grandchild; }));
  EXPECT_TRUE(std::any_of(ours.begin(), ours.end(), [](const ProcessEntry& e) {
    return e.command == "/bin/ps -axww -o pid=,ppid=,uid=,pcpu=,rss=,lstart=,args=";
  }));

  const ProcessEntry& named = table.byPID.at(renamed.pid());
  EXPECT_EQ(named.executablePath(), sleep);
  EXPECT_EQ(named.name(), "sleep");
  EXPECT_EQ(table.byPID.at(moved.pid()).workingDirectory(), fs::canonical(folder).string());
}

TEST(ProcessTable, TakeAgreesWithPsOnRealChildren) {
  const std::string sleep = std::filesystem::canonical("/bin/sleep");
  test::ChildProcess spaced("/bin/sh", {"-c", "/bin/sleep 30; :", "--  two  spaces", ""});
  test::ChildProcess parent("/bin/sh", {"-c", "/bin/sleep 31; exit 0"});
  const ToolRunner tools;
  ProcessTable taken = ProcessTable::take(tools);
  for (int attempt = 0; attempt < 500 && !taken.children.contains(parent.pid()); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    taken = ProcessTable::take(tools);
  }
  ASSERT_EQ(taken.children[parent.pid()].size(), 1u);
  const int32_t grandchild = taken.children.at(parent.pid()).front();
  // Until it has run the sleep, the grandchild is a copy of the shell.
  ASSERT_TRUE(test::waitForExecutable(grandchild, sleep));
  taken = ProcessTable::take(tools);
  const ProcessTable listed = ProcessTable::sample(tools);
  EXPECT_GE(taken.date, Date::now() - 60);

  for (const int32_t pid : {static_cast<int32_t>(spaced.pid()), parent.pid(), grandchild}) {
    ASSERT_TRUE(taken.byPID.contains(pid) && listed.byPID.contains(pid)) << pid;
    const ProcessEntry& ours = taken.byPID.at(pid);
    const ProcessEntry& theirs = listed.byPID.at(pid);
    EXPECT_EQ(ours.ppid, theirs.ppid) << pid;
    EXPECT_EQ(ours.uid, theirs.uid) << pid;
    EXPECT_EQ(ours.command, theirs.command) << pid;
    EXPECT_NEAR(ours.started.secondsSince1970(), theirs.started.secondsSince1970(), 1) << pid;
    EXPECT_NEAR(static_cast<double>(ours.memory), static_cast<double>(theirs.memory),
                0.2 * static_cast<double>(theirs.memory) + 65536)
        << pid;
    EXPECT_GT(ours.memory, 0) << pid;
  }
  EXPECT_EQ(taken.byPID.at(spaced.pid()).command, "/bin/sh -c /bin/sleep 30; : --  two  spaces");

  // Every process both saw that is still the same process (same start) looks alike, kernel
  // threads "[name]" included.
  int compared = 0;
  for (const auto& [pid, theirs] : listed.byPID) {
    const auto ours = taken.byPID.find(pid);
    // A process of another test may have ended between the two readings.
    if (ours == taken.byPID.end() || ours->second.started != theirs.started ||
        theirs.command.ends_with(" <defunct>")) {
      continue;
    }
    if (theirs.command.starts_with('[')) {
      EXPECT_EQ(ours->second.command, theirs.command);
    }
    EXPECT_EQ(ours->second.uid, theirs.uid) << pid;
    ++compared;
  }
  EXPECT_GT(compared, 3);
}

TEST(ProcessTable, TakeShowsRecentCpuUseNotTheLifetimeAverage) {
  const std::string sleep = std::filesystem::canonical("/bin/sleep");
  test::ChildProcess busy("/bin/sh", {"-c", "while :; do :; done"});
  test::ChildProcess idle(sleep, {"30"});
  // Spins for a fraction of a second, then sleeps on as the same process.
  test::ChildProcess rested(
      "/bin/sh",
      {"-c", "i=0; while [ $i -lt 300000 ]; do i=$((i+1)); done; exec " + sleep + " 30"});
  ASSERT_TRUE(test::waitForExecutable(rested.pid(), sleep));
  const ToolRunner tools;
  const ProcessTable first = ProcessTable::take(tools);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const ProcessTable second = ProcessTable::take(tools);
  for (const pid_t pid : {busy.pid(), idle.pid(), rested.pid()}) {
    ASSERT_TRUE(first.byPID.contains(pid) && second.byPID.contains(pid)) << pid;
  }
  // First sight is the lifetime average, which still remembers the spinning.
  EXPECT_GT(first.byPID.at(rested.pid()).cpu, 15);
  EXPECT_LT(second.byPID.at(rested.pid()).cpu, 5);
  // A spinning shell takes at most one core. The machine is shared: with the suite run
  // two tests at a time under a sanitizer on two cores, it was seen to get a third.
  EXPECT_GT(second.byPID.at(busy.pid()).cpu, 20);
  EXPECT_LT(second.byPID.at(busy.pid()).cpu, 110);
  EXPECT_LT(second.byPID.at(idle.pid()).cpu, 5);
}

TEST(ProcessTable, ReadsEveryLineThisMachinesPsPrints) {
  const Shell::Result result =
      Shell::run("/bin/ps", {"-axww", "-o", "pid=,ppid=,uid=,pcpu=,rss=,lstart=,args="}, 5);
  ASSERT_TRUE(result.ok()) << result.err;
  const auto entries = ProcessTable::parse(result.out);
  EXPECT_EQ(entries.size(), Text::nonEmptyLines(result.out).size());
  EXPECT_TRUE(std::any_of(entries.begin(), entries.end(),
                          [](const ProcessEntry& e) { return e.pid == 1 && e.ppid == 0; }));
}

}  // namespace
}  // namespace tessel
