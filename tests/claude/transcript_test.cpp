#include "claude/transcript.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"
#include "support/transcript_lines.h"
#include "util/calendar.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

Date at(int second) { return Date(Calendar::utcSeconds(2026, 12, 5, 19, 2, second)); }

std::string stamp(int second) { return Calendar::formatInternetDateTime(at(second), true); }

std::string toolUse(int second, std::string_view id, std::string_view name, std::string_view input,
                    std::string_view session = "8d0c7b3e") {
  return test::toolUseLine(at(second), id, name, input, session);
}

std::string toolResult(int second, std::string_view id, std::string_view extra = "") {
  return test::toolResultLine(at(second), id, extra);
}

TEST(Transcript, PairsToolUsesWithTheirResults) {
  const std::string text =
      R"({"type":"custom-title","customTitle":"Shop","sessionId":"8d0c7b3e"})"
      "\n" +
      toolUse(1, "toolu_a", "Bash",
              R"({"command":"npm test","description":"Run tests","run_in_background":true})") +
      R"({"type":"user","message":{"role":"user","content":"please run the tests"},"timestamp":")" +
      stamp(2) + "\"}\n" + toolUse(3, "toolu_b", "Read", R"({"file_path":"/home/dev/shop/a.ts"})") +
      toolResult(4, "toolu_a", R"(,"is_error":true)") + toolResult(5, "toolu_b") +
      toolResult(6, "toolu_before_the_tail") +
      toolUse(7, "toolu_c", "Grep", R"({"pattern":"TODO"})");

  const auto events = Transcript::events(text, std::nullopt, false);
  ASSERT_EQ(events.size(), 3u);
  ToolEvent bash{"toolu_a", "8d0c7b3e", "Bash", "npm test", at(1), at(4), true, true};
  bash.cwd = "/home/dev/shop";
  EXPECT_EQ(events[0], bash);
  EXPECT_EQ(events[0].duration(), 3);
  EXPECT_EQ(events[1].filePath, "/home/dev/shop/a.ts");
  EXPECT_EQ(events[1].end, at(5));
  EXPECT_FALSE(events[1].isError);
  EXPECT_EQ(events[2].tool, "Grep");
  EXPECT_EQ(events[2].end, std::nullopt);
}

TEST(Transcript, MatchesResultsWhereverTheyStandInTheText) {
  // A result written before its call, and a line holding a call beside a result for a
  // call the text does not have.
  std::string mixed = toolUse(3, "toolu_m", "Bash", R"({"command":"make"})");
  mixed.replace(mixed.find("}],\"stop_reason\""), 2,
                R"(},{"type":"tool_result","tool_use_id":"toolu_gone","content":"ok"}])");
  const std::string text = toolResult(2, "toolu_a", R"(,"is_error":true)") +
                           toolUse(1, "toolu_a", "Bash", R"({"command":"ls"})") + mixed +
                           toolResult(4, "toolu_m") + toolResult(5, "toolu_m");
  for (const bool onlyCommands : {false, true}) {
    const auto events = Transcript::events(text, std::nullopt, onlyCommands);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].id, "toolu_a");
    EXPECT_EQ(events[0].end, at(2));
    EXPECT_TRUE(events[0].isError);
    EXPECT_EQ(events[1].id, "toolu_m");
    EXPECT_EQ(events[1].end, at(5));  // the last result written wins
  }
  // A result read late never replaces one written after it.
  const auto twice = Transcript::events(
      toolResult(2, "toolu_a") + toolUse(1, "toolu_a", "Bash", "{}") + toolResult(6, "toolu_a"),
      std::nullopt, true);
  EXPECT_EQ(twice.at(0).end, at(6));
}

TEST(Transcript, OnlyCommandsKeepsBashCalls) {
  std::string both = toolUse(1, "toolu_a", "Bash", R"({"command":"ls"})");
  both.replace(both.find("}],\"stop_reason\""), 2,
               R"(},{"type":"tool_use","id":"toolu_r","name":"Read","input":{"file_path":"/x"}}])");
  const std::string text = both + toolUse(2, "toolu_b", "Read", R"({"file_path":"/y"})") +
                           toolResult(3, "toolu_a") + toolResult(4, "toolu_b");
  const auto events = Transcript::events(text, std::nullopt, true);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].id, "toolu_a");
  EXPECT_EQ(events[0].end, at(3));
  EXPECT_EQ(Transcript::events(text, std::nullopt, false).size(), 3u);
}

