#include "codex/codex_index.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/codex_lines.h"
#include "support/processes.h"
#include "support/temp_dir.h"
#include "util/calendar.h"
#include "util/files.h"

namespace tessel {
namespace {

namespace codex = test::codex;
using test::TempDir;

const Date now(Calendar::utcSeconds(2026, 12, 5, 20, 0, 0));
constexpr uint64_t noLimit = 1ULL << 40;

const std::string first = "019af0c2-5b1e-7c3a-9d4f-2e8b6a1c0d93";
const std::string second = "019af0d7-1111-7222-8333-444455556666";

std::string rolloutName(const std::string& id) {
  return "sessions/2026/12/05/rollout-2026-12-05T19-20-41-" + id + ".jsonl";
}

// A session with one command and one token count, stamped from `minute` on.
std::string session(const std::string& id, const std::string& command, int minute) {
  const auto stamp = [&](int second) {
    char text[64];
    snprintf(text, sizeof text, "2026-12-05T19:%02d:%02d.000Z", minute, second);
    return std::string(text);
  };
  return codex::meta(stamp(0), id, "/home/u/" + id.substr(0, 4)) +
         codex::turnContext(stamp(1), "gpt-5.2-codex", "/home/u/p") + codex::taskStarted(stamp(2)) +
         codex::functionCall(stamp(3), "exec_command", R"({"cmd":")" + command + R"("})",
                             "call_" + id.substr(0, 8)) +
         codex::functionOutput(stamp(4), "call_" + id.substr(0, 8), codex::execOutput(0, "ok")) +
         codex::tokenCount(
             stamp(5),
             codex::info(codex::usage(1000, 400, 50, 1050), codex::usage(1000, 400, 50, 1050)),
             R"({"primary":{"used_percent":)" + std::to_string(minute) +
                 R"(.0,"window_minutes":300,"resets_at":1796501000},"secondary":null})") +
         codex::taskComplete(stamp(6));
}

std::string commandLine(const std::string& callId, const std::string& command, int second) {
  char stamp[64];
  snprintf(stamp, sizeof stamp, "2026-12-05T19:50:%02d.000Z", second);
  return codex::functionCall(stamp, "exec_command", R"({"cmd":")" + command + R"("})", callId);
}

void append(const std::string& path, std::string_view bytes) {
  ASSERT_TRUE(Files::appendOnce(path, bytes, 0644));
}

std::map<std::string, ToolEvent> commands(const CodexIndex& index) {
  std::map<std::string, ToolEvent> byId;
  for (ToolEvent& event : index.allCommands()) byId.emplace(event.id, std::move(event));
  return byId;
}

int64_t messages(const IndexStore::Tally& buckets) {
  int64_t sum = 0;
  for (const auto& [key, counts] : buckets) sum += counts[4];
  return sum;
}

TEST(CodexIndex, TakesTheSessionIdFromTheRolloutName) {
  EXPECT_EQ(CodexIndex::sessionID("rollout-2026-12-05T19-20-41-" + first + ".jsonl"), first);
  // The earliest builds wrote no time; a bare id is five pieces too.
  EXPECT_EQ(CodexIndex::sessionID("rollout-2025-05-07-" + first + ".jsonl"), first);
  EXPECT_EQ(CodexIndex::sessionID(first + ".jsonl"), first);
  for (const std::string& bad :
       {"rollout-2026-12-05T19-20-41-" + first.substr(1) + ".jsonl",  // 35 characters
        "rollout-2026-12-05T19-20-41-" + first + "_2.jsonl", "rollout-" + first + ".json",
        std::string("a-b-c-d.jsonl"), std::string("rollout-x-" + first.substr(9) + ".jsonl")}) {
    EXPECT_EQ(CodexIndex::sessionID(bad), std::nullopt) << bad;
  }
}

TEST(CodexIndex, FollowsRolloutsAsTheyGrowShrinkAndGo) {
  TempDir home;
  const CodexPaths paths{home.path()};
  const std::string one = home.write(rolloutName(first), session(first, "make", 20));
  const std::string two = home.write(rolloutName(second), session(second, "cargo build", 30));
  // Not read: too old, not a rollout, an id of 35 characters.
  const std::string old = home.write(
      "sessions/2026/11/01/rollout-2026-11-01T10-00-00-019a0000-"
      "0000-7000-8000-000000000000.jsonl",
      session("019a0000-0000-7000-8000-000000000000", "old", 1));
  test::setModified(old, now - 20 * 86400);
  home.write("sessions/2026/12/05/notes.jsonl", session(first, "no", 1));
  home.write("sessions/2026/12/05/rollout-2026-12-05T19-20-41-" + first.substr(1) + ".jsonl",
             session(first.substr(1), "no", 1));
  home.write("session_index.jsonl",
             R"({"id":")" + first +
                 R"(","thread_name":"Fix the build","updated_at":"2026-12-05T19:21:00.551204117Z"})"
                 "\n"
                 R"({"id":")" +
                 second +
                 R"(","thread_name":"Port to ARM","updated_at":"2026-12-05T19:31:00Z"})"
                 "\n"
                 R"({"id":")" +
                 first +
                 R"(","thread_name":"Fix the build on CI","updated_at":"2026-12-05T19:22:00Z"})"
                 "\n"
                 R"({"id":"torn)");

  CodexIndex index;
  index.refresh(paths, now, 5, noLimit);
  const auto sessions = index.allSessions();
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_EQ(sessions[0].id, first);
  EXPECT_EQ(sessions[0].path, one);
  EXPECT_EQ(sessions[0].offset, std::filesystem::file_size(one));
  EXPECT_TRUE(sessions[0].recognised);
  EXPECT_EQ(index.titles(), (std::map<std::string, std::string>{{first, "Fix the build on CI"},
                                                                {second, "Port to ARM"}}));
  EXPECT_EQ(commands(index).size(), 2u);
  EXPECT_EQ(messages(index.buckets()), 2);
  // The latest reading wins, whichever file holds it.
  ASSERT_TRUE(index.limits());
  EXPECT_EQ(index.limits()->window(300)->percentUsed, 30.0);
  ASSERT_EQ(index.readings().size(), 1u);
  EXPECT_EQ(index.readings()[0].f, 30.0);

  // Within `every` seconds nothing is read; after, only what was appended. A torn line
  // waits until it is whole.
  const std::string call = commandLine("call_new", "npm test", 1);
  append(one, call.substr(0, 40));
  index.refresh(paths, now + 1, 5, noLimit);
  index.refresh(paths, now + 6, 5, noLimit);
  EXPECT_EQ(commands(index).size(), 2u);
  append(one, call.substr(40));
  index.refresh(paths, now + 7, 5, noLimit);
  EXPECT_EQ(commands(index).size(), 2u);
  index.refresh(paths, now + 12, 5, noLimit);
  EXPECT_EQ(index.allSessions()[0].offset, std::filesystem::file_size(one));
  EXPECT_EQ(commands(index).at("call_new").summary, "npm test");
  EXPECT_EQ(index.allSessions()[0].lastActivity,
            Date(Calendar::utcSeconds(2026, 12, 5, 19, 50, 1)));

  // A rename reaches the titles once the index file changes.
  append(home / "session_index.jsonl",
         "\n"
         R"({"id":")" +
             second +
             R"(","thread_name":"Port to RISC-V"})"
             "\n");
  index.refresh(paths, now + 20, 5, noLimit);
  EXPECT_EQ(index.titles().at(second), "Port to RISC-V");

  // A file rewritten shorter is read again from its start: its old calls and tokens are
  // taken back, not counted twice.
  std::filesystem::resize_file(two, 0);
  append(two, session(second, "cargo check", 40).substr(0, 1200));
  index.refresh(paths, now + 30, 5, noLimit);
  const auto afterRewrite = commands(index);
  EXPECT_EQ(afterRewrite.at("call_019af0d7").summary, "cargo check");
  // The new start has no token count yet.
  EXPECT_EQ(messages(index.buckets()), 1);

  // A file that went is forgotten with its session; the usage it brought stays.
  append(two, session(second, "cargo check", 40).substr(1200));
  index.refresh(paths, now + 35, 5, noLimit);
  EXPECT_EQ(messages(index.buckets()), 2);
  const std::string away = test::readFile(two);
  std::filesystem::remove(two);
  index.refresh(paths, now + 40, 5, noLimit);
  EXPECT_EQ(index.allSessions().size(), 1u);
  // Back again, it is read anew without counting twice.
  home.write(rolloutName(second), away);
  index.refresh(paths, now + 45, 5, noLimit);
  EXPECT_EQ(index.allSessions().size(), 2u);
  EXPECT_EQ(messages(index.buckets()), 2);
  std::filesystem::remove(two);
  append(one, codex::tokenCount(
                  "2026-12-05T19:55:00.000Z",
                  codex::info(codex::usage(900, 0, 9, 909), codex::usage(900, 0, 9, 909)), "null"));
  index.refresh(paths, now + 50, 5, noLimit);
  EXPECT_EQ(messages(index.buckets()), 3);

  // A sessions folder that cannot be read forgets nothing.
  std::filesystem::rename(home / "sessions", home / "moved");
  index.refresh(paths, now + 60, 5, noLimit);
  EXPECT_EQ(index.allSessions().size(), 1u);
}

