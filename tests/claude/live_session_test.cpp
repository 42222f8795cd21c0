#include "claude/live_session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>

#include "support/processes.h"
#include "support/temp_dir.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

std::string sessionFile(const ClaudePaths& paths, const std::string& name) {
  return paths.sessionsDir() + "/" + name;
}

// A pid that named a process a moment ago and names none now.
int32_t endedPid() {
  test::ChildProcess child("/bin/sleep", {"30"});
  return child.pid();
}

std::vector<int32_t> pidsOf(const std::vector<LiveSession>& sessions) {
  std::vector<int32_t> pids;
  for (const LiveSession& session : sessions) pids.push_back(session.pid);
  return pids;
}

TEST(LiveSession, ListsSessionFilesOfRunningProcessesSortedByPid) {
  test::TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  test::ChildProcess sleeper("/bin/sleep", {"30"});
  const std::string live = std::to_string(sleeper.pid());
  const std::string self = std::to_string(getpid());
  const std::string dead = std::to_string(endedPid());

  dir.write("config/sessions/" + live + ".json", R"({"pid":)" + live + R"(,"sessionId":"a"})");
  // No "pid" key: the file name says which process it is.
  dir.write("config/sessions/" + self + ".json", R"({"sessionId":"b"})");
  // An intact file left behind by a process that has ended.
  dir.write("config/sessions/" + dead + ".json", R"({"pid":)" + dead + R"(,"sessionId":"c"})");
  // Root's init: signalling it is refused to other users, which still means it runs.
  dir.write("config/sessions/1.json", R"({"pid":1,"sessionId":"d"})");
  // Not session files, even with content naming a live process.
  for (const std::string& name :
       std::vector<std::string>{"notes.json", ".json", live + ".abc.key", "x" + live + ".json"}) {
    dir.write("config/sessions/" + name, R"({"pid":)" + live + R"(,"sessionId":"e"})");
  }

  std::vector<int32_t> expected = {1, sleeper.pid(), getpid()};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(pidsOf(LiveSession::load(paths)), expected);

  EXPECT_EQ(LiveSession::read(sessionFile(paths, self + ".json"), self + ".json")->sessionId, "b");
  EXPECT_EQ(LiveSession::read(sessionFile(paths, dead + ".json"), dead + ".json"), std::nullopt);
  EXPECT_TRUE(LiveSession::load(ClaudePaths{dir / "missing", dir / "missing", "", ""}).empty());
}

TEST(LiveSession, ReadsFieldsWithTheirFallbacks) {
  test::TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  const std::string self = std::to_string(getpid());
  const std::string name = self + ".json";
  const std::string path = sessionFile(paths, name);
  const Date modified(1700000000);

  dir.write("config/sessions/" + name, R"({"pid":)" + self + R"(,"sessionId":"s1","cwd":"/w",
    "name":"fix bug","status":"busy","entrypoint":"claude-desktop","hostSessionId":"local_1",
    "kind":"interactive","version":"2.1.0","bridgeSessionId":"br","startedAt":1700000001000,
    "updatedAt":1700000002500,"statusUpdatedAt":1700000003000,"procStart":"Mon"})");
  test::setModified(path, modified);
  LiveSession full;
  full.pid = getpid();
  full.sessionId = "s1";
  full.cwd = "/w";
  full.name = "fix bug";
  full.status = "busy";
  full.entrypoint = "claude-desktop";
  full.hostSessionId = "local_1";
  full.kind = "interactive";
  full.version = "2.1.0";
  full.bridgeSessionId = "br";
  full.startedAt = Date(1700000001);
  full.updatedAt = Date(1700000002.5);
  full.statusSince = Date(1700000003);
  EXPECT_EQ(LiveSession::read(path, name), full);

  dir.write("config/sessions/" + name, R"({"sessionId":"s1","updatedAt":1700000002000})");
  test::setModified(path, modified);
  std::optional<LiveSession> session = LiveSession::read(path, name);
  ASSERT_TRUE(session);
  EXPECT_EQ(session->startedAt, modified);
  EXPECT_EQ(session->updatedAt, Date(1700000002));
  EXPECT_EQ(session->statusSince, Date(1700000002));

  dir.write("config/sessions/" + name, R"({"sessionId":"s1","bridgeSessionId":""})");
  test::setModified(path, modified);
  session = LiveSession::read(path, name);
  ASSERT_TRUE(session);
  LiveSession bare;
  bare.pid = getpid();
  bare.sessionId = "s1";
  bare.startedAt = bare.updatedAt = bare.statusSince = modified;
  EXPECT_EQ(session, bare);
  EXPECT_EQ(session->status, "idle");

  // Values of the wrong type are as good as missing.
  dir.write("config/sessions/" + name, R"({"pid":")" + self + R"(","sessionId":"s1","cwd":7,
    "name":null,"status":false,"entrypoint":["cli"],"kind":{},"bridgeSessionId":1,
    "startedAt":"1700000001000","updatedAt":null,"statusUpdatedAt":true})");
  test::setModified(path, modified);
  EXPECT_EQ(LiveSession::read(path, name), bare);

  for (const std::string& text : std::vector<std::string>{
           R"({"pid":)" + self + R"(})", R"({"pid":)" + self + R"(,"sessionId":42})",
           R"({"pid":0,"sessionId":"s1"})", R"({"pid":-1,"sessionId":"s1"})",
           R"([{"sessionId":"s1"}])", R"({"sessionId":"s1")", std::string()}) {
    dir.write("config/sessions/" + name, text);
    EXPECT_EQ(LiveSession::read(path, name), std::nullopt) << text;
  }
  dir.write("config/sessions/notes.json", R"({"sessionId":"s1"})");
  EXPECT_EQ(LiveSession::read(sessionFile(paths, "notes.json"), "notes.json"), std::nullopt);
  EXPECT_EQ(LiveSession::read(dir / "absent.json", self + ".json"), std::nullopt);
}

