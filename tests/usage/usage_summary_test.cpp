#include "usage/usage_summary.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "support/time_zone.h"
#include "util/calendar.h"

namespace tessel {
namespace {

using Counts = IndexStore::Counts;

const PriceTable table = *PriceTable::parse(R"({
  "taken": "2026-12-01", "sources": ["https://example.com/prices"],
  "models": [
    {"prefix": "claude-opus-4", "input": 15, "output": 75, "cacheWrite5m": 18.75,
     "cacheWrite1h": 30, "cacheRead": 1.5},
    {"prefix": "claude-opus-4-5", "input": 5, "output": 25, "cacheWrite5m": 6.25,
     "cacheWrite1h": 10, "cacheRead": 0.5},
    {"prefix": "claude-haiku-4-5", "input": 1, "output": 5, "cacheWrite5m": 1.25,
     "cacheWrite1h": 2, "cacheRead": 0.1},
    {"prefix": "gpt-5.2-codex", "input": 1.75, "output": 14, "cacheWrite5m": 1.75,
     "cacheWrite1h": 1.75, "cacheRead": 0.175},
    {"prefix": "claude-sonnet", "input": "3", "output": 15, "cacheWrite5m": 3.75,
     "cacheWrite1h": 6, "cacheRead": 0.3},
    {"input": 1, "output": 1, "cacheWrite5m": 1, "cacheWrite1h": 1, "cacheRead": 1},
    {"prefix": "gpt-4o", "input": -1, "output": 1, "cacheWrite5m": 1, "cacheWrite1h": 1,
     "cacheRead": 1}
  ]})");

TEST(PriceTable, PricesEachTierByTheLongestPrefixAndKnowsWhatItCannotPrice) {
  EXPECT_EQ(table.taken(), "2026-12-01");
  EXPECT_EQ(table.sources(), std::vector<std::string>{"https://example.com/prices"});
  // Entries without a prefix or with a price that is not a number of at least 0 are out.
  EXPECT_EQ(table.size(), 4u);
  EXPECT_EQ(table.find("claude-sonnet-4-5"), nullptr);
  EXPECT_EQ(table.find("gpt-4o"), nullptr);

  // A million input, 100k output, 200k cache writes of which 50k for an hour, a million
  // cache reads.
  const Counts tally{1'000'000, 100'000, 200'000, 1'000'000, 3, 50'000};
  EXPECT_DOUBLE_EQ(*table.cost("claude-opus-4-5-20251101", tally),
                   5 + 0.1 * 25 + 0.15 * 6.25 + 0.05 * 10 + 1 * 0.5);
  EXPECT_DOUBLE_EQ(*table.cost("claude-opus-4-1-20250805", tally),
                   15 + 0.1 * 75 + 0.15 * 18.75 + 0.05 * 30 + 1 * 1.5);
  EXPECT_DOUBLE_EQ(*table.cost("claude-haiku-4-5-20251001", tally),
                   1 + 0.1 * 5 + 0.15 * 1.25 + 0.05 * 2 + 1 * 0.1);
  // Codex tallies keep the cached input apart, and Codex writes no cache.
  EXPECT_DOUBLE_EQ(*table.cost("gpt-5.2-codex", {1'000'000, 100'000, 0, 500'000, 1, 0}),
                   1.75 + 1.4 + 0.0875);
  EXPECT_EQ(table.cost("claude-mystery-9", tally), std::nullopt);
  EXPECT_EQ(table.cost("unknown", tally), std::nullopt);

  EXPECT_EQ(PriceTable::parse("[]"), std::nullopt);
  EXPECT_EQ(PriceTable::parse(R"({"models": {}})"), std::nullopt);
  EXPECT_EQ(PriceTable::parse("{\"models\": ["), std::nullopt);
}

TEST(PriceTable, TheUsersListComesFirstAndTheBuiltInOneLast) {
  test::TempDir dir;
  const std::string broken = dir.write("support/prices.json", R"({"models": [)");
  const std::string good =
      dir.write("share/prices.json",
                R"({"models": [{"prefix": "m", "input": 1, "output": 2, "cacheWrite5m": 3,)"
                R"( "cacheWrite1h": 4, "cacheRead": 5}]})");
  const PriceTable loaded = PriceTable::load({dir / "missing.json", broken, good});
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(*loaded.find("m1"), (PriceTable::Price{1, 2, 3, 4, 5}));

  // The list shipped with the program has the makers' prices.
  const PriceTable fallback = PriceTable::load({dir / "missing.json", broken});
  EXPECT_EQ(fallback.size(), PriceTable::builtIn().size());
  EXPECT_GT(fallback.size(), 20u);
  EXPECT_FALSE(fallback.sources().empty());
  const PriceTable::Price* opus = fallback.find("claude-opus-4-5-20251101");
  ASSERT_NE(opus, nullptr);
  EXPECT_EQ(*opus, (PriceTable::Price{5, 25, 6.25, 10, 0.5}));
  const PriceTable::Price* sonnet = fallback.find("claude-sonnet-4-5-20250929");
  ASSERT_NE(sonnet, nullptr);
  EXPECT_EQ(sonnet->input, 3);
  EXPECT_NE(fallback.find("gpt-5-codex"), nullptr);
}

IndexStore::Bucket key(Date t, std::string_view model, std::string_view sid, std::string_view cwd,
                       std::string_view entry = "cli") {
  return {static_cast<int64_t>(t.secondsSince1970()), std::string(sid), std::string(cwd),
          std::string(model), std::string(entry)};
}

Date utc(int day, int hour, int minute) {
  return Date(Calendar::utcSeconds(2026, 12, day, hour, minute, 0));
}

TEST(UsageSummary, GroupsTalliesByLocalDayHourWeekAndWhatTheyBelongTo) {
  // Half an hour off UTC, so a slot's local hour is not its UTC hour plus a whole number.
  test::ScopedTimeZone zone("XST-5:30");
  // Wednesday 9 December, 12:00 local.
  const Date now = utc(9, 6, 30);
  const Counts big{1'000'000, 100'000, 200'000, 1'000'000, 3, 50'000};
  const Counts haiku{2'000'000, 0, 0, 0, 1, 0};
  const Counts odd{1000, 0, 0, 0, 1, 0};
  const IndexStore::Tally buckets{
      // Today 11:30 local.
      {key(utc(9, 6, 0), "claude-opus-4-5-20251101", "s1", "/w/shop"), big},
      // Tuesday 23:50 local, from a worktree of the same project and the desktop app.
      {key(utc(8, 18, 20), "claude-haiku-4-5-20251001", "s2", "/w/shop/.claude/worktrees/x",
           "claude-desktop"),
       haiku},
      // Sunday 10:00 local: before this week, within the fourteen days; no price known.
      {key(utc(6, 4, 30), "mystery-1", "s3", "/w/other"), odd},
      // Three weeks ago: in no period, but still ranked.
      {key(utc(18, 4, 30) - 30 * 86400, "claude-opus-4-5-20251101", "s1", "/w/shop"), odd},
  };
  const std::unordered_map<std::string, std::string> names{{"/w/shop", "shop"},
                                                           {"/w/shop/.claude/worktrees/x", "shop"}};
  const double bigCost = 5 + 0.1 * 25 + 0.15 * 6.25 + 0.05 * 10 + 0.5;
  const Aggregate summary = summarize(buckets, names, 2, now, table);

  EXPECT_EQ(summary.skippedFiles, 2);
  EXPECT_EQ(summary.today.counts, (TokenBucket{1'000'000, 100'000, 200'000, 1'000'000, 3}));
  EXPECT_DOUBLE_EQ(*summary.today.knownCost(), bigCost);
  EXPECT_EQ(summary.yesterday.counts.input, 2'000'000);
  EXPECT_DOUBLE_EQ(summary.yesterday.cost, 2.0);
  EXPECT_EQ(summary.week.counts.messages, 4);
  EXPECT_DOUBLE_EQ(summary.week.cost, bigCost + 2);
  EXPECT_EQ(summary.fourteenDays.counts.messages, 5);
  EXPECT_EQ(summary.fourteenDays.unpricedTokens, 1000);
  EXPECT_EQ(summary.fourteenDays.knownCost(), std::nullopt);

  ASSERT_EQ(summary.hourly.size(), 24u);
  const Date midnight = utc(8, 18, 30);
  EXPECT_EQ(summary.hourly[0].t, midnight);
  EXPECT_EQ(summary.hourly[11].t, midnight + 11 * 3600.0);
  EXPECT_EQ(summary.hourly[11].tokens, big[0] + big[1] + big[2] + big[3]);
  EXPECT_EQ(summary.hourly[11].byModel.at("claude-opus-4-5-20251101"), summary.hourly[11].tokens);
  EXPECT_EQ(summary.hourly[12].tokens, 0);
  ASSERT_EQ(summary.daily.size(), 14u);
  EXPECT_EQ(summary.daily[13].t, midnight);
  EXPECT_EQ(summary.daily[12].t, midnight - 86400);
  EXPECT_EQ(summary.daily[12].total.counts.input, 2'000'000);
  EXPECT_EQ(summary.daily[10].total.unpricedTokens, 1000);
  EXPECT_EQ(summary.daily[11].tokens, 0);

  EXPECT_EQ(summary.heat[2][11], 3);  // Wednesday
  EXPECT_EQ(summary.heat[1][23], 1);  // Tuesday
  EXPECT_EQ(summary.heat[6][10], 1);  // Sunday
  int64_t messages = 0;
  for (const auto& day : summary.heat) {
    for (const int64_t count : day) messages += count;
  }
  EXPECT_EQ(messages, 6);

  // Most tokens first; a worktree counts for its project.
  ASSERT_EQ(summary.projects.size(), 2u);
  EXPECT_EQ(summary.projects[0].key, "shop");
  EXPECT_EQ(summary.projects[0].total.counts.messages, 5);
  EXPECT_EQ(summary.projects[1].key, "/w/other");
  ASSERT_EQ(summary.models.size(), 3u);
  EXPECT_EQ(summary.models[0].label, "Opus 4.5");
  EXPECT_EQ(summary.models[1].label, "Haiku 4.5");
  EXPECT_EQ(summary.models[2].label, "mystery-1");
  ASSERT_EQ(summary.entries.size(), 2u);
  EXPECT_EQ(summary.entries[0].key, "cli");
  EXPECT_EQ(summary.sessions.size(), 3u);

  // One session alone; a week that starts when the weekly allowance did.
  const Aggregate one = summarize(buckets, names, 0, now, table, {.session = "s2"});
  EXPECT_EQ(one.today.counts.messages, 0);
  EXPECT_EQ(one.yesterday.counts.messages, 1);
  EXPECT_EQ(one.sessions.size(), 1u);
  const Aggregate since = summarize(buckets, names, 0, now, table, {.weekSince = utc(9, 0, 0)});
  EXPECT_EQ(since.week.counts.messages, 3);
}

TEST(UsageSummary, NamesModelsTheWayTheirMakersDo) {
  EXPECT_EQ(prettyModel("claude-opus-4-5-20251101"), "Opus 4.5");
  EXPECT_EQ(prettyModel("claude-opus-4-7"), "Opus 4.7");
  EXPECT_EQ(prettyModel("claude-sonnet-4-20250514"), "Sonnet 4");
  EXPECT_EQ(prettyModel("claude-3-5-haiku-20241022"), "Haiku 3.5");
  EXPECT_EQ(prettyModel("gpt-5.2-codex"), "GPT-5.2 Codex");
  EXPECT_EQ(prettyModel("gpt-5.1-codex-max"), "GPT-5.1 Codex Max");
  EXPECT_EQ(prettyModel("gpt-4o"), "GPT-4o");
  for (const char* other :
       {"<synthetic>", "o3", "unknown", "claude-", "claude-opus-x-y", "gpt-", "claude-opus"}) {
    EXPECT_EQ(prettyModel(other), other);
  }
}

}  // namespace
}  // namespace tessel