TEST(CodexIndex, ABudgetSpreadsAFirstScanOverCallsWithTheSameResult) {
  TempDir home;
  const CodexPaths paths{home.path()};
  std::vector<std::string> ids;
  for (int i = 0; i < 4; ++i) {
    const std::string id = "019af0c2-5b1e-7c3a-9d4f-2e8b6a1c0d9" + std::to_string(i);
    std::string text = session(id, "make", 10 + i);
    // Long outputs, as real ones are, and one line longer than the budget itself.
    for (int call = 0; call < 20; ++call) {
      const std::string callId = "call_" + std::to_string(i) + "_" + std::to_string(call);
      text += commandLine(callId, "ls " + std::to_string(call), call) +
              codex::functionOutput(
                  "2026-12-05T19:51:00.000Z", callId,
                  codex::execOutput(call % 3, std::string(call == 7 ? 9000 : 500, 'o')));
    }
    home.write(rolloutName(id), text);
  }
  CodexIndex whole;
  whole.refresh(paths, now, 0, noLimit);

  CodexIndex spread;
  int calls = 0;
  while (spread.allSessions().size() < 4 || commands(spread).size() < commands(whole).size() ||
         spread.allSessions() != whole.allSessions()) {
    ASSERT_LT(++calls, 100);
    spread.refresh(paths, now, 0, 4000);
  }
  EXPECT_GT(calls, 8);
  EXPECT_EQ(commands(spread), commands(whole));
  EXPECT_EQ(spread.buckets(), whole.buckets());
  EXPECT_EQ(spread.limits(), whole.limits());
}

