#include "claude/command_index.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "support/temp_dir.h"
#include "support/transcript_lines.h"
#include "usage/index_store.h"
#include "util/calendar.h"
#include "util/files.h"

namespace tessel {
namespace {

using test::TempDir;
using test::toolResultLine;
using test::toolUseLine;

const Date now(Calendar::utcSeconds(2026, 12, 5, 20, 0, 0));

std::string bash(const std::string& command) {
  return R"({"command":")" + command + R"(","description":"Run it"})";
}

// The calls held, by id.
std::map<std::string, ToolEvent> byId(const CommandIndex& index) {
  std::map<std::string, ToolEvent> events;
  for (auto& event : index.all()) events.emplace(event.id, event);
  return events;
}

void append(const std::string& path, std::string_view bytes) {
  ASSERT_TRUE(Files::appendOnce(path, bytes, 0644));
}

TEST(CommandIndex, ReadsOnlyWholeLinesAndCompletesCallsInLaterRefreshes) {
  TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  const std::string path =
      dir.write("config/projects/-home-dev-shop/8d0c7b3e.jsonl",
                toolUseLine(now - 60, "toolu_a", "Bash", bash("npm test")) +
                    toolUseLine(now - 59, "toolu_r", "Read", R"({"file_path":"/a"})"));
  // A write in progress: the second call's line is cut in the middle.
  const std::string second = toolUseLine(now - 50, "toolu_b", "Bash", bash("make"));
  append(path, second.substr(0, 40));
  CommandIndex index(nullptr, now);
  index.refresh(paths, now);
  auto events = byId(index);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events["toolu_a"].summary, "npm test");
  EXPECT_EQ(events["toolu_a"].sessionId, "8d0c7b3e");
  EXPECT_FALSE(events["toolu_a"].end);

  // The rest of the line and both results arrive: the earlier call is closed now, and
  // the cut line is read whole.
  append(path, second.substr(40) + toolResultLine(now - 40, "toolu_a", R"(,"is_error":true)") +
                   toolResultLine(now - 30, "toolu_b"));
  index.refresh(paths, now);
  events = byId(index);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events["toolu_a"].end, now - 40);
  EXPECT_TRUE(events["toolu_a"].isError);
  EXPECT_EQ(events["toolu_b"].summary, "make");
  EXPECT_EQ(events["toolu_b"].end, now - 30);
  EXPECT_FALSE(events["toolu_b"].isError);

  // Replaced by a shorter file: read again from its start.
  Files::create(path, toolUseLine(now - 20, "toolu_c", "Bash", bash("ls")));
  index.refresh(paths, now);
  events = byId(index);
  EXPECT_EQ(events.size(), 3u);
  EXPECT_EQ(events["toolu_c"].summary, "ls");
}

TEST(CommandIndex, FirstReadOfALongTranscriptLooksOnlyAtItsLastBytes) {
  TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  std::string text = toolUseLine(now - 100, "toolu_early", "Bash", bash("early"));
  const std::string filler = R"({"type":"user","message":{"role":"user","content":")" +
                             std::string(1000, 'x') +
                             R"("},"timestamp":"2026-12-05T19:58:00.000Z"})" + "\n";
  while (text.size() < 10000000) text += filler;
  text += toolUseLine(now - 10, "toolu_late", "Bash", bash("late"));
  const std::string path = dir.write("config/projects/p/long.jsonl", text);
  CommandIndex index(nullptr, now);
  index.refresh(paths, now);
  const auto events = byId(index);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events.contains("toolu_late"));
  // The hint names calls whose lines do not say their session.
  EXPECT_EQ(events.at("toolu_late").sessionId, "8d0c7b3e");
}

