#include "hook/hook_record.h"

#include <gtest/gtest.h>

#include <random>

#include "support/damage.h"
#include "util/json_reader.h"

namespace tessel {
namespace {

const Date now(1741341600.0);

std::optional<HookRecord> fromInput(std::string_view json, std::optional<int32_t> pid = 4242) {
  std::string scratch;
  return HookRecord::fromHookInput(Json::padded(json, scratch), now, pid);
}

TEST(HookRecord, CondensesAToolCall) {
  const auto record = fromInput(
      R"({"session_id":"9f1c","transcript_path":"/home/u/.claude/projects/-srv-app/9f1c.jsonl",)"
      R"("cwd":"/srv/app","permission_mode":"default","hook_event_name":"PreToolUse",)"
      R"("tool_name":"Bash","tool_input":{"command":"ls /tmp\nls /var","description":"List"},)"
      R"("tool_use_id":"toolu_01"})");
  ASSERT_TRUE(record);
  EXPECT_EQ(*record, (HookRecord{1741341600000.0, "PreToolUse", "9f1c", "Bash", "toolu_01",
                                 "ls /tmp", "/srv/app", 4242, std::nullopt, std::nullopt}));
  EXPECT_EQ(record->encode(),
            R"({"t":1741341600000,"e":"PreToolUse","s":"9f1c","tool":"Bash","id":"toolu_01",)"
            R"("sum":"ls \/tmp","cwd":"\/srv\/app","pid":4242})");

  // Session events carry only their own keys; the time is rounded to whole milliseconds.
  std::string scratch;
  const auto start = HookRecord::fromHookInput(
      Json::padded(
          R"({"session_id":"9f1c","hook_event_name":"SessionStart","source":"startup","cwd":"/srv"})",
          scratch),
      Date(1741341600.0126), std::nullopt);
  ASSERT_TRUE(start);
  EXPECT_EQ(start->encode(), R"({"t":1741341600013,"e":"SessionStart","s":"9f1c","cwd":"\/srv"})");
}

TEST(HookRecord, InputsThatAreNotLogged) {
  for (
      const char* input : {
          "",
          "[]",
          "{",
          "null",
          R"("text")",
          R"({"hook_event_name":"Stop"})",
          R"({"hook_event_name":"Stop","session_id":7})",
          R"({"session_id":"s","hook_event_name":null})",
          R"({"session_id":"s","hook_event_name":"PreToolUse","tool_name":"mcp__ccd_sidebar__list_groups"})",
          R"({"session_id":"s","hook_event_name":"Stop"} trailing)",
      }) {
    EXPECT_EQ(fromInput(input), std::nullopt) << input;
  }
}

TEST(HookRecord, FlagsFailuresAndBackgroundCallsOnlyWhenTrue) {
  const auto post = [](std::string_view response, std::string_view event = "PostToolUse") {
    return fromInput(std::string(R"({"session_id":"s","hook_event_name":")") + std::string(event) +
                     R"(","tool_name":"Bash","tool_input":{"command":"make"},"tool_response":)" +
                     std::string(response) + "}");
  };
  EXPECT_EQ(post(R"({"is_error":false,"interrupted":true})")->err, true);
  EXPECT_EQ(post(R"({"stdout":"","is_error":true})")->err, true);
  EXPECT_EQ(post(R"({"stdout":"x","stderr":"","interrupted":false,"isImage":false})")->err,
            std::nullopt);
  EXPECT_EQ(post(R"("Error: exit 1")")->err, std::nullopt);
  EXPECT_EQ(post(R"([{"type":"text","text":"is_error"}])")->err, std::nullopt);
  EXPECT_EQ(post(R"({"nested":{"is_error":true}})")->err, std::nullopt);
  EXPECT_EQ(post(R"({"is_error":"true"})")->err, std::nullopt);
  EXPECT_EQ(post(R"({"is_error":true})", "PreToolUse")->err, std::nullopt);