TEST(CodexIndex, PassesOverALineTooLongToBeAnEvent) {
  TempDir home;
  const CodexPaths paths{home.path()};
  const std::string one = home.write(rolloutName(first), session(first, "make", 20));
  CodexIndex index;
  index.refresh(paths, now, 0, noLimit);
  const uint64_t whole = std::filesystem::file_size(one);
  // A huge output still being written, then finished, with a command after it.
  const std::string huge = codex::functionOutput("2026-12-05T19:50:00.000Z", "call_huge",
                                                 std::string(CodexIndex::largestRead, 'o'));
  append(one, huge.substr(0, huge.size() - 100));
  index.refresh(paths, now + 1, 0, noLimit);
  EXPECT_EQ(index.allSessions()[0].offset, whole);
  append(one, huge.substr(huge.size() - 100) + commandLine("call_after", "npm test", 2));
  index.refresh(paths, now + 2, 0, noLimit);
  EXPECT_EQ(commands(index).at("call_after").summary, "npm test");
  EXPECT_EQ(commands(index).size(), 2u);
  EXPECT_EQ(index.allSessions()[0].offset, std::filesystem::file_size(one));
}

TEST(CodexIndex, ARestartResumesFromTheStoredOffsets) {
  TempDir home;
  const CodexPaths paths{home.path()};
  const std::string one = home.write(rolloutName(first), session(first, "make", 20));
  std::shared_ptr<IndexStore> store = IndexStore::open(home / "support/index.sqlite");
  ASSERT_TRUE(store);
  {
    CodexIndex index;
    index.store(now, store);
    index.refresh(paths, now, 0, noLimit);
    ASSERT_EQ(commands(index).size(), 1u);
  }
  // Bytes already read change in place: a resumed index must not read them again.
  std::string text = test::readFile(one);
  text.replace(text.find(R"("cmd\":\"make)"), 14, R"("cmd\":\"mace)");
  {
    std::fstream file(one, std::ios::in | std::ios::out | std::ios::binary);
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  append(one, commandLine("call_more", "make install", 2) +
                  codex::tokenCount(
                      "2026-12-05T19:50:03.000Z",
                      codex::info(codex::usage(3000, 0, 10, 3010), codex::usage(2000, 0, 10, 2010)),
                      "null"));

  CodexIndex resumed;
  resumed.store(now, IndexStore::open(home / "support/index.sqlite"));
  // Before any refresh it already knows what was read.
  EXPECT_EQ(resumed.allSessions().size(), 1u);
  EXPECT_EQ(resumed.limits()->window(300)->percentUsed, 20.0);
  EXPECT_EQ(resumed.readings().size(), 1u);
  resumed.refresh(paths, now, 0, noLimit);
  const auto found = commands(resumed);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found.at("call_019af0c2").summary, "make");
  EXPECT_EQ(found.at("call_019af0c2").end, Date(Calendar::utcSeconds(2026, 12, 5, 19, 20, 4)));
  EXPECT_EQ(found.at("call_more").summary, "make install");
  EXPECT_EQ(messages(resumed.buckets()), 2);
  EXPECT_EQ(resumed.allSessions()[0].offset, std::filesystem::file_size(one));
  EXPECT_EQ(resumed.allSessions()[0].model, "gpt-5.2-codex");

  // Once more, with the store saved by the resumed index.
  CodexIndex third;
  third.store(now, store);
  EXPECT_EQ(third.allSessions(), resumed.allSessions());
  EXPECT_EQ(commands(third), found);
  EXPECT_EQ(third.buckets(), resumed.buckets());
}

