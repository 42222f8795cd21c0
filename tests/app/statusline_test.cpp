#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "monitor/plugin_writers.h"
#include "support/processes.h"
#include "support/temp_dir.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct Home {
  test::TempDir dir;
  ClaudePaths paths{dir.path(), dir / ".claude", dir / "Library/Application Support/Claude",
                    dir / "Library/Application Support/Tessel"};

  test::Finished statusLine(const std::string& input) const {
    return test::runProgram(TESSEL_BINARY, {"statusline"}, input,
                            {{"HOME", dir.path()},
                             {"CLAUDE_CONFIG_DIR", paths.configDir},
                             {"CODEX_HOME", dir / ".codex"}});
  }
  std::optional<PluginWriters::Record> writer(const std::string& sessionId) const {
    return PluginWriters::parse(
        test::readFile(PluginWriters::dir(paths) + "/" + sessionId + ".json"));
  }
};

// What Claude Code hands its status-line command after a message; `rateLimits` only on
// a subscription plan.
std::string statusInput(const std::string& sessionId, std::optional<json> rateLimits) {
  json input = json::parse(R"json({
    "hook_event_name": "Status",
    "transcript_path": "/home/dev/.claude/projects/-src-app/x.jsonl",
    "cwd": "/src/app",
    "version": "2.0.14",
    "model": {"id": "claude-opus-4-1", "display_name": "Opus"},
    "workspace": {"current_dir": "/src/app", "project_dir": "/src/app"},
    "output_style": {"name": "default"},
    "exceeds_200k_tokens": false,
    "cost": {"total_cost_usd": 1.234, "total_duration_ms": 45000, "total_api_duration_ms": 2300,
             "total_lines_added": 156, "total_lines_removed": 23},
    "context_window": {"context_window_size": 200000, "used_percentage": 37.2,
                       "remaining_percentage": 62.8}
  })json");
  input["session_id"] = sessionId;
  if (rateLimits) input["rate_limits"] = *rateLimits;
  return input.dump();
}

bool isOneLine(const std::string& out) {
  return !out.empty() && out.back() == '\n' && out.find('\n') == out.size() - 1;
}

TEST(StatusLineCommand, CapturesThePlanReadingAndWritesTheSessionsWriterRecord) {
  Home home;
  const double inAnHour = std::floor(static_cast<double>(std::time(nullptr)) / 60) * 60 + 3600;
  const json limits = {
      {"five_hour", {{"used_percentage", 42}, {"resets_at", inAnHour}}},
      {"seven_day", {{"used_percentage", 18.4}, {"resets_at", inAnHour + 86400 * 3}}}};
  const double before = static_cast<double>(std::time(nullptr));
  const auto result = home.statusLine(statusInput("5b1e7c2a-0001", limits));
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
  ASSERT_TRUE(isOneLine(result.out)) << result.out;
  for (const char* part : {"5h 42% (resets ", "week 18% (resets ", "$1.23", "context 37%"}) {
    EXPECT_NE(result.out.find(part), std::string::npos) << part << "\n" << result.out;
  }

  const json state = json::parse(test::readFile(home.paths.connectorFile()));
  EXPECT_EQ(state["rateLimits"][0],
            json({{"kind", "five_hour"}, {"percentUsed", 42}, {"resetsAt", inAnHour}}));
  const auto writer = home.writer("5b1e7c2a-0001");
  ASSERT_TRUE(writer);
  EXPECT_EQ(writer->version, "2.0.14");
  EXPECT_EQ(writer->cwd, "/src/app");
  EXPECT_GE(writer->t.secondsSince1970(), before - 1);

  // Another session on an API key has no limits of its own: it shows the captured reading
  // and leaves it as it was.
  const std::string captured = test::readFile(home.paths.connectorFile());
  const auto other = home.statusLine(statusInput("5b1e7c2a-0002", std::nullopt));
  EXPECT_EQ(other.exitStatus, 0);
  ASSERT_TRUE(isOneLine(other.out)) << other.out;
  EXPECT_EQ(other.out.rfind("5h 42%", 0), 0u) << other.out;
  EXPECT_EQ(test::readFile(home.paths.connectorFile()), captured);
  EXPECT_TRUE(home.writer("5b1e7c2a-0002"));
}

TEST(StatusLineCommand, AnswersBadInputWithOneShortLineAndWritesNothing) {
  Home home;
  for (const std::string& input : {std::string(), std::string("{\"session_id\": \"a\", \"cost\""),
                                   std::string("[1, 2]"), std::string(3 << 20, '{')}) {
    const auto result = home.statusLine(input);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(isOneLine(result.out)) << result.out;
    EXPECT_LT(result.out.size(), 60u);
  }
  // Nothing to show and nothing kept: a session before its first reply, with no reading yet.
  const auto bare = home.statusLine(R"({"session_id": "../../escape"})");
  EXPECT_EQ(bare.exitStatus, 0);
  EXPECT_TRUE(isOneLine(bare.out)) << bare.out;
  EXPECT_FALSE(fs::exists(home.paths.supportDir + "/connector/state.json"));
  EXPECT_FALSE(fs::exists(home.dir / "escape.json"));
}

}  // namespace
}  // namespace tessel
