#include "util/text.h"

#include <gtest/gtest.h>

namespace tessel {
namespace {

const std::string replacement = "\xEF\xBF\xBD";

TEST(Text, RepairsOnlyInvalidSequences) {
  EXPECT_EQ(Text::repairUtf8("plain caf\xC3\xA9 \xF0\x9F\x98\x80"),
            "plain caf\xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_EQ(Text::repairUtf8("a\xFF"
                             "b"),
            "a" + replacement + "b");
  // A sequence cut short by the end, or by an ASCII byte, becomes one replacement.
  EXPECT_EQ(Text::repairUtf8("x\xE2\x9C"), "x" + replacement);
  EXPECT_EQ(Text::repairUtf8("\xE2\x9C"
                             "A"),
            replacement + "A");
  // Overlong forms and surrogates are not UTF-8.
  EXPECT_EQ(Text::repairUtf8("\xC0\xAF"), replacement + replacement);
  EXPECT_EQ(Text::repairUtf8("\xED\xA0\x80"), replacement + replacement + replacement);
  EXPECT_TRUE(Text::isValidUtf8(Text::repairUtf8("\x80\x80\xF4\x90\x80\x80 ok")));
}

TEST(Text, TakesTheEndedLinesAndRepairsThemOnlyWhenInvalid) {
  std::string repaired;
  EXPECT_FALSE(Text::wholeLines("{\"half\": ", repaired));
  const std::string valid = "{\"a\":1}\n{\"b\":2}\n{\"c\":";
  const auto lines = Text::wholeLines(valid, repaired);
  ASSERT_TRUE(lines);
  EXPECT_EQ(lines->text, "{\"a\":1}\n{\"b\":2}\n");
  EXPECT_EQ(lines->text.data(), valid.data());  // read where it lies
  EXPECT_EQ(lines->length, 16u);
  // A bad byte changes the text's length but not where the next read begins.
  const std::string invalid = "\"\xFF\xFE\"\n\"x";
  const auto fixed = Text::wholeLines(invalid, repaired);
  ASSERT_TRUE(fixed);
  EXPECT_EQ(fixed->text, "\"" + replacement + replacement + "\"\n");
  EXPECT_EQ(fixed->length, 5u);
}

TEST(Text, CutsByCodePointsNeverInsideASequence) {
  const std::string text =
      "\xC3\xA9\xE2\x9C\x93"
      "a\xF0\x9F\x98\x80";  // é ✓ a 😀
  EXPECT_EQ(Text::prefixCodePoints(text, 0), "");
  EXPECT_EQ(Text::prefixCodePoints(text, 1), "\xC3\xA9");
  EXPECT_EQ(Text::prefixCodePoints(text, 2), "\xC3\xA9\xE2\x9C\x93");
  EXPECT_EQ(Text::prefixCodePoints(text, 4), text);
  EXPECT_EQ(Text::prefixCodePoints(text, 400), text);
}

TEST(Text, LinesWithoutEmptyOnes) {
  EXPECT_EQ(Text::nonEmptyLines("\n\na\n\nb\nc"), (std::vector<std::string_view>{"a", "b", "c"}));
  EXPECT_TRUE(Text::nonEmptyLines("\n\n").empty());
  EXPECT_EQ(Text::firstNonEmptyLine("\n\nsecond\nthird"), "second");
  EXPECT_EQ(Text::firstNonEmptyLine("\n\n"), "\n\n");
  EXPECT_EQ(Text::firstNonEmptyLine(""), "");
  EXPECT_EQ(Text::firstLine(" \n \t\r\n  Error: in use \r\nsecond"), "Error: in use");
  EXPECT_EQ(Text::firstLine(" \n\t"), "");
  EXPECT_EQ(Text::codePoints("caf\xc3\xa9 \xe6\x97\xa5"), 6u);
}

}  // namespace
}  // namespace tessel
