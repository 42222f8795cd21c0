#include "util/json_writer.h"

#include <gtest/gtest.h>

namespace tessel {
namespace {

TEST(JsonWriter, WritesCompactObjectsWithTheFixedEscapes) {
  JsonWriter writer;
  writer.beginObject()
      .key("t")
      .number(1741341600000.0)
      .key("path")
      .string("/tmp/a \"b\"\\c")
      .key("ctl")
      .string("tab\there\nnl\x01")
      .key("text")
      .string("caf\xC3\xA9 \xE2\x9C\x93")
      .key("pid")
      .integer(-42)
      .key("err")
      .boolean(true)
      .key("half")
      .number(0.5)
      .key("inner")
      .beginObject()
      .key("k")
      .boolean(false)
      .endObject()
      .endObject();
  EXPECT_EQ(writer.text(),
            R"({"t":1741341600000,"path":"\/tmp\/a \"b\"\\c","ctl":"tab\there\nnl\u0001",)"
            "\"text\":\"caf\xC3\xA9 \xE2\x9C\x93\",\"pid\":-42,\"err\":true,\"half\":0.5,"
            R"("inner":{"k":false}})");
}

}  // namespace
}  // namespace tessel
