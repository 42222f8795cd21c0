#include "usage/usage_scanner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "support/temp_dir.h"
#include "support/transcript_format.h"
#include "support/transcript_lines.h"
#include "util/calendar.h"
#include "util/files.h"

namespace tessel {
namespace {

using test::TempDir;
using Counts = IndexStore::Counts;
namespace fs = std::filesystem;

const Date now(Calendar::utcSeconds(2026, 12, 5, 20, 0, 0));
constexpr uint64_t noLimit = 1ULL << 40;

Date at(int hour, int minute, int second) {
  return Date(Calendar::utcSeconds(2026, 12, 5, hour, minute, second));
}

struct Reply {
  std::string_view id = "msg_01";
  std::string_view model = "claude-opus-4-7";
  std::string_view session = "5f1d2c3b-0000-4000-8000-000000000001";
  std::string_view cwd = "/home/dev/shop";
  std::string_view entry = "cli";
  int64_t input = 10, output = 20, cacheWrite = 30, cacheRead = 40, cacheWrite1h = 0;
};

// One content block of a reply, as Claude Code writes it.
std::string reply(Date when, const Reply& r) {
  namespace format = TranscriptFormat;
  std::string line;
  format::openEntry(line, "c7b4d0fd");
  format::appendSidechain(line, "");
  format::openAssistantMessage(line, r.model, r.id);
  line += R"({"type":"text","text":"Done: the usage figures add up."})";
  format::closeAssistantContent(line, "null");
  line += R"({"input_tokens":)" + std::to_string(r.input) + R"(,"cache_creation_input_tokens":)" +
          std::to_string(r.cacheWrite) + R"(,"cache_read_input_tokens":)" +
          std::to_string(r.cacheRead) + R"(,"cache_creation":{"ephemeral_5m_input_tokens":)" +
          std::to_string(r.cacheWrite - r.cacheWrite1h) + R"(,"ephemeral_1h_input_tokens":)" +
          std::to_string(r.cacheWrite1h) + R"(},"output_tokens":)" + std::to_string(r.output) +
          R"(,"service_tier":"standard"})";
  format::closeAssistantMessage(line, "req_011CVq");
  format::appendStamp(line, "a1", test::transcriptMillis(when));
  format::appendEnvelope(line, {.entrypoint = r.entry,
                                .cwd = r.cwd,
                                .sessionId = r.session,
                                .version = "2.1.331",
                                .gitBranch = "main"});
  line += "}\n";
  return line;
}

void append(const std::string& path, std::string_view bytes) {
  ASSERT_TRUE(Files::appendOnce(path, bytes, 0644));
}

Counts total(const IndexStore::Tally& buckets) {
  Counts sum{};
  for (const auto& [key, counts] : buckets) {
    for (size_t i = 0; i < sum.size(); ++i) sum[i] += counts[i];
  }
  return sum;
}

IndexStore::Bucket key(int64_t t, std::string_view model = "claude-opus-4-7",
                       std::string_view sid = "5f1d2c3b-0000-4000-8000-000000000001",
                       std::string_view cwd = "/home/dev/shop", std::string_view entry = "cli") {
  return {t, std::string(sid), std::string(cwd), std::string(model), std::string(entry)};
}

const std::string project = "config/projects/-home-dev-shop/";
const std::string session = project + "5f1d2c3b-0000-4000-8000-000000000001.jsonl";

TEST(UsageScanner, CountsEachReplyOnceInItsTenMinuteSlot) {
  TempDir home;
  const ClaudePaths paths = home.claudePaths();
  const int64_t noon = static_cast<int64_t>(at(12, 0, 0).secondsSince1970());
  std::string text;
  // The last second of a slot and the first of the next.
  text += reply(at(12, 9, 59), {.id = "msg_a"});
  text += reply(at(12, 10, 0), {.id = "msg_b", .cacheWrite1h = 25});
  // One reply in three lines, one per content block, the output growing to its end.
  text += reply(at(12, 20, 1), {.id = "msg_c", .output = 1});
  text += reply(at(12, 20, 2), {.id = "msg_c", .output = 9});
  text += reply(at(12, 20, 3), {.id = "msg_c", .output = 480});
  // Copies written alike count once too.
  text += reply(at(12, 21, 0), {.id = "msg_d"});
  text += reply(at(12, 21, 0), {.id = "msg_d"});
  // Made on the machine, not by the model.
  text += reply(at(12, 22, 0), {.id = "3f0e8a52-1c2d", .model = "<synthetic>"});
  // Looks like a reply once decoded, but its bytes never say "assistant": it is not read.
  std::string disguised = reply(at(12, 23, 0), {.id = "msg_e"});
  disguised.replace(disguised.find(R"("type":"assistant")"), 18, R"("type":"\u0061ssistant")");
  disguised.replace(disguised.find(R"("role":"assistant")"), 18, R"("role":"bot")");
  text += disguised;
  // Broken JSON and a line of another type say nothing.
  text += R"({"type":"assistant","message":{"id":"msg_f","usage":{"input_tokens":5)"
          "\n";
  text += R"({"type":"user","message":{"role":"user","content":"assistant",)"
          R"("usage":{"input_tokens":5}},"timestamp":"2026-12-05T12:24:00.000Z"})"
          "\n";
  // Without the envelope's keys the bucket says "unknown".
  text += R"({"type":"assistant","message":{"id":"msg_g","role":"assistant","usage":)"
          R"({"input_tokens":1,"output_tokens":2}},"timestamp":"2026-12-05T12:25:00.000Z"})"
          "\n";
  const std::string file = home.write(session, text);
  // A reply still being written waits for its line feed.
  const std::string torn = reply(at(12, 30, 0), {.id = "msg_h", .input = 1000});
  append(file, torn.substr(0, torn.size() / 2));

  UsageScanner scanner;
  scanner.refresh(paths, now, noLimit);
  const IndexStore::Tally expected{
      {key(noon), {10, 20, 30, 40, 1, 0}},
      {key(noon + 600), {10, 20, 30, 40, 1, 25}},
      {key(noon + 1200), {10 + 10, 480 + 20, 30 + 30, 40 + 40, 2, 0}},
      {key(noon + 1200, "unknown", "unknown", "unknown", "unknown"), {1, 2, 0, 0, 1, 0}},
  };
  EXPECT_EQ(scanner.buckets(), expected);
  EXPECT_TRUE(scanner.hasRead());
  EXPECT_EQ(scanner.skippedFiles(), 0);

  append(file, torn.substr(torn.size() / 2));
  scanner.refresh(paths, now, noLimit);
  EXPECT_EQ(total(scanner.buckets())[0], 10 + 10 + 20 + 1 + 1000);
  // A later, larger copy of a reply counted already takes its place; a smaller one or
  // the same one again changes nothing.
  append(file, reply(at(12, 20, 4), {.id = "msg_c", .output = 500}) +
                   reply(at(12, 20, 5), {.id = "msg_c", .output = 7}) +
                   reply(at(12, 10, 0), {.id = "msg_b", .cacheWrite1h = 25}));
  scanner.refresh(paths, now, noLimit);
  EXPECT_EQ(scanner.buckets().at(key(noon + 1200)), (Counts{20, 520, 60, 80, 2, 0}));
  EXPECT_EQ(scanner.buckets().at(key(noon + 600)), (Counts{10, 20, 30, 40, 1, 25}));

  // A tool result longer than one read is taken whole, and the reply after it counts.
  append(file, R"({"type":"user","message":{"role":"user","content":")" +
                   std::string(5 << 20, 'x') + "\"}}\n" +
                   reply(at(12, 40, 0), {.id = "msg_i", .input = 5}));
  scanner.refresh(paths, now, noLimit);
  EXPECT_EQ(total(scanner.buckets())[0], 1041 + 5);

