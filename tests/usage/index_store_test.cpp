#include "usage/index_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "paths/claude_paths.h"
#include "support/temp_dir.h"
#include "support/undeletable.h"

namespace tessel {
namespace {

using test::TempDir;
using Bucket = IndexStore::Bucket;
using FileOffset = IndexStore::FileOffset;
using Offsets = std::unordered_map<std::string, FileOffset>;
using Names = std::unordered_map<std::string, std::string>;
using Tally = IndexStore::Tally;
using Documents = std::multiset<std::string>;
using Texts = std::vector<std::string>;
using Events = std::vector<ToolEvent>;
using Json = nlohmann::json;

// The file seen through a connection of its own, the way another program (or a build
// of an older version) sees it.
class RawFile {
 public:
  explicit RawFile(const std::string& path) {
    sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  }
  ~RawFile() { sqlite3_close(db_); }
  RawFile(const RawFile&) = delete;
  RawFile& operator=(const RawFile&) = delete;

  int run(const std::string& sql) {
    return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
  }
  // The first row's columns as text joined by "|"; "" when there is no row.
  std::string value(const std::string& sql) {
    std::string row;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sqlite3_errmsg(db_) << " in " << sql;
      return row;
    }
    if (sqlite3_step(statement) == SQLITE_ROW) {
      for (int i = 0; i < sqlite3_column_count(statement); ++i) {
        if (i > 0) row += "|";
        const auto* text = sqlite3_column_text(statement, i);
        row += text ? reinterpret_cast<const char*>(text) : "NULL";
      }
    }
    sqlite3_finalize(statement);
    return row;
  }

