#include "claude/session_record.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "claude/desktop_session_store.h"
#include "claude/history_session.h"
#include "platform/user.h"
#include "support/temp_dir.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

HistorySession history(std::string id, std::optional<std::string> entrypoint, bool hasPrompt) {
  HistorySession session;
  session.id = std::move(id);
  session.path = "/p/" + session.id + ".jsonl";
  session.entrypoint = std::move(entrypoint);
  session.hasPrompt = hasPrompt;
  session.lastActivity = Date(1000);
  return session;
}

SessionRecord desktop(std::string id, std::string title = DesktopSessionStore::untitled) {
  SessionRecord record;
  record.id = std::move(id);
  record.desktopId = "local_" + record.id;
  record.title = std::move(title);
  return record;
}

std::vector<std::string> idsOf(const std::vector<SessionRecord>& records) {
  std::vector<std::string> ids;
  for (const SessionRecord& record : records) ids.push_back(record.id);
  std::sort(ids.begin(), ids.end());
  return ids;
}

const SessionRecord& only(const std::vector<SessionRecord>& records) {
  EXPECT_EQ(records.size(), 1u);
  return records.at(0);
}

TEST(SessionRecordMerge, ListsOnlyPromptedSessionsNotStartedThroughTheSdk) {
  const std::vector<HistorySession> sessions = {
      history("cli", "cli", true),
      history("plain", std::nullopt, true),
      history("sdk-cli", "sdk-cli", true),
      history("sdk-ts", "sdk-ts", true),
      history("unprompted-cli", "cli", false),
      history("unprompted-plain", std::nullopt, false),
      history("desktop-app", "claude-desktop", true),
      history("unprompted-desktop-app", "claude-desktop", false),
  };
  // Desktop-app sessions come from the desktop store, unless it gave nothing.
  EXPECT_EQ(idsOf(SessionRecord::merge(sessions, {})),
            (std::vector<std::string>{"cli", "desktop-app", "plain"}));
  EXPECT_EQ(idsOf(SessionRecord::merge(sessions, {desktop("other")})),
            (std::vector<std::string>{"cli", "other", "plain"}));
}

TEST(SessionRecordMerge, BuildsRecordsFromHistorySessions) {
  HistorySession titled = history("a", "cli", true);
  titled.cwd = "/work/app/";
  titled.customTitle = "mine";
  titled.aiTitle = "generated";
  titled.model = "claude-opus-4";
  titled.lastActivity = Date(5000);
  SessionRecord expected;
  expected.id = "a";
  expected.title = "mine";
  expected.cwd = "/work/app/";
  expected.model = "claude-opus-4";
  expected.lastActivity = Date(5000);
  expected.entrypoint = "cli";
  EXPECT_EQ(only(SessionRecord::merge({titled}, {})), expected);

  titled.customTitle.reset();
  EXPECT_EQ(only(SessionRecord::merge({titled}, {})).title, "generated");
  titled.aiTitle.reset();
  EXPECT_EQ(only(SessionRecord::merge({titled}, {})).title, "app");
  titled.cwd.reset();
  const SessionRecord bare = only(SessionRecord::merge({titled}, {}));
  EXPECT_EQ(bare.title, "");
  EXPECT_EQ(bare.cwd, "");

  // The later of two summaries with one id wins.
  HistorySession older = history("a", "cli", true);
  older.aiTitle = "old";
  HistorySession newer = history("a", "cli", true);
  newer.aiTitle = "new";
  EXPECT_EQ(only(SessionRecord::merge({older, newer}, {})).title, "new");
  EXPECT_EQ(only(SessionRecord::merge({older, newer}, {desktop("a")})).title, "new");
}