  // A line past the largest read, with the usage marks in it, is passed over whole; what
  // follows it still counts.
  append(
      file,
      R"({"type":"assistant","message":{"id":"msg_huge","usage":{"input_tokens":1},"content":")" +
          std::string(UsageScanner::largestRead, 'x') + "\"}}\n" +
          reply(at(12, 40, 1), {.id = "msg_j", .input = 6}));
  scanner.refresh(paths, now, noLimit);
  EXPECT_EQ(total(scanner.buckets())[0], 1046 + 6);
}

TEST(UsageScanner, SubagentFilesCountForTheirSessionAndResumedCopiesOnce) {
  TempDir home;
  const ClaudePaths paths = home.claudePaths();
  const int64_t noon = static_cast<int64_t>(at(12, 0, 0).secondsSince1970());
  home.write(session, reply(at(12, 1, 0), {.id = "msg_1"}) + reply(at(12, 2, 0), {.id = "msg_2"}));
  // Sub-agents' lines carry their parent's session id, wherever the files are.
  home.write(project + "5f1d2c3b-0000-4000-8000-000000000001/subagents/agent-a1.jsonl",
             reply(at(12, 3, 0), {.id = "msg_3", .model = "claude-haiku-4-5-20251001"}));
  home.write(
      project + "5f1d2c3b-0000-4000-8000-000000000001/subagents/workflows/run-7/agent-b2.jsonl",
      reply(at(12, 4, 0), {.id = "msg_4", .model = "claude-haiku-4-5-20251001"}));
  home.write(project + "subagents/agent-c3.jsonl",
             reply(at(12, 5, 0), {.id = "msg_5", .model = "claude-haiku-4-5-20251001"}));
  // Not transcripts.
  home.write(project + "5f1d2c3b-0000-4000-8000-000000000001/subagents/agent-a1.meta.json",
             reply(at(12, 6, 0), {.id = "msg_6"}));
  home.write(project + "5f1d2c3b-0000-4000-8000-000000000001/tool-results/x.jsonl",
             reply(at(12, 6, 0), {.id = "msg_7"}));
  // A resumed session's file starts with copies of the earlier conversation.
  const Reply resumed{.id = "msg_8", .session = "7a7a7a7a-0000-4000-8000-000000000002"};
  home.write(project + "7a7a7a7a-0000-4000-8000-000000000002.jsonl",
             reply(at(12, 1, 0), {.id = "msg_1"}) + reply(at(12, 2, 0), {.id = "msg_2"}) +
                 reply(at(12, 7, 0), resumed));

  UsageScanner scanner;
  scanner.refresh(paths, now, noLimit);
  const IndexStore::Tally buckets = scanner.buckets();
  EXPECT_EQ(buckets.at(key(noon)), (Counts{20, 40, 60, 80, 2, 0}));
  EXPECT_EQ(buckets.at(key(noon, "claude-haiku-4-5-20251001")), (Counts{30, 60, 90, 120, 3, 0}));
  EXPECT_EQ(buckets.at(key(noon, "claude-opus-4-7", resumed.session)),
            (Counts{10, 20, 30, 40, 1, 0}));
  EXPECT_EQ(total(buckets)[4], 6);
}

