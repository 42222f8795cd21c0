#include "claude/session_history.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "support/temp_dir.h"
#include "support/transcript_lines.h"
#include "usage/index_store.h"
#include "util/calendar.h"
#include "util/files.h"

namespace tessel {
namespace {

using test::TempDir;

const Date now(Calendar::utcSeconds(2026, 12, 5, 20, 0, 0));

std::map<std::string, HistorySession> byId(const SessionHistory& history) {
  std::map<std::string, HistorySession> sessions;
  for (auto& session : history.all()) sessions.emplace(session.id, session);
  return sessions;
}

std::string userLine(std::string_view cwd, std::string_view entrypoint = "cli") {
  return R"({"parentUuid":null,"isSidechain":false,"type":"user","message":{"role":"user","content":"fix the build"},"uuid":"u1","timestamp":"2026-12-05T19:00:00.000Z","userType":"external","entrypoint":")" +
         std::string(entrypoint) + R"(","cwd":")" + std::string(cwd) +
         R"(","sessionId":"s","version":"2.1.3"})" + "\n";
}

TEST(HistorySession, ScanKeepsTitlesPromptsModelAndFolder) {
  HistorySession session{.id = "s"};
  session.scan(
      R"({"type":"queue-operation","operation":"enqueue","timestamp":"2026-12-05T19:00:00.000Z","sessionId":"s"})"
      "\n" +
      userLine("/home/dev/shop", "claude-desktop") +
      R"({"type":"custom-title","customTitle":"Checkout","sessionId":"s"})"
      "\n"
      R"({"type":"ai-title","aiTitle":"Fix the build","sessionId":"s"})"
      "\n" +
      test::toolUseLine(now, "toolu_a", "Bash", R"({"command":"make"})", "s", "claude-opus-4-7") +
      R"({"type":"last-prompt","lastPrompt":"fix the build","sessionId":"s"})");
  EXPECT_EQ(session.cwd, "/home/dev/shop");
  EXPECT_EQ(session.entrypoint, "claude-desktop");
  EXPECT_EQ(session.customTitle, "Checkout");
  EXPECT_EQ(session.aiTitle, "Fix the build");
  EXPECT_TRUE(session.hasPrompt);  // the last piece needs no line feed
  EXPECT_EQ(session.model, "claude-opus-4-7");
  EXPECT_EQ(session.title(), "Checkout");

  // A later chunk: an empty title, a synthetic reply and broken lines change nothing;
  // the folder, once known with its entry point, stays.
  session.scan(
      R"({"type":"custom-title","customTitle":"","sessionId":"s"})"
      "\n"
      R"({"type":"ai-title","aiTitle":7})"
      "\n" +
      test::toolUseLine(now, "toolu_b", "Bash", R"({"command":"ls"})", "s", "<synthetic>") +
      userLine("/elsewhere") + R"({"type":"custom-title","customTitle":"Cut)" + "\n{}\n\xff\n");
  EXPECT_EQ(session.customTitle, "Checkout");
  EXPECT_EQ(session.aiTitle, "Fix the build");
  EXPECT_EQ(session.model, "claude-opus-4-7");
  EXPECT_EQ(session.cwd, "/home/dev/shop");

  // Lines that are not JSON throughout give nothing, whatever they seem to say.
  std::string badModel =
      test::toolUseLine(now, "toolu_c", "Bash", R"({"command":"ls"})", "s", "claude-haiku-4-5");
  badModel.replace(badModel.rfind('}'), 1, R"(,"extra":tru})");
  session.scan(R"({"type":"custom-title","customTitle":"X",})"
               "\n"
               R"({"type":"ai-title","aiTitle":"Y","n":01})"
               "\n"
               R"({"type":"custom-title","customTitle":"Z"} trailing)"
               "\n" +
               badModel);
  EXPECT_EQ(session.customTitle, "Checkout");
  EXPECT_EQ(session.aiTitle, "Fix the build");
  EXPECT_EQ(session.model, "claude-opus-4-7");
  HistorySession fresh{.id = "f"};
  fresh.scan(R"({"type":"user","cwd":"/bad","x":"\q"})"
             "\n" +
             userLine("/good"));
  EXPECT_EQ(fresh.cwd, "/good");

  // Without an entry point the folder keeps being read from later lines.
  HistorySession old{.id = "o"};
  old.scan(R"({"type":"user","cwd":"/a"})"
           "\n"
           R"({"type":"user","cwd":"/b","entrypoint":"cli"})"
           "\n"
           R"({"type":"user","cwd":"/c","entrypoint":"sdk-py"})");
  EXPECT_EQ(old.cwd, "/b");
  EXPECT_EQ(old.entrypoint, "cli");
  EXPECT_FALSE(old.hasPrompt);
  EXPECT_EQ(old.title(), "b");

  // The stored form gives the same session back; a damaged one gives nothing.
  EXPECT_EQ(historySessionFromJson(toJson(session)), session);
  EXPECT_EQ(historySessionFromJson(toJson(old)), old);
  nlohmann::json damaged = toJson(session);
  damaged["model"] = 4;
  EXPECT_FALSE(historySessionFromJson(damaged));
  EXPECT_FALSE(historySessionFromJson(nlohmann::json::array()));
}