TEST(CommandIndex, IndexesSubagentsAndForgetsWhatIsOlderThanThreeDays) {
  TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  const Date cutoff = now - CommandIndex::keepDays * 86400;
  dir.write("config/projects/p/8d0c7b3e.jsonl",
            toolUseLine(cutoff, "toolu_at_cutoff", "Bash", bash("old")) +
                toolUseLine(cutoff + 1, "toolu_inside", "Bash", bash("new")));
  dir.write("config/projects/p/8d0c7b3e/subagents/agent-a1.jsonl",
            toolUseLine(now - 5, "toolu_agent", "Bash", bash("grep -r x"), "8d0c7b3e"));
  // Deeper folders and other files are not transcripts.
  dir.write("config/projects/p/8d0c7b3e/tool-results/x.jsonl",
            toolUseLine(now - 5, "toolu_deep", "Bash", bash("no")));
  dir.write("config/projects/p/notes.txt", "not a folder");
  const std::string stale = dir.write("config/projects/q/0a1b.jsonl",
                                      toolUseLine(now - 5, "toolu_stale", "Bash", bash("stale")));
  test::setModified(stale, cutoff);
  // What other programs leave behind: a project that is a file, a dangling link, a
  // transcript that is a folder, invalid UTF-8 and lines of the wrong shape.
  dir.write("config/projects/not-a-folder", "x");
  symlink((dir / "gone").c_str(), (dir / "config/projects/dangling").c_str());
  std::filesystem::create_directories(dir / "config/projects/p/folder.jsonl");
  dir.write(
      "config/projects/r/bad.jsonl",
      "\xff\xfe{\"type\":\"assistant\"}\n[1,2]\n{\"message\":{\"content\":\"Bash\"}}\n"
      R"({"type":"assistant","message":{"content":[{"type":"tool_use","id":7,"name":"Bash"}]},"timestamp":"2026-12-05T19:00:00.000Z"})"
      "\n" +
          toolUseLine(now - 1, "toolu_\xc3", "Bash", bash("caf\xc3")));

  CommandIndex index(nullptr, now);
  index.refresh(paths, now);
  auto events = byId(index);
  std::vector<std::string> ids;
  for (const auto& [id, event] : events) ids.push_back(id);
  EXPECT_EQ(ids, (std::vector<std::string>{"toolu_agent", "toolu_inside", "toolu_\xef\xbf\xbd"}));
  EXPECT_EQ(events["toolu_\xef\xbf\xbd"].summary, "caf\xef\xbf\xbd");

  // Calls age out as time goes on, whether or not their files change.
  index.refresh(paths, now + 10);
  EXPECT_FALSE(byId(index).contains("toolu_inside"));
}

TEST(CommandIndex, ARestartResumesFromTheStoredOffsets) {
  TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  const std::string path = dir.write("config/projects/p/8d0c7b3e.jsonl",
                                     toolUseLine(now - 60, "toolu_a", "Bash", bash("npm test")));
  std::shared_ptr<IndexStore> store = IndexStore::open(dir / "index.sqlite");
  ASSERT_TRUE(store);
  {
    CommandIndex first(store, now);
    first.refresh(paths, now);
    ASSERT_EQ(first.all().size(), 1u);
  }
  // The bytes already read are changed in place (same size) and a result is added: a
  // reader that starts over would see "npm best" and a second call.
  std::string text = test::readFile(path);
  text.replace(text.find("npm test"), 8, "npm best");
  const std::string grown = text + toolUseLine(now - 50, "toolu_b", "Bash", bash("make")) +
                            toolResultLine(now - 40, "toolu_a");
  Files::create(path, grown);

  CommandIndex second(IndexStore::open(dir / "index.sqlite"), now);
  EXPECT_EQ(byId(second)["toolu_a"].summary, "npm test");
  second.refresh(paths, now);
  auto events = byId(second);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events["toolu_a"].summary, "npm test");
  EXPECT_EQ(events["toolu_a"].end, now - 40);
  EXPECT_EQ(events["toolu_b"].summary, "make");
  EXPECT_EQ(store->offsets("history").at(path).offset, grown.size());
}

TEST(CommandIndex, ReadersSeeWholeRefreshesWhileRefreshesOverlap) {
  TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  const std::string path = dir.write("config/projects/p/s.jsonl", "");
  CommandIndex index(nullptr, now);
  std::atomic<bool> done = false;
  std::thread reader([&] {
    size_t seen = 0;
    while (!done) {
      const size_t count = index.all().size();
      EXPECT_GE(count, seen);
      seen = count;
    }
  });
  std::thread refresher([&] {
    while (!done) index.refresh(paths, now);
  });
  for (int call = 0; call < 200; ++call) {
    append(path, toolUseLine(now - 60, "toolu_" + std::to_string(call), "Bash", bash("x")));
    index.refresh(paths, now);
  }
  done = true;
  reader.join();
  refresher.join();
  index.refresh(paths, now);
  EXPECT_EQ(index.all().size(), 200u);
}

}  // namespace
}  // namespace tessel