TEST(CodexIndex, ForgetsAStoredSessionOnlyOnceItsFileIsSurelyGone) {
  TempDir home;
  const CodexPaths paths{home.path()};
  const std::string one = home.write(rolloutName(first), session(first, "make", 20));
  const std::string two = home.write(rolloutName(second), session(second, "ls", 30));
  std::shared_ptr<IndexStore> store = IndexStore::open(home / "support/index.sqlite");
  ASSERT_TRUE(store);
  {
    CodexIndex index;
    index.store(now, store);
    index.refresh(paths, now, 0, noLimit);
    ASSERT_EQ(index.allSessions().size(), 2u);
  }
  // While Tessel was not running, both rollouts went and the folder is empty: that looks
  // more like a home being moved than every session ending, so nothing is forgotten yet.
  std::filesystem::remove(one);
  std::filesystem::remove(two);
  CodexIndex resumed;
  resumed.store(now, store);
  resumed.refresh(paths, now, 0, noLimit);
  EXPECT_EQ(resumed.allSessions().size(), 2u);

  // A rollout appears again: now the scan has looked, and the missing one goes, in memory
  // and in the store.
  home.write(rolloutName(second), session(second, "ls", 30));
  resumed.refresh(paths, now + 1, 0, noLimit);
  ASSERT_EQ(resumed.allSessions().size(), 1u);
  EXPECT_EQ(resumed.allSessions()[0].id, second);
  CodexIndex third;
  third.store(now, store);
  ASSERT_EQ(third.allSessions().size(), 1u);
  EXPECT_EQ(third.allSessions()[0].id, second);

  // Later a file that every earlier scan saw goes while another stays.
  home.write(rolloutName(first), session(first, "make", 20));
  third.refresh(paths, now + 2, 0, noLimit);
  ASSERT_EQ(third.allSessions().size(), 2u);
  std::filesystem::remove(home / rolloutName(second));
  third.refresh(paths, now + 3, 0, noLimit);
  ASSERT_EQ(third.allSessions().size(), 1u);
  EXPECT_EQ(third.allSessions()[0].id, first);
}

