// Other programs' files arrive damaged: cut mid-line, bytes flipped, invalid UTF-8. No
// reader may crash or throw on them (the sanitizer builds run these too), and what still
// reads must make sense.
#include <gtest/gtest.h>

#include <random>

#include "claude/desktop_session_store.h"
#include "claude/history_session.h"
#include "claude/live_session.h"
#include "claude/transcript.h"
#include "support/damage.h"
#include "support/temp_dir.h"
#include "support/transcript_lines.h"
#include "util/calendar.h"

namespace tessel {
namespace {

const Date now(Calendar::utcSeconds(2026, 12, 5, 20, 0, 0));

TEST(DamagedInput, TranscriptLines) {
  const std::string text =
      test::toolUseLine(now, "toolu_a", "Bash",
                        R"({"command":"git status \u00e9\n","run_in_background":true})") +
      test::toolUseLine(now + 1, "toolu_b", "Edit", R"({"file_path":"/w/a.ts","old_string":"x"})") +
      test::toolResultLine(now + 2, "toolu_a", R"(,"is_error":true)") +
      R"({"type":"custom-title","customTitle":"T","sessionId":"s"})"
      "\n"
      R"({"type":"ai-title","aiTitle":"A"})"
      "\n"
      R"({"type":"last-prompt","lastPrompt":"p"})"
      "\n"
      R"({"type":"user","message":{"role":"user","content":[{"type":"text","text":"hi"}]},"cwd":"/w","entrypoint":"cli","timestamp":"2026-12-05T20:00:00.000Z"})"
      "\n";
  std::mt19937 random(61205);
  for (int round = 0; round < 5000; ++round) {
    const std::string input = test::damaged(text, random);
    for (const bool onlyCommands : {false, true}) {
      for (const auto& event : Transcript::events(input, "hint", onlyCommands)) {
        ASSERT_FALSE(event.id.empty()) << input;
        if (onlyCommands) {
          ASSERT_EQ(event.tool, "Bash") << input;
        }
      }
    }
    std::vector<Transcript::Result> results;
    Transcript::events(
        input, std::nullopt, true, [](std::string_view) { return true; }, results);
    for (const auto& result : results) ASSERT_FALSE(result.toolUseId.empty()) << input;
    Transcript::lastModel(input);
    HistorySession session{.id = "s"};
    session.scan(input);
    if (session.customTitle) {
      ASSERT_FALSE(session.customTitle->empty()) << input;
    }
    if (session.model) {
      ASSERT_NE(*session.model, "<synthetic>") << input;
    }
  }
}

TEST(DamagedInput, SessionFiles) {
  const std::string live =
      R"({"pid":4242,"sessionId":"8d0c7b3e","cwd":"/w","startedAt":1764961200000,"version":"2.1.3",)"
      R"("kind":"interactive","entrypoint":"claude-desktop","name":"shop","nameSource":"derived",)"
      R"("status":"waiting","waitingFor":"permission prompt","updatedAt":1764961260000,)"
      R"("hostSessionId":"local_1"})";
  const std::string desktop =
      R"({"cliSessionId":"8d0c7b3e","sessionId":"local_1","title":"Fix it","cwd":"/w",)"
      R"("model":"claude-sonnet-4","createdAt":1764961200000,"lastActivityAt":1764961260000,)"
      R"("isArchived":false})";
  test::TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  std::mt19937 random(71205);
  DesktopSessionStore store;
  for (int round = 0; round < 200; ++round) {
    const std::string path = dir.write("config/sessions/4242.json", test::damaged(live, random));
    if (const auto session = LiveSession::read(path, "4242.json")) {
      ASSERT_FALSE(session->sessionId.empty());
    }
    dir.write("app/claude-code-sessions/u/o/local_" + std::to_string(round % 7) + ".json",
              test::damaged(desktop, random));
    for (const auto& record : store.load(paths)) ASSERT_FALSE(record.id.empty());
  }
}

}  // namespace
}  // namespace tessel