TEST(LiveSessionReader, KeepsAHalfWrittenFileOnlyWhileItsProcessRuns) {
  test::TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  test::ChildProcess sleeper("/bin/sleep", {"30"});
  auto ending = std::make_unique<test::ChildProcess>("/bin/sleep", std::vector<std::string>{"30"});
  const std::string live = std::to_string(sleeper.pid());
  const std::string gone = std::to_string(ending->pid());
  const std::string livePath =
      dir.write("config/sessions/" + live + ".json", R"({"sessionId":"a","status":"busy"})");
  const std::string gonePath =
      dir.write("config/sessions/" + gone + ".json", R"({"sessionId":"b","status":"busy"})");

  LiveSessionReader reader;
  const std::vector<LiveSession> first = reader.load(paths);
  ASSERT_EQ(first.size(), 2u);

  dir.write("config/sessions/" + live + ".json", R"({"sessionId":"a","sta)");
  dir.write("config/sessions/" + gone + ".json", R"({"sessionId":"b","sta)");
  ending.reset();
  const std::vector<LiveSession> second = reader.load(paths);
  ASSERT_EQ(second.size(), 1u);
  const LiveSession& kept = first[0].pid == sleeper.pid() ? first[0] : first[1];
  EXPECT_EQ(second[0], kept);
  // A fresh reader has no earlier reading to fall back on.
  EXPECT_TRUE(LiveSession::load(paths).empty());

  dir.write("config/sessions/" + live + ".json", R"({"sessionId":"a","status":"waiting"})");
  std::vector<LiveSession> third = reader.load(paths);
  ASSERT_EQ(third.size(), 1u);
  EXPECT_EQ(third[0].status, "waiting");

  fs::remove(livePath);
  fs::remove(gonePath);
  EXPECT_TRUE(reader.load(paths).empty());
}

TEST(LiveSessionReader, KeepsItsSessionsWhenTheFolderCannotBeListed) {
  test::TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  const std::string self = std::to_string(getpid());
  dir.write("config/sessions/" + self + ".json", R"({"sessionId":"a"})");
  LiveSessionReader reader;
  const std::vector<LiveSession> before = reader.load(paths);
  ASSERT_EQ(before.size(), 1u);

  // Root lists any folder whatever its permissions; a file in its place cannot be listed.
  fs::remove_all(paths.sessionsDir());
  dir.write("config/sessions", "");
  EXPECT_EQ(reader.load(paths), before);
  fs::remove(paths.sessionsDir());
  EXPECT_EQ(reader.load(paths), before);

  fs::create_directory(paths.sessionsDir());
  EXPECT_TRUE(reader.load(paths).empty());
}

TEST(LiveSession, JsonFormKeepsEveryFieldAndLeavesOutAbsentOnes) {
  LiveSession session;
  session.pid = 4242;
  session.sessionId = "s1";
  session.cwd = "/w";
  session.startedAt = Date::fromReferenceSeconds(100);
  session.updatedAt = Date::fromReferenceSeconds(200.5);
  session.statusSince = Date::fromReferenceSeconds(300);

  const nlohmann::json bare = toJson(session);
  EXPECT_FALSE(bare.contains("name"));
  EXPECT_EQ(bare["updatedAt"], 200.5);
  EXPECT_EQ(liveSessionFromJson(bare), session);

  session.name = "n";
  session.entrypoint = "cli";
  session.hostSessionId = "local_1";
  session.kind = "interactive";
  session.version = "2.1";
  session.bridgeSessionId = "br";
  const nlohmann::json full = toJson(session);
  EXPECT_EQ(liveSessionFromJson(full), session);

  for (const char* key :
       {"pid", "sessionId", "cwd", "status", "startedAt", "updatedAt", "statusSince"}) {
    nlohmann::json missing = full;
    missing.erase(key);
    EXPECT_EQ(liveSessionFromJson(missing), std::nullopt) << key;
  }
  EXPECT_EQ(liveSessionFromJson(nlohmann::json::array()), std::nullopt);
}

}  // namespace
}  // namespace tessel
