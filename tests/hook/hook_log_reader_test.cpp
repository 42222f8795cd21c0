#include "hook/hook_log_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "hook/hook_log.h"
#include "support/damage.h"
#include "support/temp_dir.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

const Date now(1741341600.0);

// One host log line as tessel-hook writes it, `secondsAgo` before `now`.
std::string hostLine(double secondsAgo, std::string_view event, std::string_view session,
                     std::string_view rest = "") {
  HookRecord record{(now - secondsAgo).millisSince1970(), std::string(event), std::string(session)};
  std::string line = *record.encode();
  if (!rest.empty()) line.insert(line.size() - 1, "," + std::string(rest));
  return line + "\n";
}

void append(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

const ToolEvent* findEvent(const HookLogReader::Read& read, std::string_view id) {
  for (const auto& event : read.events) {
    if (event->id == id) return event.get();
  }
  return nullptr;
}

std::vector<ToolEvent> eventsOf(const HookLogReader::Read& read) {
  std::vector<ToolEvent> events;
  for (const auto& event : read.events) events.push_back(*event);
  return events;
}

TEST(HookLogReader, PairsToolCallsAcrossRefreshesAndPartialLines) {
  test::TempDir dir;
  const std::string log = dir.write("events.jsonl", "");
  HookLogReader reader("host");

  const std::string pre =
      hostLine(60, "PreToolUse", "s1",
               R"("tool":"Bash","id":"toolu_1","sum":"npm test","cwd":"\/srv","pid":42,"bg":true)");
  // Half a line: nothing yet, not even the pid.
  append(log, pre.substr(0, 40));
  auto read = reader.refresh(std::vector<std::string>{log}, now);
  EXPECT_TRUE(read.events.empty());
  EXPECT_TRUE(read.sessionPIDs.empty());

  append(log, pre.substr(40));
  read = reader.refresh(std::vector<std::string>{log}, now);
  ASSERT_EQ(read.events.size(), 1u);
  ToolEvent expected{"toolu_1", "s1", "Bash", "npm test", now - 60};
  expected.isBackground = true;
  expected.cwd = "/srv";
  expected.source = ToolEvent::Source::hook;
  EXPECT_EQ(eventsOf(read)[0], expected);
  EXPECT_EQ(read.sessionPIDs.at("s1"), 42);
  EXPECT_EQ(read.lastRecord, now - 60);

  // The end arrives in a later refresh; the start stays as it was.
  append(log,
         hostLine(30, "PostToolUse", "s1", R"("tool":"Bash","id":"toolu_1","err":true,"pid":43)"));
  read = reader.refresh(std::vector<std::string>{log}, now);
  expected.end = now - 30;
  expected.isError = true;
  EXPECT_EQ(eventsOf(read), std::vector<ToolEvent>{expected});
  EXPECT_EQ(read.sessionPIDs.at("s1"), 43);

  // An end without a start is a call of no length; a failure report closes a call as failed.
  append(log, hostLine(20, "PostToolUse", "s1", R"("tool":"Read","id":"toolu_2","sum":"~\/a")") +
                  hostLine(15, "PreToolUse", "s1", R"("tool":"Bash","id":"toolu_3","sum":"make")") +
                  hostLine(10, "PostToolUseFailure", "s1", R"("tool":"Bash","id":"toolu_3")") +
                  hostLine(5, "PreToolUse", "s1", R"("tool":"Bash")"));
  read = reader.refresh(std::vector<std::string>{log}, now);
  EXPECT_EQ(read.events.size(), 3u);
  const ToolEvent* read2 = findEvent(read, "toolu_2");
  ASSERT_TRUE(read2);
  EXPECT_EQ(read2->start, now - 20);
  EXPECT_EQ(read2->end, now - 20);
  EXPECT_FALSE(read2->isError);
  const ToolEvent* failed = findEvent(read, "toolu_3");
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->end, now - 10);
  EXPECT_TRUE(failed->isError);
  EXPECT_EQ(failed->summary, "make");
  EXPECT_EQ(read.lastRecord, now - 5);
}