TEST(SessionRecordMerge, DesktopRecordsReplaceAndBorrowFromHistory) {
  HistorySession past = history("a", "cli", true);
  past.cwd = "/from/history";
  past.model = "history-model";
  past.customTitle = "custom";
  past.aiTitle = "ai";
  past.lastActivity = Date(2000);
  const auto merged = [&](const SessionRecord& record) {
    return only(SessionRecord::merge({past}, {record}));
  };

  // An untitled desktop record of nothing else takes all the history knows.
  const SessionRecord untitled = desktop("a");
  SessionRecord borrowed = untitled;
  borrowed.title = "custom";
  borrowed.cwd = "/from/history";
  borrowed.model = "history-model";
  borrowed.entrypoint = "cli";
  borrowed.lastActivity = Date(2000);
  EXPECT_EQ(merged(untitled), borrowed);

  past.customTitle.reset();
  EXPECT_EQ(merged(untitled).title, "ai");
  past.aiTitle.reset();
  EXPECT_EQ(merged(untitled).title, "Untitled session");
  past.aiTitle = "ai";
  EXPECT_EQ(merged(desktop("a", "Named")).title, "Named");
  EXPECT_EQ(merged(desktop("a", "untitled session")).title, "untitled session");

  // Folder and model are each taken only where the desktop record has none.
  SessionRecord placed = desktop("a");
  placed.cwd = "/from/desktop";
  EXPECT_EQ(merged(placed).cwd, "/from/desktop");
  EXPECT_EQ(merged(placed).model, "history-model");
  SessionRecord modelOnly = desktop("a");
  modelOnly.model = "desktop-model";
  EXPECT_EQ(merged(modelOnly).cwd, "/from/history");
  EXPECT_EQ(merged(modelOnly).model, "desktop-model");

  // Entry point: the history's when it has one; the later activity of the two.
  SessionRecord dated = desktop("a");
  dated.entrypoint = "desktop-entry";
  dated.lastActivity = Date(3000);
  EXPECT_EQ(merged(dated).entrypoint, "cli");
  EXPECT_EQ(merged(dated).lastActivity, Date(3000));
  dated.lastActivity = Date(1500);
  EXPECT_EQ(merged(dated).lastActivity, Date(2000));
  past.entrypoint.reset();
  EXPECT_EQ(merged(dated).entrypoint, "desktop-entry");

  // Hidden history sessions still lend their details to the desktop record.
  HistorySession hidden = history("b", "sdk-cli", false);
  hidden.aiTitle = "from sdk";
  const SessionRecord lent = only(SessionRecord::merge({hidden}, {desktop("b")}));
  EXPECT_EQ(lent.title, "from sdk");
  EXPECT_EQ(lent.entrypoint, "sdk-cli");

  // Records without a history counterpart pass through unchanged.
  const std::vector<SessionRecord> both = SessionRecord::merge({}, {untitled, desktop("c", "C")});
  EXPECT_EQ(idsOf(both), (std::vector<std::string>{"a", "c"}));
  EXPECT_TRUE(std::find(both.begin(), both.end(), untitled) != both.end());
}

TEST(SessionRecord, JsonFormKeepsEveryFieldAndLeavesOutAbsentOnes) {
  SessionRecord record = desktop("a", "T");
  record.desktopId.reset();
  EXPECT_EQ(sessionRecordFromJson(toJson(record)), record);
  EXPECT_FALSE(toJson(record).contains("desktopId"));

  record.desktopId = "local_a";
  record.model = "m";
  record.isArchived = true;
  record.remoteControl = true;
  record.lastActivity = Date::fromReferenceSeconds(123.5);
  record.entrypoint = "cli";
  const nlohmann::json full = toJson(record);
  EXPECT_EQ(full["lastActivity"], 123.5);
  EXPECT_EQ(sessionRecordFromJson(full), record);
  for (const char* key : {"id", "title", "cwd", "isArchived", "remoteControl"}) {
    nlohmann::json missing = full;
    missing.erase(key);
    EXPECT_EQ(sessionRecordFromJson(missing), std::nullopt) << key;
  }
}

TEST(Folder, ShortensTheHomeDirectoryAndNamesTheLastComponent) {
  const std::string& home = platform::userHomeDirectory();
  ASSERT_FALSE(home.empty());
  EXPECT_EQ(Folder::shortPath(home + "/code/app"), "~/code/app");
  EXPECT_EQ(Folder::shortPath(home), "~");
  EXPECT_EQ(Folder::shortPath("/elsewhere" + home), "/elsewhere" + home);

  EXPECT_EQ(Folder::name("/work/app"), "app");
  EXPECT_EQ(Folder::name("/work/app/"), "app");
  EXPECT_EQ(Folder::name("app"), "app");
  EXPECT_EQ(Folder::name(""), "");
  EXPECT_EQ(Folder::name("/"), "");
}

TEST(DesktopSessionStore, ReadsOnlyLocalFilesTwoFoldersDown) {
  test::TempDir dir;
  const std::string file = R"({"cliSessionId":"found"})";
  dir.write("app/claude-code-sessions/u/o/local_1.json", file);
  const std::string unexpected = R"({"cliSessionId":"misplaced"})";
  dir.write("app/claude-code-sessions/local_2.json", unexpected);
  dir.write("app/claude-code-sessions/u/local_3.json", unexpected);
  dir.write("app/claude-code-sessions/u/o/d/local_4.json", unexpected);
  dir.write("app/claude-code-sessions/u/o/remote_5.json", unexpected);
  dir.write("app/claude-code-sessions/u/o/local_6.json.tmp", unexpected);
  dir.write("app/claude-code-sessions/u/plain-file", unexpected);

  DesktopSessionStore store;
  EXPECT_EQ(idsOf(store.load(dir.claudePaths())), std::vector<std::string>{"found"});
  EXPECT_TRUE(DesktopSessionStore().load(ClaudePaths{dir / "x", dir / "x", dir / "x", ""}).empty());
}