TEST(CodexIndex, FindsWhichProcessHoldsASessionOpen) {
  TempDir dir;
  std::filesystem::create_directories(dir / "real/thread-writer-locks");
  std::filesystem::create_symlink(dir / "real", dir / "home");
  const CodexPaths paths{dir / "home"};
  const std::string locks = dir / "real/thread-writer-locks/";
  const std::string shortName = first.substr(1);
  for (const std::string& name : {first, second, shortName, std::string(".coordination")}) {
    std::ofstream(locks + name + ".lock").put('\0');
  }
  std::ofstream(dir / (first + ".lock")).put('\0');
  const auto holder = [&](const std::vector<std::string>& files) {
    std::string script = "exec";
    int fd = 3;
    for (const std::string& file : files) {
      script += ' ';
      script += std::to_string(fd++);
      script += "<'" + file + "'";
    }
    return std::make_unique<test::ChildProcess>(
        "/bin/sh", std::vector<std::string>{"-c", script + "; exec /bin/sleep 30"});
  };
  const auto a = holder({locks + first + ".lock", locks + shortName + ".lock",
                         locks + ".coordination.lock", dir / (first + ".lock")});
  const auto b = holder({locks + first + ".lock", locks + second + ".lock"});
  for (const auto* child : {a.get(), b.get()}) {
    ASSERT_TRUE(test::waitForExecutable(child->pid(), std::filesystem::canonical("/bin/sleep")));
  }
  EXPECT_EQ(CodexIndex::openSessions({a->pid(), b->pid()}, paths),
            (std::map<std::string, int32_t>{{first, b->pid()}, {second, b->pid()}}));
  EXPECT_EQ(CodexIndex::openSessions({b->pid(), a->pid(), 999999999}, paths),
            (std::map<std::string, int32_t>{{first, a->pid()}, {second, b->pid()}}));
  EXPECT_TRUE(CodexIndex::openSessions({a->pid()}, CodexPaths{dir / "missing"}).empty());
}

TEST(CodexIndex, ReadersSeeConsistentStateWhileRefreshesRun) {
  TempDir home;
  const CodexPaths paths{home.path()};
  const std::string one = home.write(rolloutName(first), session(first, "make", 20));
  CodexIndex index;
  std::atomic<bool> done = false;
  size_t seenMost = 0;
  bool shrank = false;
  std::thread reader([&] {
    while (!done) {
      const size_t count = index.allCommands().size();
      shrank |= count < seenMost;
      seenMost = std::max(seenMost, count);
      index.allSessions();
      index.limits();
      index.titles();
    }
  });
  // A second refresher finds the first running or runs after it; either way no call is
  // lost.
  std::thread other([&] {
    for (int i = 0; i < 50; ++i) index.refresh(paths, now, 0, noLimit);
  });
  for (int i = 0; i < 50; ++i) {
    append(one, commandLine("call_" + std::to_string(i), "step " + std::to_string(i), i % 60));
    index.refresh(paths, now, 0, noLimit);
  }
  other.join();
  index.refresh(paths, now, 0, noLimit);
  done = true;
  reader.join();
  EXPECT_FALSE(shrank);
  EXPECT_EQ(index.allCommands().size(), 51u);
}

}  // namespace
}  // namespace tessel
