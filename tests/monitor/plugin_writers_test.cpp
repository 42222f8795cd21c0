#include "monitor/plugin_writers.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "support/temp_dir.h"
#include "util/calendar.h"
#include "util/files.h"

namespace tessel {
namespace {

using test::TempDir;

const Date now(Calendar::utcSeconds(2026, 12, 8, 15, 0, 0));

LiveSession live(const std::string& id, std::optional<std::string> version = std::nullopt) {
  LiveSession session;
  session.pid = 4242;
  session.sessionId = id;
  session.version = std::move(version);
  return session;
}

TEST(PluginWriters, RecordsReadBackAndBadOnesAreRefused) {
  const PluginWriters::Record full{.sessionId = "5f0c",
                                   .title = "Fix the \"cart\" totals",
                                   .cwd = "/home/ana/shop",
                                   .version = "2.1.3",
                                   .t = Date::fromMillis(1796741999123),
                                   .desktopId = "local_9c1d"};
  EXPECT_EQ(PluginWriters::encode(full),
            R"({"sessionId":"5f0c","title":"Fix the \"cart\" totals","cwd":"/home/ana/shop",)"
            R"("version":"2.1.3","t":1796741999123,"desktopId":"local_9c1d"})");
  EXPECT_EQ(PluginWriters::parse(PluginWriters::encode(full)), full);
  const PluginWriters::Record bare{.sessionId = "a", .version = "2.0.0", .t = Date(1796741999)};
  EXPECT_EQ(PluginWriters::parse(PluginWriters::encode(bare)), bare);
  EXPECT_EQ(PluginWriters::parse(R"({"sessionId":"a","version":"2","t":1,"title":null})")->title,
            std::nullopt);

  for (const char* text :
       {"", "[]", R"({"sessionId":"a","version":"2"})", R"({"sessionId":"","version":"2","t":1})",
        R"({"sessionId":"a","version":2,"t":1})",
        R"({"sessionId":"a","version":"2","t":1,"cwd":7})",
        R"({"sessionId":"a","version":"2","t":1)"}) {
    EXPECT_EQ(PluginWriters::parse(text), std::nullopt) << text;
  }

  TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  EXPECT_FALSE(PluginWriters::write({.sessionId = "../escape", .version = "2"}, paths));
  EXPECT_FALSE(PluginWriters::write({.sessionId = ".hidden", .version = "2"}, paths));
  EXPECT_TRUE(PluginWriters::write(full, paths));
  EXPECT_EQ(test::readFile(PluginWriters::dir(paths) + "/5f0c.json"), PluginWriters::encode(full));
}

TEST(PluginWriters, CheckRereadsOnlyChangedFilesAndKeepsTheLastGoodRecord) {
  TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  PluginWriters writers;
  writers.check(paths);  // no folder yet
  EXPECT_TRUE(writers.seen().empty());

  ASSERT_TRUE(PluginWriters::write({.sessionId = "a", .version = "2.1.3", .t = now}, paths));
  ASSERT_TRUE(PluginWriters::write({.sessionId = "b", .version = "2.1.4", .t = now}, paths));
  dir.write("support/connector/writers/notes.txt", "not a record");
  writers.check(paths);
  ASSERT_EQ(writers.seen().size(), 2U);
  EXPECT_EQ(writers.version(live("a", "2.0.0")), (SessionVersion{"2.1.3", true}));
  EXPECT_EQ(writers.version(live("c", "2.0.0")), (SessionVersion{"2.0.0", false}));
  EXPECT_EQ(writers.version(live("c")), SessionVersion{});

  // Same modification time: not read again, so different bytes go unseen.
  const std::string a = PluginWriters::dir(paths) + "/a.json";
  const auto modified = *Files::modificationTime(a);
  dir.write("support/connector/writers/a.json",
            PluginWriters::encode({.sessionId = "a", .version = "9.9.9", .t = now}));
  test::setModified(a, modified);
  writers.check(paths);
  EXPECT_EQ(writers.seen().at("a").version, "2.1.3");

  // A file caught half-written keeps the session's previous record; a new time is read.
  dir.write("support/connector/writers/a.json", R"({"sessionId":"a","vers)");
  test::setModified(a, modified + 1);
  writers.check(paths);
  EXPECT_EQ(writers.seen().at("a").version, "2.1.3");
  dir.write("support/connector/writers/a.json",
            PluginWriters::encode({.sessionId = "a", .version = "2.2.0", .t = now}));
  test::setModified(a, modified + 2);
  writers.check(paths);
  EXPECT_EQ(writers.seen().at("a").version, "2.2.0");

  // A file that went away is forgotten.
  std::filesystem::remove(PluginWriters::dir(paths) + "/b.json");
  writers.check(paths);
  EXPECT_FALSE(writers.seen().contains("b"));
}

TEST(PluginWriters, PruneDeletesOnlyOldRecordsOfSessionsNoLongerLive) {
  TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  const std::string folder = PluginWriters::dir(paths);
  for (const char* id : {"old-live", "old-ended", "recent-ended"}) {
    ASSERT_TRUE(PluginWriters::write({.sessionId = id, .version = "2", .t = now}, paths));
  }
  test::setModified(folder + "/old-live.json", now - 4 * 86400);
  test::setModified(folder + "/old-ended.json", now - 4 * 86400);
  test::setModified(folder + "/recent-ended.json", now - 2 * 86400);
  const std::string other = dir.write("support/connector/writers/README", "");
  test::setModified(other, now - 30 * 86400);

  PluginWriters writers;
  writers.check(paths);
  writers.prune({live("old-live")}, folder, now);
  EXPECT_TRUE(std::filesystem::exists(folder + "/old-live.json"));
  EXPECT_FALSE(std::filesystem::exists(folder + "/old-ended.json"));
  EXPECT_TRUE(std::filesystem::exists(folder + "/recent-ended.json"));
  EXPECT_TRUE(std::filesystem::exists(other));
  EXPECT_FALSE(writers.seen().contains("old-ended"));
  EXPECT_TRUE(writers.seen().contains("recent-ended"));
}

}  // namespace
}  // namespace tessel