TEST(Transcript, SkipsLinesItCannotUse) {
  std::string noStamp = toolUse(1, "toolu_x", "Bash", R"({"command":"ls"})");
  // A whole call with more after it is not one JSON value.
  std::string trailing = toolUse(6, "toolu_g", "Bash", R"({"command":"ls"})");
  trailing.insert(trailing.size() - 1, " {}");
  noStamp.replace(noStamp.find("\"timestamp\""), 11, "\"when\"");
  const std::string text =
      noStamp + R"({"type":"assistant","message":{"content":"tool_use as text"},"timestamp":")" +
      stamp(1) + "\"}\n" +
      R"({"type":"assistant","message":{"content":["tool_use",1]},"timestamp":")" + stamp(1) +
      "\"}\n" + R"({"message":{"content":[{"type":"tool_use","name":"Bash"}]},"timestamp":")" +
      stamp(1) + "\"}\n" + "{\"type\":\"tool_use\", broken\n" + "[\"tool_use\"]\n" +
      // A streamed duplicate replaces the call but keeps its place.
      toolUse(2, "toolu_d", "Bash", R"({"command":"first"})") +
      toolUse(3, "toolu_e", "Bash", "{}") +
      toolUse(4, "toolu_d", "Bash", R"({"command":"second"})", "other") +
      toolUse(5, "toolu_f", "Bash", R"({"command":"half)").substr(0, 120) + "\n" + trailing;
  const auto events = Transcript::events(text, std::string("hint"), false);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].summary, "second");
  EXPECT_EQ(events[0].sessionId, "other");
  EXPECT_EQ(events[0].start, at(4));
  EXPECT_EQ(events[1].summary, "command");

  std::string anonymous = toolUse(1, "toolu_h", "Bash", "{}");
  anonymous.replace(anonymous.find(",\"sessionId\":\"8d0c7b3e\""), 23, "");
  EXPECT_EQ(Transcript::events(anonymous, std::string("hint"), false)[0].sessionId, "hint");
  EXPECT_EQ(Transcript::events(anonymous, std::nullopt, false)[0].sessionId, "");
}

TEST(Transcript, LastModelWithoutParsing) {
  const std::string text = toolUse(1, "a", "Bash", "{}") +
                           R"({"message":{"model":"claude-haiku-4-5-20251001","content":[]}})"
                           "\n" +
                           R"({"message":{"model":"<synthetic>","content":[]}})"
                           "\n";
  EXPECT_EQ(Transcript::lastModel(text), "claude-haiku-4-5-20251001");
  EXPECT_EQ(Transcript::lastModel(R"({"model":"gpt-5"})"), std::nullopt);
  EXPECT_EQ(Transcript::lastModel(R"({"model":"claude-cut)"), std::nullopt);
}

TEST(Transcript, DatesAreInternetDateTimes) {
  EXPECT_EQ(Transcript::date("2026-12-05T19:02:10.948Z"), at(10) + 0.948);
  EXPECT_EQ(Transcript::date("2026-12-05T19:02:10Z"), at(10));
  EXPECT_EQ(Transcript::date("2026-12-05"), std::nullopt);
  EXPECT_EQ(Transcript::date(std::nullopt), std::nullopt);
}

TEST(Transcript, TailStartsAtALineBoundary) {
  test::TempDir dir;
  const std::string path = dir.write("t.jsonl", "first line\nsecond \xFF line\nthird\n");
  EXPECT_EQ(Transcript::tail(path, 1000), "first line\nsecond \xEF\xBF\xBD line\nthird\n");
  EXPECT_EQ(Transcript::tail(path, 20), "third\n");
  // Only the end of the last line's feed fits: no line is left.
  EXPECT_EQ(Transcript::tail(path, 5), "");
  // A line still being written, with no line feed in reach: nothing.
  EXPECT_EQ(Transcript::tail(dir.write("partial", "done\nhalf a li"), 8), std::nullopt);
  EXPECT_EQ(Transcript::tail(dir.write("empty", ""), 10), std::nullopt);
  EXPECT_EQ(Transcript::tail(dir / "missing", 10), std::nullopt);
  EXPECT_EQ(Transcript::tail(dir.path(), 10), std::nullopt);
}

TEST(TranscriptLocator, FindsSessionsAndRescansAtMostEveryThreeSeconds) {
  test::TempDir dir;
  const ClaudePaths paths = dir.claudePaths(".claude");
  const std::string first = dir.write(".claude/projects/-home-dev-shop/8d0c7b3e.jsonl", "");
  dir.write(".claude/projects/-home-dev-shop/notes.txt", "");
  dir.write(".claude/projects/stray-file", "");
  TranscriptLocator locator;
  EXPECT_EQ(locator.path("8d0c7b3e", paths, at(0)), first);
  // Known and still there: no scan needed.
  EXPECT_EQ(locator.path("8d0c7b3e", paths, at(1)), first);
  // Unknown right after a scan: not looked for again within the window, then found.
  const std::string later = dir.write(".claude/projects/-srv/5f2a.jsonl", "");
  EXPECT_EQ(locator.path("5f2a", paths, at(3)), std::nullopt);
  EXPECT_EQ(locator.path("5f2a", paths, at(4)), later);
  EXPECT_EQ(locator.path("notes", paths, at(8)), std::nullopt);
  // A file that went away is looked for again.
  fs::rename(later, dir / ".claude/projects/-home-dev-shop/5f2a.jsonl");
  EXPECT_EQ(locator.path("5f2a", paths, at(12)),
            dir / ".claude/projects/-home-dev-shop/5f2a.jsonl");
}

}  // namespace
}  // namespace tessel
