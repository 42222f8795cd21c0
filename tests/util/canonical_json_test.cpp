#include "util/canonical_json.h"

#include <gtest/gtest.h>

#include "util/json_object.h"

namespace tessel {
namespace {

std::string canonicalOf(std::string_view text) {
  const nlohmann::json value = Json::parse(text);
  EXPECT_FALSE(value.is_discarded()) << text;
  return CanonicalJson::write(value);
}

TEST(CanonicalJson, SortsKeysByUtf16CodeUnits) {
  // UTF-8 byte order would put U+E000 (EE 80 80) before U+1F600 (F0 9F 98 80); UTF-16
  // puts the surrogate pair (D83D DE00) first. "é" and "z" show plain code point order.
  EXPECT_EQ(canonicalOf("{\"\xEE\x80\x80\":1,\"\xF0\x9F\x98\x80\":2,\"z\":3,\"\xC3\xA9\":4,"
                        "\"a\":5,\"B\":6,\"ab\":7,\"\":8}"),
            "{\"\":8,\"B\":6,\"a\":5,\"ab\":7,\"z\":3,\"\xC3\xA9\":4,\"\xF0\x9F\x98\x80\":2,"
            "\"\xEE\x80\x80\":1}");
  EXPECT_TRUE(CanonicalJson::keyBefore("\xF0\x9F\x98\x80", "\xEF\xBF\xBF"));
  EXPECT_FALSE(CanonicalJson::keyBefore("\xEF\xBF\xBF", "\xF0\x9F\x98\x80"));
  EXPECT_TRUE(CanonicalJson::keyBefore("\xED\x9F\xBF", "\xF0\x90\x80\x80"));  // U+D7FF first
  EXPECT_FALSE(CanonicalJson::keyBefore("a", "a"));
  // A byte that is no UTF-8 still has one place: after every character.
  EXPECT_TRUE(CanonicalJson::keyBefore("\xF4\x8F\xBF\xBF", "\xFF"));
  EXPECT_FALSE(CanonicalJson::keyBefore("\xFF", "\xC3"));
  EXPECT_TRUE(CanonicalJson::keyBefore("\xC3", "\xFF"));
}

TEST(CanonicalJson, EscapesOnlyWhatJsonRequires) {
  EXPECT_EQ(
      canonicalOf(R"(["a\/b", "\"\\", "\b\f\n\r\t", "\u0001\u001F\u007f", "\u00e9\u2192",
                          "\ud83d\ude00"])"),
      "[\"a/b\",\"\\\"\\\\\",\"\\b\\f\\n\\r\\t\",\"\\u0001\\u001f\x7F\",\"\xC3\xA9\xE2\x86\x92\","
      "\"\xF0\x9F\x98\x80\"]");
}

TEST(CanonicalJson, WritesNumbersByValue) {
  EXPECT_EQ(canonicalOf("[1, 1.0, 1e0, -0, -0.0, 0.5, 1e-7, 1e100, 1E+2, 2.50]"),
            "[1,1,1,0,0,0.5,1e-07,1e+100,100,2.5]");
  // Whole numbers the parser kept as integers keep every digit, past 2^53 too; as
  // doubles they are whole below 2^53 only, and past it plain notation wins where shorter.
  EXPECT_EQ(canonicalOf("[9007199254740993, 18446744073709551615, -9223372036854775808, "
                        "9007199254740993.0, 123456789012345678901, 1.5e16]"),
            "[9007199254740993,18446744073709551615,-9223372036854775808,9007199254740992,"
            "123456789012345683968,1.5e+16]");
}

TEST(CanonicalJson, ReadingTheFormBackWritesTheSameBytes) {
  const char* documents[] = {
      R"({"b":{"y":[],"x":{}},"a":[true,false,null,{"k":"v"}],"":""})",
      "{\"notes\":\"line one\\nline two\\t\\u0000 caf\\u00e9 \\ud83d\\ude00\",\"\\uE000\":1}",
      "[0.1, 0.30000000000000004, 1e21, 1e-300, 4.9e-324, 1.7976931348623157e308, "
      "-123.456e-7, 9007199254740992, 1152921504606846976.0, 100000000000000000000]",
      "  { \"z\" : 1 ,\n \"a\\/b\" : [ 1 , 2 ] }  ",
  };
  for (const char* document : documents) {
    const std::string once = canonicalOf(document);
    EXPECT_EQ(canonicalOf(once), once) << document;
  }
}

}  // namespace
}  // namespace tessel