TEST(UsageScanner, FollowsTranscriptsAsTheyGrowShrinkAgeAndGo) {
  TempDir home;
  const ClaudePaths paths = home.claudePaths();
  const std::string file = home.write(
      session, reply(at(12, 1, 0), {.id = "msg_1"}) + reply(at(12, 2, 0), {.id = "msg_2"}));
  const std::string other = home.write(project + "0b0b0b0b-0000-4000-8000-000000000003.jsonl",
                                       reply(at(13, 0, 0), {.id = "msg_9", .input = 7}));
  // Untouched for over two weeks: neither read nor kept.
  const std::string old = home.write(project + "0c0c0c0c-0000-4000-8000-000000000004.jsonl",
                                     reply(now - 20 * 86400, {.id = "msg_old"}));
  test::setModified(old, now - 16 * 86400);

  UsageScanner scanner;
  scanner.refresh(paths, now, noLimit);
  EXPECT_EQ(total(scanner.buckets()), (Counts{27, 60, 90, 120, 3, 0}));

  // Replaced by a shorter file: what it counted goes, its new lines count.
  ASSERT_TRUE(Files::create(file, reply(at(12, 3, 0), {.id = "msg_3", .input = 100})));
  scanner.refresh(paths, now, noLimit);
  EXPECT_EQ(total(scanner.buckets()), (Counts{107, 40, 60, 80, 2, 0}));

  // A file that goes keeps what it counted; its replies are no longer held.
  fs::remove(other);
  scanner.refresh(paths, now, noLimit);
  EXPECT_EQ(total(scanner.buckets()), (Counts{107, 40, 60, 80, 2, 0}));

  // Two weeks on, the slots of that day go.
  scanner.refresh(paths, now + 16 * 86400, noLimit);
  EXPECT_TRUE(scanner.buckets().empty());
}

