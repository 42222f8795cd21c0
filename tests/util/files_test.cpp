#include "util/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/temp_dir.h"

namespace tessel {
namespace {

std::vector<std::string> sorted(const Files::ListingCache::Names& listing) {
  std::vector<std::string> names = *listing;
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ListingCache, ListsAgainOnlyWhenTheFolderChanged) {
  test::TempDir dir;
  dir.write("projects/a.jsonl", "");
  const std::string folder = dir / "projects";
  Files::ListingCache cache;
  const Date now = Date::now();
  // A folder changed just now is listed every time: a change within the same clock tick
  // would not move its time.
  EXPECT_EQ(*cache.list(folder, now), std::vector<std::string>{"a.jsonl"});
  dir.write("projects/b.jsonl", "");
  EXPECT_EQ(sorted(cache.list(folder, now)), (std::vector<std::string>{"a.jsonl", "b.jsonl"}));

  // A quiet folder is kept; the listing seen is the cached one until its time moves.
  const Date quiet = now - 60;
  test::setModified(folder, quiet);
  EXPECT_EQ(sorted(cache.list(folder, now)), (std::vector<std::string>{"a.jsonl", "b.jsonl"}));
  std::filesystem::remove(dir / "projects/b.jsonl");
  test::setModified(folder, quiet);
  EXPECT_EQ(sorted(cache.list(folder, now)), (std::vector<std::string>{"a.jsonl", "b.jsonl"}));
  dir.write("projects/c.jsonl", "");
  EXPECT_EQ(sorted(cache.list(folder, now)), (std::vector<std::string>{"a.jsonl", "c.jsonl"}));

  // A folder that a whole walk did not list is forgotten: with its time put back, it
  // is still read afresh.
  test::setModified(folder, quiet);
  EXPECT_EQ(sorted(cache.list(folder, now)), (std::vector<std::string>{"a.jsonl", "c.jsonl"}));
  cache.forgetUnused();  // listed in this walk: kept
  std::filesystem::remove(dir / "projects/c.jsonl");
  test::setModified(folder, quiet);
  EXPECT_EQ(sorted(cache.list(folder, now)), (std::vector<std::string>{"a.jsonl", "c.jsonl"}));
  cache.forgetUnused();
  cache.forgetUnused();  // not listed in this walk: dropped
  EXPECT_EQ(*cache.list(folder, now), std::vector<std::string>{"a.jsonl"});

  // Gone, or a file where the folder was: nothing.
  std::filesystem::remove_all(folder);
  EXPECT_TRUE(cache.list(folder, now)->empty());
  dir.write("projects", "a file now");
  EXPECT_TRUE(cache.list(folder, now)->empty());
}

TEST(OpenFolder, AsksAboutEntriesLikeTheirPaths) {
  test::TempDir dir;
  dir.write("sessions/a.jsonl", "12345");
  std::filesystem::create_directories(dir / "sessions/2026");
  std::filesystem::create_symlink(dir / "sessions/a.jsonl", dir / "sessions/link.jsonl");
  const auto folder = Files::OpenFolder::open(dir / "sessions");
  ASSERT_TRUE(folder);
  for (const std::string name : {"a.jsonl", "2026", "link.jsonl"}) {
    const auto direct = Files::attributes(dir / ("sessions/" + name));
    const auto held = folder->attributes(name);
    ASSERT_TRUE(direct && held) << name;
    EXPECT_EQ(held->size, direct->size) << name;
    EXPECT_EQ(held->isDirectory, direct->isDirectory) << name;
    EXPECT_EQ(held->modified, direct->modified) << name;
  }
  EXPECT_FALSE(folder->attributes("missing"));
  // The folder stays open when its path goes: entries are still found under the new name.
  std::filesystem::rename(dir / "sessions", dir / "moved");
  EXPECT_EQ(folder->attributes("a.jsonl")->size, 5U);

  EXPECT_FALSE(Files::OpenFolder::open(dir / "moved/a.jsonl"));
  EXPECT_FALSE(Files::OpenFolder::open(dir / "nowhere"));
}

}  // namespace
}  // namespace tessel