TEST(DesktopSessionStore, MapsKeysWithTheirDefaults) {
  test::TempDir dir;
  dir.write("app/claude-code-sessions/u/o/local_full.json", R"({"cliSessionId":"full",
    "sessionId":"local_own","title":"Fix it","cwd":"/w","model":"claude-sonnet-4",
    "isArchived":true,"remoteControlUserEnabled":true,"lastActivityAt":1700000000500})");
  dir.write("app/claude-code-sessions/u/o/local_bare.json", R"({"cliSessionId":"bare"})");
  dir.write("app/claude-code-sessions/u/o/local_odd.json", R"({"cliSessionId":"odd",
    "sessionId":7,"title":"","cwd":null,"model":1,"isArchived":"yes",
    "remoteControlUserEnabled":1,"lastActivityAt":"1700000000500"})");
  for (const char* text : {R"({"sessionId":"local_x"})", R"({"cliSessionId":5})",
                           R"(["cliSessionId"])", R"({"cliSessionId":"cut)"}) {
    dir.write(
        "app/claude-code-sessions/u/o/local_bad" + std::to_string(std::strlen(text)) + ".json",
        text);
  }

  std::vector<SessionRecord> records = DesktopSessionStore().load(dir.claudePaths());
  ASSERT_EQ(idsOf(records), (std::vector<std::string>{"bare", "full", "odd"}));
  std::sort(records.begin(), records.end(),
            [](const SessionRecord& a, const SessionRecord& b) { return a.id < b.id; });

  SessionRecord full;
  full.id = "full";
  full.desktopId = "local_own";
  full.title = "Fix it";
  full.cwd = "/w";
  full.model = "claude-sonnet-4";
  full.isArchived = true;
  full.remoteControl = true;
  full.lastActivity = Date(1700000000.5);
  EXPECT_EQ(records[1], full);

  SessionRecord bare;
  bare.id = "bare";
  bare.desktopId = "local_bare";
  bare.title = "Untitled session";
  EXPECT_EQ(records[0], bare);
  SessionRecord odd = bare;
  odd.id = "odd";
  odd.desktopId = "local_odd";
  EXPECT_EQ(records[2], odd);
}

TEST(DesktopSessionStore, RereadsAFileOnlyWhenItsModificationTimeChanges) {
  test::TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  const std::string path = dir.write("app/claude-code-sessions/u/o/local_1.json",
                                     R"({"cliSessionId":"a","title":"One"})");
  test::setModified(path, Date(1700000000));
  DesktopSessionStore store;
  EXPECT_EQ(only(store.load(paths)).title, "One");

  dir.write("app/claude-code-sessions/u/o/local_1.json", R"({"cliSessionId":"a","title":"Two"})");
  test::setModified(path, Date(1700000000));
  EXPECT_EQ(only(store.load(paths)).title, "One");
  test::setModified(path, Date(1700000010));
  EXPECT_EQ(only(store.load(paths)).title, "Two");

  // A file without a session is remembered as such, and read again once it changes.
  dir.write("app/claude-code-sessions/u/o/local_1.json", R"({"title":"Three"})");
  test::setModified(path, Date(1700000020));
  EXPECT_TRUE(store.load(paths).empty());
  dir.write("app/claude-code-sessions/u/o/local_1.json", R"({"cliSessionId":"a","title":"Four"})");
  test::setModified(path, Date(1700000020));
  EXPECT_TRUE(store.load(paths).empty());
  test::setModified(path, Date(1700000030));
  EXPECT_EQ(only(store.load(paths)).title, "Four");

  fs::remove(path);
  EXPECT_TRUE(store.load(paths).empty());
  dir.write("app/claude-code-sessions/u/o/local_1.json", R"({"cliSessionId":"a","title":"Five"})");
  test::setModified(path, Date(1700000030));
  EXPECT_EQ(only(store.load(paths)).title, "Five");
}

TEST(DesktopSessionStore, KeepsRecordsUnderAFolderThatCannotBeListed) {
  test::TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  dir.write("app/claude-code-sessions/u/o/local_1.json", R"({"cliSessionId":"a"})");
  dir.write("app/claude-code-sessions/u/p/local_2.json", R"({"cliSessionId":"b"})");
  DesktopSessionStore store;
  ASSERT_EQ(idsOf(store.load(paths)), (std::vector<std::string>{"a", "b"}));

  // Without permission to read it, a folder still exists but cannot be listed. Root
  // ignores permissions, so there a file takes the folder's place: it exists and
  // listing it fails just the same.
  const std::string folder = dir / "app/claude-code-sessions/u/o";
  const std::string other = dir / "app/claude-code-sessions/u/p";
  if (geteuid() == 0) {
    fs::remove_all(folder);
    dir.write("app/claude-code-sessions/u/o", "");
  } else {
    fs::permissions(folder, fs::perms::none);
  }
  fs::remove_all(other);
  EXPECT_EQ(idsOf(store.load(paths)), std::vector<std::string>{"a"});
  EXPECT_TRUE(DesktopSessionStore().load(paths).empty());

  // Once the folder is gone for good, so are its records.
  fs::permissions(folder, fs::perms::owner_all);
  fs::remove_all(folder);
  EXPECT_TRUE(store.load(paths).empty());
}

}  // namespace
}  // namespace tessel