 private:
  sqlite3* db_ = nullptr;
};

ToolEvent event(std::string id, std::string session, double start) {
  ToolEvent e;
  e.id = std::move(id);
  e.sessionId = std::move(session);
  e.tool = "Bash";
  e.summary = "npm test";
  e.start = Date(start);
  e.end = Date(start + 2.5);
  e.cwd = "/srv/app";
  return e;
}

std::vector<std::string> ids(const std::vector<ToolEvent>& events) {
  std::vector<std::string> ids;
  ids.reserve(events.size());
  for (const auto& e : events) ids.push_back(e.id);
  std::sort(ids.begin(), ids.end());
  return ids;
}

std::multiset<std::string> dumped(const std::vector<Json>& documents) {
  std::multiset<std::string> all;
  for (const auto& d : documents) all.insert(d.dump());
  return all;
}

Bucket bucket(int64_t t, std::string sid, std::string entry = "cli") {
  return {t, std::move(sid), "/srv/app", "opus", std::move(entry)};
}

// One row in every table, through the store's own writes.
void fillEveryTable(IndexStore& store) {
  store.saveUsage({{"/p/a.jsonl", {40, {"m1"}}}}, {{bucket(600, "s1"), {1, 2, 3, 4, 5}}},
                  {{"/srv/app", "app"}}, {}, 0);
  store.saveToolEvents("history", {event("call-1", "s1", 1'700'000'000)}, {{"/p/a.jsonl", 90}});
  store.savePlanReadings({{Date(1'700'000'000), 0.4, Date(1'700'600'000), 0.1}});
  store.addReading("system", Date(1'700'000'000), "{\"cpu\":1}", Date(0));
  store.saveHistorySessions({{"s1", {{"id", "s1"}}}}, {});
  store.saveVolumesSeen({"vol"}, Date(1'700'000'000), {});
  store.saveCodex({{"c1", {{"id", "c1"}}}}, {}, {{bucket(600, "c1"), {6, 7, 8, 9, 10}}}, 0);
}

const Date beginning = Date::distantPast();

TEST(IndexStore, ANewStoreKeepsWhatItWroteForTheNextOneToOpen) {
  TempDir dir;
  ClaudePaths paths;
  paths.supportDir = dir / "support/nested";
  const std::string path = dir / "support/nested/index.sqlite";
  {
    auto store = IndexStore::standard(paths);
    ASSERT_NE(store, nullptr);
    fillEveryTable(*store);
  }
  // Readers in other processes are not held up by a writer.
  EXPECT_EQ(RawFile(path).value("PRAGMA journal_mode"), "wal");
  EXPECT_EQ(RawFile(path).value("PRAGMA user_version"), "2");

  auto store = IndexStore::open(path);
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->offsets("usage"), (Offsets{{"/p/a.jsonl", {40, {"m1"}}}}));
  EXPECT_EQ(store->offsets("history"), (Offsets{{"/p/a.jsonl", {90, {}}}}));
  EXPECT_EQ(store->usageBuckets(0), (Tally{{bucket(600, "s1"), {1, 2, 3, 4, 5}}}));
  EXPECT_EQ(store->toolEvents("history", beginning), Events{event("call-1", "s1", 1'700'000'000)});
  EXPECT_EQ(
      store->planReadings(),
      (std::vector<IndexStore::PlanReading>{{Date(1'700'000'000), 0.4, Date(1'700'600'000), 0.1}}));
  EXPECT_EQ(store->projectNames().at("/srv/app"), "app");
  EXPECT_EQ(store->readings("system", beginning), Texts{"{\"cpu\":1}"});
  EXPECT_EQ(dumped(store->historySessions()), (Documents{R"({"id":"s1"})"}));
  EXPECT_EQ(store->volumesSeen(),
            (std::unordered_map<std::string, Date>{{"vol", Date(1'700'000'000)}}));
  EXPECT_EQ(dumped(store->codexSessions()), (Documents{R"({"id":"c1"})"}));
  EXPECT_EQ(store->codexBuckets(0), (Tally{{bucket(600, "c1"), {6, 7, 8, 9, 10}}}));
}

TEST(IndexStore, VersionOneFileKeepsItsRowsAndGainsTheReadingsTable) {
  TempDir dir;
  const std::string path = dir / "index.sqlite";
  const ToolEvent call = event("call-1", "s1", 1'700'000'000);
  {
    RawFile file(path);
    ASSERT_EQ(
        file.run(
            "CREATE TABLE file_offsets (kind TEXT NOT NULL, path TEXT NOT NULL, offset INTEGER "
            "NOT NULL, ids TEXT NOT NULL DEFAULT '', PRIMARY KEY (kind, path));"
            "CREATE TABLE usage_buckets (t INTEGER NOT NULL, sid TEXT NOT NULL, cwd TEXT NOT "
            "NULL, model TEXT NOT NULL, entry TEXT NOT NULL, input INTEGER, output INTEGER, "
            "cache_write INTEGER, cache_read INTEGER, messages INTEGER, PRIMARY KEY (t, sid, "
            "cwd, model, entry));"
            "CREATE TABLE tool_events (origin TEXT NOT NULL, id TEXT NOT NULL, session TEXT NOT "
            "NULL, start REAL NOT NULL, data BLOB NOT NULL, PRIMARY KEY (origin, id));"
            "CREATE TABLE plan_readings (t REAL PRIMARY KEY, w REAL NOT NULL, wr REAL NOT NULL, "
            "f REAL NOT NULL);"
            "CREATE TABLE project_names (cwd TEXT PRIMARY KEY, name TEXT NOT NULL);"
            "INSERT INTO file_offsets VALUES ('usage', '/p/a.jsonl', 120, 'm1' || char(10) || "
            "'m2');"
            "INSERT INTO usage_buckets VALUES (600, 's1', '/srv/app', 'opus', 'cli', 1, 2, 3, 4, "
            "5);"
            "INSERT INTO tool_events VALUES ('history', 'call-1', 's1', 1700000000, '" +
            toJson(call).dump() +
            "');"
            "PRAGMA user_version = 1;"),
        SQLITE_OK);
  }

  auto store = IndexStore::open(path);
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->offsets("usage"), (Offsets{{"/p/a.jsonl", {120, {"m1", "m2"}}}}));
  EXPECT_EQ(store->usageBuckets(0), (Tally{{bucket(600, "s1"), {1, 2, 3, 4, 5}}}));
  EXPECT_EQ(store->toolEvents("history", beginning), Events{call});

  store->addReading("system", Date(100), "{}", Date(0));
  EXPECT_EQ(store->readings("system", beginning), Texts{"{}"});
  EXPECT_EQ(RawFile(path).value("PRAGMA user_version"), "2");
}

TEST(IndexStore, OtherVersionsRebuildTheOldTablesButKeepVolumesAndCodex) {
  TempDir dir;
  const std::string path = dir / "index.sqlite";
  {
    auto store = IndexStore::open(path);
    ASSERT_NE(store, nullptr);
    fillEveryTable(*store);
  }
  // A file from a newer build: its rows cannot be trusted to mean what ours do.
  ASSERT_EQ(RawFile(path).run("PRAGMA user_version = 3"), SQLITE_OK);

  auto store = IndexStore::open(path);
  ASSERT_NE(store, nullptr);
  EXPECT_TRUE(store->offsets("usage").empty());
  EXPECT_TRUE(store->offsets("history").empty());
  EXPECT_TRUE(store->usageBuckets(0).empty());
  EXPECT_TRUE(store->toolEvents("history", beginning).empty());
  EXPECT_TRUE(store->planReadings().empty());
  EXPECT_TRUE(store->projectNames().empty());
  EXPECT_TRUE(store->readings("system", beginning).empty());
  EXPECT_TRUE(store->historySessions().empty());

  EXPECT_EQ(store->volumesSeen(),
            (std::unordered_map<std::string, Date>{{"vol", Date(1'700'000'000)}}));
  EXPECT_EQ(dumped(store->codexSessions()), (Documents{R"({"id":"c1"})"}));
  EXPECT_EQ(store->codexBuckets(0), (Tally{{bucket(600, "c1"), {6, 7, 8, 9, 10}}}));
  EXPECT_EQ(RawFile(path).value("PRAGMA user_version"), "2");

  // A file without a version whose table has an older shape gets the current one.
  const std::string unversioned = dir / "unversioned.sqlite";
  ASSERT_EQ(RawFile(unversioned)
                .run("CREATE TABLE file_offsets (kind TEXT, path TEXT, offset INTEGER);"
                     "INSERT INTO file_offsets VALUES ('usage', '/p/old.jsonl', 5);"),
            SQLITE_OK);
  auto rebuilt = IndexStore::open(unversioned);
  ASSERT_NE(rebuilt, nullptr);
  EXPECT_TRUE(rebuilt->offsets("usage").empty());
  rebuilt->saveUsage({{"/p/new.jsonl", {7, {"m"}}}}, {}, {}, {}, 0);
  EXPECT_EQ(rebuilt->offsets("usage"), (Offsets{{"/p/new.jsonl", {7, {"m"}}}}));
}

TEST(IndexStore, OpenAnswersNothingWhereNoDatabaseCanBeKept) {
  TempDir dir;
  const std::string garbage(4096, '\x5a');
  const std::string foreign = dir.write("foreign.sqlite", garbage);
  EXPECT_EQ(IndexStore::open(foreign), nullptr);
  EXPECT_EQ(test::readFile(foreign), garbage) << "a file that is not ours is left alone";

  const std::string plain = dir.write("plain", "x");
  EXPECT_EQ(IndexStore::open(plain + "/index.sqlite"), nullptr);
  EXPECT_EQ(IndexStore::open(dir.path()), nullptr);

  std::filesystem::create_directory(dir / "locked");
  test::UndeletableFolder locked(dir / "locked");
  if (locked.ok()) {
    EXPECT_EQ(IndexStore::open(dir / "locked/index.sqlite"), nullptr);
  }
}

TEST(IndexStore, UsageSavesReplaceBucketsForgetFilesAndPruneOldSlots) {
  TempDir dir;
  auto store = IndexStore::open(dir / "index.sqlite");
  ASSERT_NE(store, nullptr);
  store->saveToolEvents("history", {}, {{"/p/a.jsonl", 7}});

  store->saveUsage({{"/p/a.jsonl", {5'000'000'000, {"m1", "", "m2"}}},
                    {"/p/b.jsonl", {10, {"m3"}}},
                    {":usage-version", {2, {}}}},
                   {{bucket(0, "s0"), {9, 9, 9, 9, 9}},
                    {bucket(600, "s1"), {1, 2, 3, 4, 5}},
                    {bucket(1200, "s1"), {10, 20, 30, 40, 50}}},
                   {{"/srv/app", "app"}}, {"/p/b.jsonl"}, 600);
  EXPECT_EQ(store->offsets("usage"),
            (Offsets{{"/p/a.jsonl", {5'000'000'000, {"m1", "m2"}}}, {":usage-version", {2, {}}}}));
  EXPECT_EQ(store->usageBuckets(0), (Tally{{bucket(600, "s1"), {1, 2, 3, 4, 5}},
                                           {bucket(1200, "s1"), {10, 20, 30, 40, 50}}}));
  EXPECT_EQ(store->usageBuckets(1200), (Tally{{bucket(1200, "s1"), {10, 20, 30, 40, 50}}}));
  EXPECT_TRUE(store->codexBuckets(0).empty());

  // Counts of a key are replaced, never added; keys differing in one field are distinct.
  store->saveUsage(
      {}, {{bucket(600, "s1"), {0, 1, 0, 0, 1}}, {bucket(600, "s1", "vscode"), {3, 3, 3, 3, 3}}},
      {{"/srv/app", "renamed"}, {"/srv/web", "web"}}, {"/p/a.jsonl"}, 600);
  EXPECT_EQ(store->usageBuckets(0), (Tally{{bucket(600, "s1"), {0, 1, 0, 0, 1}},
                                           {bucket(600, "s1", "vscode"), {3, 3, 3, 3, 3}},
                                           {bucket(1200, "s1"), {10, 20, 30, 40, 50}}}));
  EXPECT_EQ(store->projectNames(), (Names{{"/srv/app", "renamed"}, {"/srv/web", "web"}}));
  EXPECT_EQ(store->offsets("usage"), (Offsets{{":usage-version", {2, {}}}}));
  EXPECT_EQ(store->offsets("history"), (Offsets{{"/p/a.jsonl", {7, {}}}}));

  store->saveUsage({}, {}, {}, {}, 1200);
  EXPECT_EQ(store->usageBuckets(0), (Tally{{bucket(1200, "s1"), {10, 20, 30, 40, 50}}}));

  // Counts another writer left empty read as zero.
  RawFile(dir / "index.sqlite")
      .run(
          "INSERT INTO usage_buckets (t, sid, cwd, model, entry) VALUES (1800, 's2', '/', 'm', "
          "'cli')");
  EXPECT_EQ(store->usageBuckets(1800), (Tally{{{1800, "s2", "/", "m", "cli"}, {0, 0, 0, 0, 0}}}));
}

TEST(IndexStore, SessionDocumentsAreReplacedByIdForgottenAfterSavingAndSkippedWhenUnreadable) {
  TempDir dir;
  const std::string path = dir / "index.sqlite";
  auto store = IndexStore::open(path);
  ASSERT_NE(store, nullptr);
  // A document that cannot be encoded is left out; the rest of the batch is saved.
  store->saveHistorySessions({{"h1", {{"id", "h1"}, {"title", "one"}}},
                              {"bad", {{"id", "bad"}, {"title", "\xff\xfe"}}},
                              {"h2", {{"id", "h2"}}}},
                             {});
  EXPECT_EQ(dumped(store->historySessions()),
            (Documents{R"({"id":"h1","title":"one"})", R"({"id":"h2"})"}));
  store->saveHistorySessions({{"h1", {{"id", "h1"}, {"title", "two"}}}}, {"h2", "never-saved"});
  EXPECT_EQ(dumped(store->historySessions()), (Documents{R"({"id":"h1","title":"two"})"}));

  // Codex sessions and tallies are kept apart from Claude's. Forgetting comes after
  // saving: a session both saved and forgotten is gone.
  const Json first = {{"id", "c1"}, {"model", "gpt-5"}, {"title", "Überblick"}};
  store->saveCodex({{"c1", first}, {"c2", {{"id", "c2"}}}}, {},
                   {{bucket(0, "c0"), {1, 1, 1, 1, 1}}, {bucket(600, "c1"), {1, 2, 3, 4, 5}}}, 600);
  EXPECT_EQ(dumped(store->codexSessions()), (Documents{first.dump(), R"({"id":"c2"})"}));
  EXPECT_EQ(store->codexBuckets(0), (Tally{{bucket(600, "c1"), {1, 2, 3, 4, 5}}}));
  EXPECT_TRUE(store->usageBuckets(0).empty());
  EXPECT_EQ(store->historySessions().size(), 1u);
  store->saveCodex({{"c2", {{"id", "c2"}, {"turns", 3}}}, {"c3", {{"id", "c3"}}}}, {"c1", "c3"},
                   {{bucket(1200, "c2"), {5, 5, 5, 5, 5}}}, 1200);
  EXPECT_EQ(dumped(store->codexSessions()), (Documents{R"({"id":"c2","turns":3})"}));
  EXPECT_EQ(store->codexBuckets(0), (Tally{{bucket(1200, "c2"), {5, 5, 5, 5, 5}}}));

  // A document that no longer decodes is skipped but stays until its id is written again.
  RawFile file(path);
  ASSERT_EQ(file.run("INSERT INTO history_sessions VALUES ('h3', X'7b7b00')"), SQLITE_OK);
  EXPECT_EQ(store->historySessions().size(), 1u);
  EXPECT_EQ(file.value("SELECT count(*) FROM history_sessions"), "2");
  store->saveHistorySessions({{"h3", {{"id", "h3"}}}}, {});
  EXPECT_EQ(store->historySessions().size(), 2u);
}

TEST(IndexStore, ToolEventSavesReplaceEverythingOfTheirOrigin) {
  TempDir dir;
  const std::string path = dir / "index.sqlite";
  auto store = IndexStore::open(path);
  ASSERT_NE(store, nullptr);
  const ToolEvent early = event("call-1", "s1", 1'700'000'000.5);
  const ToolEvent late = event("call-2", "s2", 1'700'000'100.25);
  const ToolEvent codex = event("exec-1", "c1", 1'700'000'050);
  ToolEvent unencodable = event("call-3", "s2", 1'700'000'200);
  unencodable.summary = "\xc3";
  store->saveToolEvents("history", {early, unencodable, late}, {{"/p/a.jsonl", 300}});
  store->saveToolEvents("codex", {codex}, {{"/r/x.jsonl", 50}});

  EXPECT_EQ(ids(store->toolEvents("history", beginning)), (Texts{"call-1", "call-2"}));
  EXPECT_EQ(store->toolEvents("history", Date(1'700'000'100.25)), Events{late});
  EXPECT_EQ(store->toolEvents("codex", beginning), Events{codex});
  EXPECT_EQ(store->offsets("history"), (Offsets{{"/p/a.jsonl", {300, {}}}}));

  ToolEvent ended = early;
  ended.end = Date(1'700'000'300);
  ended.isError = true;
  store->saveToolEvents("history", {ended}, {{"/p/b.jsonl", 10}});
  EXPECT_EQ(store->toolEvents("history", beginning), Events{ended});
  EXPECT_EQ(store->offsets("history"), (Offsets{{"/p/b.jsonl", {10, {}}}}));
  EXPECT_EQ(store->toolEvents("codex", beginning), Events{codex});
  EXPECT_EQ(store->offsets("codex"), (Offsets{{"/r/x.jsonl", {50, {}}}}));

  // Rows that are not JSON, or JSON that is not a tool call, are passed over.
  ASSERT_EQ(RawFile(path).run(
                "INSERT INTO tool_events VALUES ('codex', 'junk', 'c1', 1700000060, 'nope');"
                "INSERT INTO tool_events VALUES ('codex', 'odd', 'c1', 1700000060, "
                "'{\"id\":1}')"),
            SQLITE_OK);
  EXPECT_EQ(store->toolEvents("codex", beginning), Events{codex});
}

TEST(IndexStore, ToolEventSavesWriteOnlyChangesUntilAnotherConnectionWrites) {
  TempDir dir;
  const std::string path = dir / "index.sqlite";
  auto store = IndexStore::open(path);
  auto other = IndexStore::open(path);
  ASSERT_NE(store, nullptr);
  ASSERT_NE(other, nullptr);
  const ToolEvent first = event("call-1", "s1", 1'700'000'000);
  const ToolEvent second = event("call-2", "s1", 1'700'000'010);
  ToolEvent third = event("call-3", "s2", 1'700'000'020);
  store->saveToolEvents("history", {first, second}, {{"/p/a.jsonl", 100}, {"/p/b.jsonl", 7}});

  // A call ended, one went, one came, one offset moved and one file went.
  ToolEvent ended = first;
  ended.end = Date(1'700'000'005);
  store->saveToolEvents("history", {ended, third}, {{"/p/a.jsonl", 250}});
  EXPECT_EQ(store->toolEvents("history", beginning), (Events{ended, third}));
  EXPECT_EQ(store->offsets("history"), (Offsets{{"/p/a.jsonl", {250, {}}}}));

  // A call that can no longer be written leaves no stale row behind.
  third.summary = "\xc3";
  store->saveToolEvents("history", {ended, third}, {{"/p/a.jsonl", 250}});
  EXPECT_EQ(store->toolEvents("history", beginning), Events{ended});

  // After another connection replaced the origin, the same save as before is written
  // whole again, not skipped as unchanged.
  other->saveToolEvents("history", {second}, {{"/p/c.jsonl", 9}});
  store->saveToolEvents("history", {ended, third}, {{"/p/a.jsonl", 250}});
  EXPECT_EQ(other->toolEvents("history", beginning), Events{ended});
  EXPECT_EQ(other->offsets("history"), (Offsets{{"/p/a.jsonl", {250, {}}}}));
}

TEST(IndexStore, ReadingsComeBackOldestFirstAndOldOnesArePruned) {
  TempDir dir;
  auto store = IndexStore::open(dir / "index.sqlite");
  ASSERT_NE(store, nullptr);
  store->addReading("system", Date(300), "c", Date(0));
  store->addReading("system", Date(100), "a", Date(0));
  store->addReading("system", Date(200), "b", Date(0));
  store->addReading("claude", Date(50), "other", Date(0));
  EXPECT_EQ(store->readings("system", Date(0)), (Texts{"a", "b", "c"}));
  EXPECT_EQ(store->readings("system", Date(200)), (Texts{"b", "c"}));

  // A reading at a taken time replaces it; documents are kept byte for byte.
  const std::string binary("b\0b", 3);
  store->addReading("system", Date(200), binary, Date(0));
  EXPECT_EQ(store->readings("system", Date(200)), (Texts{binary, "c"}));

  // Pruning reaches only the kind being written.
  store->addReading("system", Date(400), "d", Date(200));
  EXPECT_EQ(store->readings("system", Date(0)), (Texts{binary, "c", "d"}));
  EXPECT_EQ(store->readings("claude", Date(0)), Texts{"other"});
}

TEST(IndexStore, VolumesSeenForgetsOnlyStoredIdsOutsideKeep) {
  TempDir dir;
  auto store = IndexStore::open(dir / "index.sqlite");
  ASSERT_NE(store, nullptr);
  store->saveVolumesSeen({"v1", "v2"}, Date(100), {});
  EXPECT_EQ(store->volumesSeen(),
            (std::unordered_map<std::string, Date>{{"v1", Date(100)}, {"v2", Date(100)}}));

  store->saveVolumesSeen({"v3"}, Date(200), {"v1"});
  EXPECT_EQ(store->volumesSeen(),
            (std::unordered_map<std::string, Date>{{"v1", Date(100)}, {"v3", Date(200)}}));

  store->saveVolumesSeen({"v1"}, Date(300), {"v1", "v3"});
  EXPECT_EQ(store->volumesSeen(),
            (std::unordered_map<std::string, Date>{{"v1", Date(300)}, {"v3", Date(200)}}));
}

TEST(IndexStore, PlanReadingsReplaceTheTableAndComeBackInTimeOrder) {
  TempDir dir;
  const std::string path = dir / "index.sqlite";
  auto store = IndexStore::open(path);
  ASSERT_NE(store, nullptr);
  const IndexStore::PlanReading first{Date(1'700'000'000), 0.25, Date(1'700'600'040), 0.5};
  const IndexStore::PlanReading second{Date(1'700'000'600), 0.3, Date(1'700'600'040), 0.75};
  const IndexStore::PlanReading third{Date(1'700'001'200), 0.35, Date(1'700'600'040), 0.0};
  store->savePlanReadings({third, first, second});
  EXPECT_EQ(store->planReadings(), (std::vector<IndexStore::PlanReading>{first, second, third}));

  store->savePlanReadings({second});
  EXPECT_EQ(store->planReadings(), std::vector<IndexStore::PlanReading>{second});
}

TEST(IndexStore, AStatementThatFailsIsSkippedAndTheRestOfItsBatchCommits) {
  TempDir dir;
  const std::string path = dir / "index.sqlite";
  auto store = IndexStore::open(path);
  ASSERT_NE(store, nullptr);
  ASSERT_EQ(RawFile(path).run("CREATE TRIGGER refuse BEFORE INSERT ON project_names WHEN "
                              "NEW.cwd = '/refused' BEGIN SELECT RAISE(ABORT, 'no'); END"),
            SQLITE_OK);

  store->saveUsage({{"/p/a.jsonl", {10, {}}}}, {{bucket(600, "s1"), {1, 1, 1, 1, 1}}},
                   {{"/refused", "x"}, {"/srv/app", "app"}, {"/srv/web", "web"}}, {}, 0);
  EXPECT_EQ(store->projectNames(), (Names{{"/srv/app", "app"}, {"/srv/web", "web"}}));
  EXPECT_EQ(store->offsets("usage").size(), 1u);
  EXPECT_EQ(store->usageBuckets(0).size(), 1u);
}

TEST(IndexStore, ASaveWhileAnotherConnectionWritesLandsNothingAndLeavesTheFileFree) {
  TempDir dir;
  const std::string path = dir / "index.sqlite";
  auto store = IndexStore::open(path);
  ASSERT_NE(store, nullptr);
  store->saveUsage({}, {}, {{"/srv/app", "before"}}, {}, 0);

  RawFile other(path);
  ASSERT_EQ(other.run("BEGIN IMMEDIATE"), SQLITE_OK);
  ASSERT_EQ(other.run("INSERT INTO project_names VALUES ('/other', 'o')"), SQLITE_OK);
  store->saveUsage({{"/p/a.jsonl", {10, {}}}}, {{bucket(600, "s1"), {1, 1, 1, 1, 1}}},
                   {{"/srv/app", "during"}, {"/srv/web", "web"}}, {}, 0);
  // Readers are not held up by a writer, and see only what is committed.
  EXPECT_EQ(store->projectNames(), (Names{{"/srv/app", "before"}}));
  ASSERT_EQ(other.run("COMMIT"), SQLITE_OK);

  EXPECT_EQ(store->projectNames(), (Names{{"/srv/app", "before"}, {"/other", "o"}}));
  EXPECT_TRUE(store->offsets("usage").empty());
  EXPECT_TRUE(store->usageBuckets(0).empty());

  // The refused save left no transaction open: both connections can write again.
  store->saveUsage({}, {}, {{"/srv/app", "after"}}, {}, 0);
  EXPECT_EQ(store->projectNames().at("/srv/app"), "after");
  EXPECT_EQ(other.run("BEGIN IMMEDIATE"), SQLITE_OK);
  EXPECT_EQ(other.run("ROLLBACK"), SQLITE_OK);
}

TEST(IndexStore, ConcurrentCallersNeverSeeHalfABatch) {
  TempDir dir;
  auto store = IndexStore::open(dir / "index.sqlite");
  ASSERT_NE(store, nullptr);
  // Batches of some length, so that an unguarded batch would be seen half done.
  std::vector<ToolEvent> setA;
  std::vector<ToolEvent> setB;
  for (int i = 0; i < 20; ++i) {
    setA.push_back(event("a" + std::to_string(i), "s", i));
    if (i % 2 == 0) setB.push_back(event("b" + std::to_string(i), "s", i));
  }
  constexpr int rounds = 100;

  std::atomic<int> writersLeft = 2;
  std::atomic<int> torn = 0;
  const auto writer = [&](const std::vector<ToolEvent>& events, const std::string& file) {
    for (int i = 0; i < rounds; ++i) {
      store->saveToolEvents("history", events, {{file, static_cast<uint64_t>(i)}});
    }
    --writersLeft;
  };
  std::vector<std::thread> threads;
  threads.emplace_back(writer, std::cref(setA), "/a.jsonl");
  threads.emplace_back(writer, std::cref(setB), "/b.jsonl");
  threads.emplace_back([&] {
    const std::set<std::vector<std::string>> whole = {{}, ids(setA), ids(setB)};
    while (writersLeft > 0) {
      if (!whole.contains(ids(store->toolEvents("history", beginning)))) ++torn;
      if (store->offsets("history").size() > 1) ++torn;
    }
  });
  threads.emplace_back([&] {
    std::unordered_set<std::string> seen;
    for (int i = 0; i < rounds; ++i) {
      store->addReading("system", Date(i), "{}", Date(0));
      seen.insert("v" + std::to_string(i));
      store->saveVolumesSeen({"v" + std::to_string(i)}, Date(i), seen);
    }
  });
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(torn, 0);
  EXPECT_EQ(store->readings("system", Date(0)).size(), static_cast<size_t>(rounds));
  EXPECT_EQ(store->volumesSeen().size(), static_cast<size_t>(rounds));
  EXPECT_EQ(store->offsets("history").size(), 1u);
  const auto last = ids(store->toolEvents("history", beginning));
  EXPECT_TRUE(last == ids(setA) || last == ids(setB));
}

}  // namespace
}  // namespace tessel