  const auto bash = [](std::string_view input) {
    return fromInput(std::string(R"({"tool_input":)") + std::string(input) +
                     R"(,"tool_name":"Bash","hook_event_name":"PreToolUse","session_id":"s"})");
  };
  EXPECT_EQ(bash(R"({"command":"npm run dev","run_in_background":true})")->bg, true);
  const auto foreground = bash(R"({"command":"npm test","run_in_background":false})");
  EXPECT_EQ(foreground->bg, std::nullopt);
  EXPECT_EQ(foreground->encode()->find("bg"), std::string::npos);
  // A tool input that is not an object counts as empty.
  EXPECT_EQ(bash(R"("npm test")")->sum, "command");
}

TEST(HookRecord, WrongTypesCountAsAbsent) {
  const auto record =
      fromInput(R"({"session_id":"s","hook_event_name":"PreToolUse","tool_name":"Read",)"
                R"("tool_use_id":12,"cwd":["/srv"],"tool_input":{"file_path":7}})");
  ASSERT_TRUE(record);
  EXPECT_EQ(record->id, std::nullopt);
  EXPECT_EQ(record->cwd, std::nullopt);
  EXPECT_EQ(record->sum, "Read");
  EXPECT_EQ(fromInput(R"({"session_id":"s","hook_event_name":"Stop","tool_name":5})")->tool,
            std::nullopt);
}

TEST(HookRecord, DecodesLogLines) {
  const HookRecord minimal{1741341600000.0, "Stop", "s"};
  // Unknown keys are ignored and key order carries no meaning.
  EXPECT_EQ(HookRecord::decode(R"({"s":"s","extra":{"a":[1,2]},"e":"Stop","t":1741341600000})"),
            minimal);
  EXPECT_EQ(HookRecord::decode(R"({"t":1741341600000,"e":"Stop","s":"s","pid":null})"), minimal);

  HookRecord full{1741341600123.0, "PostToolUse", "s", "Bash", "toolu_1",
                  "ls \"a\" /b",   "/srv",        -1,  true,   true};
  full.ctr = "devbox";
  EXPECT_EQ(HookRecord::decode(*full.encode()), full);
  const HookRecord quiet{1.0,          "PostToolUse", "s",          std::nullopt, std::nullopt,
                         std::nullopt, std::nullopt,  std::nullopt, false,        false};
  EXPECT_EQ(quiet.encode(), R"({"t":1,"e":"PostToolUse","s":"s"})");

  for (const char* bad : {
           R"({"t":"1741341600000","e":"Stop","s":"s"})",
           R"({"t":1741341600000,"e":7,"s":"s"})",
           R"({"t":1741341600000,"e":"Stop"})",
           R"({"t":1741341600000,"e":"Stop","s":"s","pid":"12"})",
           R"({"t":1741341600000,"e":"Stop","s":"s","pid":12.5})",
           R"({"t":1741341600000,"e":"Stop","s":"s","pid":4294967296})",
           R"({"t":1741341600000,"e":"Stop","s":"s","err":1})",
           R"({"t":1741341600000,"e":"Stop","s":"s","tool":false})",
           R"({"t":1741341600000,"e":"Stop","s":)",
           R"({"t":1741341600000,"e":"Stop","s":"s"}{)",
           R"([{"t":1741341600000,"e":"Stop","s":"s"}])",
           // Members nobody reads must still be JSON.
           R"({"t":1741341600000,"e":"Stop","s":"s","x":tru})",
           R"({"t":1741341600000,"e":"Stop","s":"s","x":[1,01]})",
           R"({"t":1741341600000,"e":"Stop","s":"s","x":{"y":"\q"}})",
           R"({"t":1741341600000,"e":"Stop","s":"s","x":nul})",
           R"({"t":1741341600000,"e":"Stop","s":"s","x":[1,]})",
           R"({"t":01,"e":"Stop","s":"s"})",
           "",
       }) {
    EXPECT_EQ(HookRecord::decode(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(HookRecord{std::numeric_limits<double>::infinity()}.encode(), std::nullopt);
}

// Damaged input of every kind (cut anywhere, bytes flipped, bytes inserted) must never
// crash a parser, and whatever still decodes must survive its own round trip.
TEST(HookRecord, SurvivesRandomlyDamagedInput) {
  const std::vector<std::string> seeds = {
      R"({"session_id":"9f1c","cwd":"/srv/app","hook_event_name":"PostToolUse","tool_name":"Bash",)"
      R"("tool_input":{"command":"ls\n-la","run_in_background":true},"tool_response":{"stdout":"a\u00e9",)"
      R"("interrupted":true},"tool_use_id":"toolu_01"})",
      R"({"t":1741341600123,"e":"PostToolUse","s":"s","tool":"Bash","id":"toolu_1",)"
      R"("sum":"ls \"a\" \/b","cwd":"\/srv","pid":42,"err":true,"bg":true,"ctr":"devbox"})",
  };
  std::mt19937 random(20261205);
  std::string scratch;
  for (int round = 0; round < 20000; ++round) {
    const std::string text = test::damaged(seeds[round % seeds.size()], random);
    if (auto record = HookRecord::fromHookInput(Json::padded(text, scratch), now, 1)) {
      ASSERT_EQ(HookRecord::decode(*record->encode()), *record) << text;
    }
    if (auto record = HookRecord::decode(text)) {
      ASSERT_EQ(HookRecord::decode(*record->encode()), *record) << text;
    }
  }
}

}  // namespace
}  // namespace tessel