TEST(UsageScanner, ARestartReadsOnlyNewBytesAndEndsWithTheSameTotals) {
  TempDir home;
  const ClaudePaths paths = home.claudePaths();
  std::string first, second;
  for (int i = 0; i < 40; ++i) {
    const std::string id = "msg_" + std::to_string(i);
    const Reply r{.id = id, .input = i, .output = 2 * int64_t{i}};
    (i < 25 ? first : second) += reply(at(12, i, 0), r);
  }
  const std::string file = home.write(session, first);
  const std::string support = home / "support/index.sqlite";

  {
    UsageScanner scanner;
    scanner.store(now, IndexStore::open(support));
    scanner.refresh(paths, now, noLimit);
  }
  append(file, second);
  UsageScanner resumed;
  resumed.store(now, IndexStore::open(support));
  // What the store holds is there before any refresh.
  EXPECT_EQ(total(resumed.buckets())[4], 25);
  // A copy of a reply counted before the restart is not counted again.
  home.write(project + "7a7a7a7a-0000-4000-8000-000000000002.jsonl",
             reply(at(12, 3, 0), {.id = "msg_3", .input = 3, .output = 6}));
  resumed.refresh(paths, now, noLimit);

  // The same files in one go, over calls with a small budget.
  TempDir again;
  again.write(session, first + second);
  again.write(project + "7a7a7a7a-0000-4000-8000-000000000002.jsonl",
              reply(at(12, 3, 0), {.id = "msg_3", .input = 3, .output = 6}));
  UsageScanner uninterrupted;
  uninterrupted.refresh(again.claudePaths(), now, noLimit);
  // Each call says whether the budget cut it short; the one that reads the rest does not.
  UsageScanner budgeted;
  int calls = 1;
  while (budgeted.refresh(again.claudePaths(), now, 1000) && calls < 200) ++calls;
  EXPECT_GT(calls, 1);
  EXPECT_TRUE(budgeted.hasRead());
  EXPECT_FALSE(budgeted.refresh(again.claudePaths(), now, 1000));
  EXPECT_EQ(resumed.buckets(), uninterrupted.buckets());
  EXPECT_EQ(budgeted.buckets(), uninterrupted.buckets());
  EXPECT_EQ(total(resumed.buckets())[4], 40);

  // Reading only what is new: bytes already read and changed in place are not read again.
  std::string text = test::readFile(file);
  text.replace(text.find(R"("input_tokens":0)"), 16, R"("input_tokens":9)");
  ASSERT_TRUE(Files::create(file + ".new", text));
  fs::rename(file + ".new", file);
  UsageScanner third;
  third.store(now, IndexStore::open(support));
  third.refresh(paths, now, noLimit);
  EXPECT_EQ(third.buckets(), uninterrupted.buckets());
}

