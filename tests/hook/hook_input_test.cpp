#include "hook/hook_input.h"

#include <gtest/gtest.h>

#include <random>

#include "hook/hook_record.h"
#include "support/damage.h"
#include "util/json_reader.h"

namespace tessel {
namespace {

// The filter's output when fed `input` in pieces of `piece` bytes; nothing when it
// rejects the input.
std::optional<std::string> filtered(std::string_view input, size_t piece = 1 << 20) {
  HookInput::Filter filter;
  std::string kept;
  for (size_t at = 0; at < input.size(); at += piece) filter.feed(input.substr(at, piece), kept);
  if (!filter.finish()) return std::nullopt;
  return kept;
}

std::optional<HookRecord> recordOf(std::string_view json) {
  std::string scratch;
  return HookRecord::fromHookInput(Json::padded(json, scratch), Date(1741341600), 7);
}

const std::string postToolUse =
    R"({"session_id":"9f1c","transcript_path":"/home/u/.claude/projects/p/9f1c.jsonl",)"
    R"("cwd":"/srv/app","hook_event_name":"PostToolUse","tool_name":"Write",)"
    R"("tool_input":{"file_path":"/srv/app/a.txt","content":"line 1\nline \"2\"\t\u00e9 caf\u00c3"},)"
    R"("tool_response":{"type":"create","filePath":"/srv/app/a.txt","content":"x","structuredPatch":[],)"
    R"("nested":{"is_error":true},"interrupted":true,"count":3,"ok":null},"tool_use_id":"toolu_01"})";

TEST(HookInputFilter, KeepsStructureKeysAndTheStringsRecordsUse) {
  EXPECT_EQ(
      filtered(postToolUse),
      R"({"session_id":"9f1c","transcript_path":"",)"
      R"("cwd":"/srv/app","hook_event_name":"PostToolUse","tool_name":"Write",)"
      R"("tool_input":{"file_path":"/srv/app/a.txt","content":""},)"
      R"("tool_response":{"type":"","filePath":"","content":"","structuredPatch":[],)"
      R"("nested":{"is_error":true},"interrupted":true,"count":3,"ok":null},"tool_use_id":"toolu_01"})");
  // Values behind keys written with escapes are kept whole.
  EXPECT_EQ(filtered(R"({"tool\u005fname":"Bash","x":["a",{"y":"b"}]})"),
            R"({"tool\u005fname":"Bash","x":["",{"y":""}]})");
}

TEST(HookInputFilter, GivesTheSameRecordForAnySplitOfTheInput) {
  const std::string bash =
      "{\"hook_event_name\":\"PreToolUse\",\"tool_input\":{\"command\":\"npm "
      "test\\n\",\"description\":"
      "\"R\xC3\xA9sum\xC3\xA9 "
      "\xF0\x9F\x98\x80\",\"run_in_background\":true},\"tool_name\":\"Bash\","
      "\"session_id\":\"s\",\"tool_use_id\":\"toolu_2\",\"prompt\":\"\xE2\x9C\x93 done\"}";
  for (const std::string& input : {postToolUse, bash}) {
    const auto expected = recordOf(input);
    ASSERT_TRUE(expected);
    for (size_t piece = 1; piece <= input.size(); ++piece) {
      const auto kept = filtered(input, piece);
      ASSERT_TRUE(kept) << "piece " << piece;
      ASSERT_EQ(recordOf(*kept), expected) << "piece " << piece;
    }
  }
}

TEST(HookInputFilter, RejectsDroppedStringsThatAreNotJsonText) {
  const auto inResponse = [](std::string_view content) {
    return "{\"hook_event_name\":\"PostToolUse\",\"session_id\":\"s\",\"tool_response\":{"
           "\"stdout\":\"" +
           std::string(content) + "\"}}";
  };
  EXPECT_TRUE(
      filtered(inResponse("ok \\\" \\\\ \\/ \\b\\f\\n\\r\\t \\u00E9 \xC3\xA9 \xF4\x8F\xBF\xBF")));
  for (const char* bad : {"tab\there", "bad \\x escape", "short \\u12", "\xC0\xAF", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80", "cut \xE2\x9C", "\xFF", "nul \\\0"}) {
    EXPECT_EQ(filtered(inResponse(bad), 3), std::nullopt) << bad;
  }
  EXPECT_EQ(filtered(R"({"session_id":"s","tool_response":{"stdout":"never ends)"), std::nullopt);
}

// Whatever the damage, filtering never changes the record the parser makes. The filter
// is the stricter of the two: it checks every dropped string, which the parser skips
// unread, so it may refuse text that only a full validation would refuse too.
TEST(HookInputFilter, AgreesWithTheParserOnDamagedInput) {
  std::mt19937 random(5);
  for (int round = 0; round < 20000; ++round) {
    const std::string text = test::damaged(postToolUse, random);
    const auto kept = filtered(text, 1 + random() % 64);
    const auto direct = recordOf(text);
    if (kept) {
      ASSERT_EQ(recordOf(*kept), direct) << text;
    } else if (direct) {
      simdjson::dom::parser validating;
      ASSERT_NE(validating.parse(text).error(), simdjson::SUCCESS) << text;
    }
  }
}

}  // namespace
}  // namespace tessel
