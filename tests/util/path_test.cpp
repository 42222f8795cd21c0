#include "util/path.h"

#include <gtest/gtest.h>

#include "platform/user.h"

namespace tessel {
namespace {

TEST(Path, LastComponentAndExtension) {
  EXPECT_EQ(Path::lastComponent("/usr/local/bin/claude"), "claude");
  EXPECT_EQ(Path::lastComponent("/a/b/"), "b");
  EXPECT_EQ(Path::lastComponent("/"), "/");
  EXPECT_EQ(Path::lastComponent("name"), "name");
  EXPECT_EQ(Path::lastComponent(""), "");

  EXPECT_EQ(Path::extension("/x/archive.tar.gz"), "gz");
  EXPECT_EQ(Path::extension("/x/events-2025-03-07.jsonl"), "jsonl");
  EXPECT_EQ(Path::extension("/home/u/.bashrc"), "");
  EXPECT_EQ(Path::extension("/a.d/Makefile"), "");
}

TEST(Path, AbbreviatesAPlainHomePrefix) {
  EXPECT_EQ(Path::abbreviate("/home/alice/src/app", "/home/alice"), "~/src/app");
  EXPECT_EQ(Path::abbreviate("/home/alice", "/home/alice"), "~");
  EXPECT_EQ(Path::abbreviate("/srv/app", "/home/alice"), "/srv/app");
  EXPECT_EQ(Path::abbreviate("/srv/app", ""), "/srv/app");
  // The user database decides, not $HOME.
  const std::string& home = platform::userHomeDirectory();
  ASSERT_FALSE(home.empty());
  EXPECT_EQ(Path::abbreviateHome(home + "/notes.md"), "~/notes.md");
}

}  // namespace
}  // namespace tessel