TEST(HookLogReader, ReadsOnlyNewBytesAndStartsOverOnATruncatedFile) {
  test::TempDir dir;
  const std::string log =
      dir.write("events.jsonl", hostLine(50, "SessionStart", "s1", R"("pid":7)"));
  HookLogReader reader("host");
  reader.refresh(std::vector<std::string>{log}, now);

  // Bytes before the offset are never read again: spoiling them changes nothing.
  {
    std::fstream file(log, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(2);
    file << "XXXX";
  }
  append(log, hostLine(40, "SessionEnd", "s1"));
  auto read = reader.refresh(std::vector<std::string>{log}, now);
  EXPECT_EQ(read.ended.at("s1"), now - 40);
  EXPECT_EQ(read.sessionPIDs.at("s1"), 7);

  // Replaced by something shorter (a trimmed container log): read from the start.
  dir.write("events.jsonl", hostLine(10, "SessionStart", "s1", R"("pid":9)"));
  read = reader.refresh(std::vector<std::string>{log}, now);
  EXPECT_EQ(read.ended.count("s1"), 0u);
  EXPECT_EQ(read.sessionPIDs.at("s1"), 9);
}

TEST(HookLogReader, SkipsWhatIsNotARecordAndKeepsTheRest) {
  test::TempDir dir;
  std::string bytes = hostLine(9, "PreToolUse", "s1",
                               R"("tool":"mcp__ccd_session_mgmt__get_usage","id":"bg1","pid":5)");
  bytes += "not json at all\n";
  bytes += std::string("{\"t\":1,\"e\":\"Stop\",\"s\":\"\xFF\xFE\"}\n");
  bytes += R"({"t":"soon","e":"Stop","s":"s2"})"
           "\n";
  bytes += "\n\n";
  bytes += R"([1,2,3])"
           "\n";
  bytes += hostLine(8, "PreToolUse", "s1", R"("tool":"Grep","id":"toolu_9")");
  const std::string log = dir.write("events.jsonl", bytes);
  HookLogReader reader("host");
  const auto read =
      reader.refresh(std::vector<std::string>{dir / "missing.jsonl", dir.path(), log}, now);
  ASSERT_EQ(read.events.size(), 1u);
  // A summary-less call shows its tool's name.
  EXPECT_EQ(eventsOf(read)[0].summary, "Grep");
  // The background line was rejected before parsing: its pid was never seen either.
  EXPECT_TRUE(read.sessionPIDs.empty());
}

std::string containerLine(double secondsAgo, std::string_view ctr, std::string_view event,
                          std::string_view rest = "") {
  std::string line =
      "{\"t\":" + std::to_string(static_cast<int64_t>((now - secondsAgo).millisSince1970()));
  if (!ctr.empty()) line += ",\"ctr\":\"" + std::string(ctr) + "\"";
  line += ",\"hook_event_name\":\"" + std::string(event) + "\",\"session_id\":\"c1\"";
  if (!rest.empty()) line += "," + std::string(rest);
  return line + "}\n";
}

TEST(HookLogReader, ForgetsCallsAndTracesAfterThreeDays) {
  test::TempDir dir;
  const double keep = HookLogReader::keepSeconds;
  const std::string log = dir.write(
      "events.jsonl", hostLine(keep, "PreToolUse", "s1", R"("tool":"Bash","id":"old")") +
                          hostLine(keep - 1, "PreToolUse", "s1", R"("tool":"Bash","id":"kept")") +
                          hostLine(keep + 10, "SessionEnd", "s0") +
                          containerLine(keep, "devbox", "Stop"));
  HookLogReader reader("host");
  auto read = reader.refresh(std::vector<std::string>{log}, now);
  ASSERT_EQ(read.events.size(), 1u);
  EXPECT_EQ(eventsOf(read)[0].id, "kept");
  EXPECT_TRUE(read.traces.empty());
  EXPECT_EQ(read.hostTraces.count("s0"), 0u);
  EXPECT_EQ(read.hostTraces.count("s1"), 1u);
  // Ended sessions are not pruned.
  EXPECT_EQ(read.ended.count("s0"), 1u);

  // A call started again keeps its later start and is not forgotten for the first one.
  const std::string again = dir.write(
      "again.jsonl", hostLine(keep + 5, "PreToolUse", "s1", R"("tool":"Bash","id":"again")") +
                         hostLine(10, "PreToolUse", "s1", R"("tool":"Bash","id":"again")"));
  read = reader.refresh(std::vector<std::string>{log, again}, now);
  ASSERT_EQ(read.events.size(), 2u);
  ASSERT_TRUE(findEvent(read, "again"));
  EXPECT_EQ(findEvent(read, "again")->start, now - 10);
}

TEST(HookLogReader, TracesContainerSessionsAndDropsTheHostsOwnLines) {
  test::TempDir dir;
  const std::string events = dir.write(
      "project/.claude/tessel/events.jsonl",
      containerLine(100, "devbox", "SessionStart", R"("cwd":"/workspace")") +
          containerLine(90, "devbox", "PreToolUse",
                        R"("cwd":"/workspace","tool_name":"Bash","tool_use_id":"toolu_c",)"
                        R"("tool_input":{"command":"cargo build","run_in_background":false})") +
          containerLine(
              80, "", "PostToolUse",
              R"("cwd":null,"tool_name":"Bash","tool_use_id":"toolu_c","tool_response":{"is_error":true})") +
          // Older than the latest line: the event stays, the directory moves.
          containerLine(95, "devbox", "Notification", R"("cwd":"/workspace/sub")") +
          R"({"ctr":"devbox","hook_event_name":"Stop","session_id":"c1"})"
          "\n" +
          containerLine(85, "devbox", "PreToolUse",
                        R"("tool_name":"mcp__ccd_sidebar__list_groups","tool_use_id":"bg")") +
          containerLine(
              70, "laptop", "PreToolUse",
              R"("tool_name":"Bash","tool_use_id":"toolu_host","tool_input":{"command":"ls"})"));
  HookLogReader reader("laptop");
  const auto read = reader.refresh(std::vector<std::string>{events}, now);

  ASSERT_EQ(read.events.size(), 1u);
  EXPECT_EQ(eventsOf(read)[0].id, "toolu_c");
  EXPECT_EQ(eventsOf(read)[0].summary, "cargo build");
  EXPECT_EQ(eventsOf(read)[0].start, now - 90);
  EXPECT_EQ(eventsOf(read)[0].end, now - 80);
  EXPECT_TRUE(eventsOf(read)[0].isError);
  EXPECT_EQ(read.traces.at("c1"), (HookLogReader::SessionTrace{events, "/workspace/sub", now - 100,
                                                               now - 80, "PostToolUse", "devbox"}));
  EXPECT_EQ(read.lastRecord, now - 80);
}

TEST(HookLogReader, TracesHostSessionsApartFromContainerOnes) {
  test::TempDir dir;
  const std::string host =
      dir.write("events-host.jsonl",
                hostLine(100, "SessionStart", "s1", R"("cwd":"\/a","pid":7)") +
                    hostLine(50, "Notification", "s1", R"("pid":7)") +
                    // Older than the latest line: the event stays, the directory moves.
                    hostLine(60, "Stop", "s1", R"("cwd":"\/a\/b","pid":7)") +
                    hostLine(40, "PreToolUse", "s1",
                             R"("tool":"mcp__ccd_session_mgmt__list_sessions","id":"bg","pid":7)"));
  const std::string container =
      dir.write("project/.claude/tessel/events.jsonl", containerLine(30, "devbox", "Stop"));
  HookLogReader reader("laptop");
  const auto read = reader.refresh(std::vector<std::string>{host, container}, now);
  EXPECT_EQ(read.hostTraces, (std::unordered_map<std::string, HookLogReader::SessionTrace>{
                                 {"s1", {host, "/a/b", now - 100, now - 50, "Notification"}}}));
  ASSERT_EQ(read.traces.size(), 1u);
  EXPECT_EQ(read.traces.count("c1"), 1u);
}

TEST(HookLogReader, RefreshesYesterdaysAndTodaysDayFiles) {
  test::TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  const Date today = Date::now();
  const auto relative = [&](Date day) {
    return HookLog::file(paths, day).substr(dir.path().size() + 1);
  };
  dir.write(relative(today - 2 * 86400), hostLine(0, "SessionEnd", "old"));
  dir.write(relative(today - 86400), hostLine(0, "SessionEnd", "yesterday"));
  dir.write(relative(today), hostLine(0, "SessionEnd", "today"));
  HookLogReader reader("host");
  const auto read = reader.refresh(paths, today);
  EXPECT_EQ(read.ended.size(), 2u);
  EXPECT_EQ(read.ended.count("yesterday") + read.ended.count("today"), 2u);
}

// Whatever other programs leave in these files (cut, flipped or stray bytes), a refresh
// neither crashes nor throws, and a good line after the damage is still read.
TEST(HookLogReader, SurvivesRandomlyDamagedLines) {
  test::TempDir dir;
  const std::vector<std::string> seeds = {
      hostLine(9, "PreToolUse", "s1",
               R"("tool":"Bash","id":"toolu_1","sum":"ls","cwd":"\/srv","pid":4)"),
      containerLine(
          8, "devbox", "PostToolUse",
          R"("cwd":"/w","tool_name":"Edit","tool_use_id":"t","tool_input":{"file_path":"/w/a"},)"
          R"("tool_response":{"is_error":true})"),
  };
  std::mt19937 random(7);
  std::string bytes;
  for (int round = 0; round < 5000; ++round) {
    std::string line = seeds[round % seeds.size()];
    line.pop_back();
    line = test::damaged(line, random);
    bytes += line + "\n";
  }
  bytes += hostLine(1, "SessionEnd", "last");
  const std::string log = dir.write("events.jsonl", bytes);
  HookLogReader reader("host");
  const auto read = reader.refresh(std::vector<std::string>{log}, now);
  EXPECT_EQ(read.ended.count("last"), 1u);
}

}  // namespace
}  // namespace tessel