TEST(UsageScanner, AStoreOfAnotherFormatIsCountedAgainFromScratch) {
  TempDir home;
  const ClaudePaths paths = home.claudePaths();
  home.write(session, reply(at(12, 1, 0), {.id = "msg_1"}));
  const std::string path = home / "support/index.sqlite";
  {
    auto store = IndexStore::open(path);
    ASSERT_TRUE(store);
    // Rows of an earlier format: an offset past the reply, and a bucket of its own.
    store->saveUsage({{home / session, {100000, {"msg_1"}}}, {":usage-version", {1, {}}}},
                     {{key(0), {5, 5, 5, 5, 5, 0}}}, {}, {}, 0);
  }
  UsageScanner scanner;
  scanner.store(now, IndexStore::open(path));
  EXPECT_TRUE(scanner.buckets().empty());
  scanner.refresh(paths, now, noLimit);
  EXPECT_EQ(total(scanner.buckets()), (Counts{10, 20, 30, 40, 1, 0}));

  const auto store = IndexStore::open(path);
  EXPECT_EQ(store->usageBuckets(0), scanner.buckets());
  const auto offsets = store->offsets("usage");
  EXPECT_EQ(offsets.at(":usage-version").offset, UsageScanner::formatVersion);
  EXPECT_EQ(offsets.at(home / session).ids, std::vector<std::string>{"msg_1"});
}

TEST(UsageScanner, NamesProjectsAfterTheirMainCheckout) {
  TempDir home;
  const std::string main = home / "src/shop";
  fs::create_directories(main + "/.git/worktrees/fix-cart");
  fs::create_directories(main + "/server/api");
  // A linked worktree elsewhere names its main checkout in its .git file.
  home.write("elsewhere/cart-fix/.git", "gitdir: " + main + "/.git/worktrees/fix-cart\n");
  home.write("src/plain/.git", "gitdir: ../.git/modules/plain\n");

  EXPECT_EQ(UsageScanner::projectCandidates("/home/u/src/shop/.claude/worktrees/x"),
            (std::vector<std::string>{"/home/u/src/shop", "/home/u/src/shop/.claude/worktrees/x"}));
  EXPECT_EQ(UsageScanner::projectCandidates("/home/u/shop/.worktrees/y/src"),
            (std::vector<std::string>{"/home/u/shop", "/home/u/shop/.worktrees/y/src"}));
  EXPECT_EQ(UsageScanner::projectCandidates("/srv/app"), (std::vector<std::string>{"/srv/app"}));

  EXPECT_EQ(UsageScanner::projectOf(main + "/server/api"), "shop");
  EXPECT_EQ(UsageScanner::projectOf(home / "elsewhere/cart-fix"), "shop");
  EXPECT_EQ(UsageScanner::projectOf(home / "src/plain"), "plain");
  // A worktree folder that is gone still counts for its main project.
  EXPECT_EQ(UsageScanner::projectOf(main + "/.claude/worktrees/gone-now"), "shop");
  EXPECT_EQ(UsageScanner::projectOf("/nowhere/at/all/"), "all");
  EXPECT_EQ(UsageScanner::projectOf("unknown"), "unknown");

  // The scanner names each folder its replies were made in, and keeps the names.
  const ClaudePaths paths = home.claudePaths();
  home.write(session, reply(at(12, 1, 0), {.cwd = main + "/server/api"}));
  UsageScanner scanner;
  scanner.store(now, IndexStore::open(home / "support/index.sqlite"));
  scanner.refresh(paths, now, noLimit);
  const std::unordered_map<std::string, std::string> names{{main + "/server/api", "shop"}};
  EXPECT_EQ(scanner.projectNames(), names);
  EXPECT_EQ(IndexStore::open(home / "support/index.sqlite")->projectNames(), names);
}

TEST(UsageScanner, ReadersSeeConsistentTotalsWhileRefreshesRun) {
  TempDir home;
  const ClaudePaths paths = home.claudePaths();
  const std::string file = home.write(session, "");
  UsageScanner scanner;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      const Counts sum = total(scanner.buckets());
      // Every reply adds 1 input and 2 output tokens.
      EXPECT_EQ(sum[1], 2 * sum[0]);
      scanner.projectNames();
      scanner.hasRead();
    }
  });
  for (int i = 0; i < 50; ++i) {
    const std::string id = "msg_" + std::to_string(i);
    append(file, reply(at(12, i % 60, 0), {.id = id, .input = 1, .output = 2}));
    scanner.refresh(paths, now, noLimit);
  }
  done = true;
  reader.join();
  EXPECT_EQ(total(scanner.buckets())[4], 50);
}

}  // namespace
}  // namespace tessel