TEST(SessionHistory, ReadsLongTranscriptsInChunksAndResumesAfterARestart) {
  TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  std::string text = userLine("/home/dev/big");
  const std::string filler =
      R"({"type":"user","message":{"role":"user","content":")" + std::string(4000, 'x') + "\"}}\n";
  while (text.size() < size_t{20} * 1024 * 1024) text += filler;
  text += R"({"type":"last-prompt","lastPrompt":"go","sessionId":"big"})"
          "\n";
  const std::string path = dir.write("config/projects/-home-dev-big/big.jsonl", text);
  test::setModified(path, now - 60);

  std::shared_ptr<IndexStore> store = IndexStore::open(dir / "index.sqlite");
  SessionHistory history(store);
  history.refresh(paths, now, 0);
  EXPECT_EQ(byId(history)["big"].offset, SessionHistory::chunkBytes);
  EXPECT_EQ(byId(history)["big"].cwd, "/home/dev/big");
  history.refresh(paths, now + 1, 0);
  EXPECT_EQ(byId(history)["big"].offset, 2 * SessionHistory::chunkBytes);
  EXPECT_FALSE(byId(history)["big"].hasPrompt);

  // A new history on the same store goes on from the stored offset: the bytes already
  // read are changed in place and must not be read again.
  std::string changed = text;
  changed.replace(0, userLine("/home/dev/big").size(), userLine("/home/dev/bag"));
  Files::create(path, changed);
  test::setModified(path, now - 30);
  SessionHistory restarted(IndexStore::open(dir / "index.sqlite"));
  EXPECT_EQ(byId(restarted)["big"].offset, 2 * SessionHistory::chunkBytes);
  restarted.refresh(paths, now + 2, 0);
  const HistorySession done = byId(restarted)["big"];
  EXPECT_EQ(done.offset, text.size());
  EXPECT_TRUE(done.hasPrompt);
  EXPECT_EQ(done.cwd, "/home/dev/big");
  EXPECT_EQ(done.lastActivity, now - 30);
  EXPECT_EQ(historySessionFromJson(store->historySessions().at(0)), done);
}

TEST(SessionHistory, StartsOverForMovedOrShrunkFilesAndForgetsGoneOnes) {
  TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  std::shared_ptr<IndexStore> store = IndexStore::open(dir / "index.sqlite");
  const std::string first = dir.write("config/projects/a/s1.jsonl",
                                      userLine("/a") + R"({"type":"ai-title","aiTitle":"One"})"
                                                       "\n");
  dir.write("config/projects/a/s2.jsonl", userLine("/a"));
  const std::string old = dir.write("config/projects/a/s3.jsonl", userLine("/a"));
  test::setModified(old, now - SessionHistory::keepDays * 86400);
  // Sub-agents' transcripts are not sessions of their own.
  dir.write("config/projects/a/s1/subagents/agent-1.jsonl", userLine("/a"));
  dir.write("config/projects/broken.jsonl", "a file where a project folder belongs");

  SessionHistory history(store);
  history.refresh(paths, now, 30);
  auto sessions = byId(history);
  EXPECT_EQ(sessions.size(), 2u);
  EXPECT_EQ(sessions["s1"].aiTitle, "One");

  // Within the interval nothing is scanned.
  std::filesystem::remove(dir / "config/projects/a/s2.jsonl");
  history.refresh(paths, now + 10, 30);
  EXPECT_EQ(byId(history).size(), 2u);

  // s1 moves to another project under the same name and loses its title line; s2 is gone.
  std::filesystem::create_directories(dir / "config/projects/b");
  std::filesystem::rename(first, dir / "config/projects/b/s1.jsonl");
  Files::create(dir / "config/projects/b/s1.jsonl", userLine("/b"));
  history.refresh(paths, now + 40, 30);
  sessions = byId(history);
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions["s1"].path, dir / "config/projects/b/s1.jsonl");
  EXPECT_EQ(sessions["s1"].cwd, "/b");
  EXPECT_FALSE(sessions["s1"].aiTitle);
  ASSERT_EQ(store->historySessions().size(), 1u);

  // Rewritten shorter in place: scanned again from the start.
  const uint64_t changes = history.changes();
  Files::create(dir / "config/projects/b/s1.jsonl",
                R"({"type":"custom-title","customTitle":"Short"})");
  history.refresh(paths, now + 80, 30);
  sessions = byId(history);
  EXPECT_EQ(sessions["s1"].customTitle, "Short");
  EXPECT_FALSE(sessions["s1"].cwd);
  EXPECT_NE(history.changes(), changes);

  // A scan that finds nothing new leaves the summaries' changes where they were.
  const uint64_t scanned = history.changes();
  history.refresh(paths, now + 120, 30);
  EXPECT_EQ(history.changes(), scanned);
}

}  // namespace
}  // namespace tessel
