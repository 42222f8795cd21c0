#include "usage/status_line.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "support/temp_dir.h"
#include "support/time_zone.h"
#include "util/files.h"

namespace tessel {
namespace {

using nlohmann::json;

// 2026-12-08T09:00:00Z
constexpr double nine = 1796720400;

// What Claude Code passes a status-line command, with the two windows of a subscription.
std::string statusInput(const std::string& session, double fiveHour, double weekly) {
  return json{{"hook_event_name", "Status"},
              {"session_id", session},
              {"transcript_path", "/home/u/.claude/projects/-w-a/" + session + ".jsonl"},
              {"cwd", "/w/a"},
              {"model", {{"id", "claude-opus-4-5-20251101"}, {"display_name", "Opus 4.5"}}},
              {"version", "2.1.331"},
              {"cost", {{"total_cost_usd", 1.2345}, {"total_duration_ms", 45000}}},
              {"context_window", {{"context_window_size", 200000}, {"used_percentage", 37.4}}},
              {"rate_limits",
               {{"five_hour", {{"used_percentage", fiveHour}, {"resets_at", 1796725800}}},
                {"seven_day", {{"used_percentage", weekly}, {"resets_at", 1797152400}}}}}}
      .dump();
}

json stateFile(const ClaudePaths& paths) {
  return json::parse(test::readFile(paths.connectorFile()), nullptr, false);
}

TEST(StatusLine, CapturesTheRateLimitsAndKeepsEverythingElseInTheFile) {
  test::TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  const auto input = StatusLine::parse(statusInput("s1", 42, 18));
  ASSERT_TRUE(input);
  EXPECT_EQ(input->sessionId, "s1");
  EXPECT_EQ(input->costUsd, 1.2345);
  EXPECT_EQ(input->contextPercent, 37.4);

  // No connector yet: the file and its folder are made.
  ASSERT_TRUE(StatusLine::capture(*input, paths, Date(nine)));
  EXPECT_EQ(stateFile(paths), json::parse(R"({"at": 1796720400000, "rateLimits": [
      {"kind": "five_hour", "percentUsed": 42, "resetsAt": 1796725800},
      {"kind": "seven_day", "percentUsed": 18, "resetsAt": 1797152400}]})"));
  const auto state = ConnectorState::load(paths.connectorFile(), Date(nine), false);
  ASSERT_TRUE(state && state->sessionPlan);
  EXPECT_EQ(state->sessionPlan->window("five_hour")->percentUsed, 42);
  EXPECT_EQ(state->sessionPlan->window("seven_day")->resetsAt, Date(1797152400));

  // The plugin's sections stay, and its app reading keeps the time it was taken.
  dir.write("support/connector/state.json", R"({"at": 1796720000000, "version": "0.4.1",
      "app": {"status": "ok", "text": "{}"}, "sessions": {"status": "ok", "text": "[]"}})");
  ASSERT_TRUE(StatusLine::capture(*input, paths, Date(nine)));
  json file = stateFile(paths);
  EXPECT_EQ(file["version"], "0.4.1");
  EXPECT_EQ(file["sessions"]["status"], "ok");
  EXPECT_EQ(file["app"]["at"], 1796720000000);
  EXPECT_EQ(file["at"], 1796720400000);
  EXPECT_EQ(file["rateLimits"].size(), 2u);

  // A reading older than the file's is dropped.
  const auto older = StatusLine::parse(statusInput("s2", 1, 1));
  EXPECT_FALSE(StatusLine::capture(*older, paths, Date(nine - 1)));
  EXPECT_EQ(stateFile(paths)["rateLimits"][0]["percentUsed"], 42);

  // Nothing to capture without a plan's windows, and a damaged file being written now is
  // left to its writer.
  const auto apiKey = StatusLine::parse(R"({"session_id": "s3", "cost": {"total_cost_usd": 2}})");
  ASSERT_TRUE(apiKey);
  EXPECT_FALSE(StatusLine::capture(*apiKey, paths, Date(nine + 60)));
  const std::string damaged = dir.write("support/connector/state.json", "{\"at\": 17");
  test::setModified(damaged, Date(nine + 58));
  EXPECT_FALSE(StatusLine::capture(*input, paths, Date(nine + 60)));
  EXPECT_EQ(test::readFile(damaged), "{\"at\": 17");
  test::setModified(damaged, Date(nine));
  EXPECT_TRUE(StatusLine::capture(*input, paths, Date(nine + 60)));
  EXPECT_EQ(stateFile(paths)["at"], 1796720460000);

  EXPECT_EQ(StatusLine::parse("[]"), std::nullopt);
  EXPECT_EQ(StatusLine::parse("{\"session_id\": "), std::nullopt);
  const auto odd = StatusLine::parse(
      R"({"rate_limits": {"five_hour": {"used_percentage": "42"}, "seven_day": 7}})");
  ASSERT_TRUE(odd);
  EXPECT_TRUE(odd->rateLimits.empty());
}

TEST(StatusLine, SessionsCapturingAtOnceKeepOneWholeFileWithTheLatestReading) {
  test::TempDir dir;
  const ClaudePaths paths = dir.claudePaths();
  dir.write("support/connector/state.json",
            R"({"at": 1, "version": "0.4.1", "self": {"sessionId": "p"}})");
  constexpr int processes = 4;
  constexpr int captures = 60;
  std::vector<pid_t> children;
  for (int child = 0; child < processes; ++child) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const auto input = StatusLine::parse(statusInput("s" + std::to_string(child), child, 1));
      for (int i = 0; input && i < captures; ++i) {
        // Interleaved clocks: every process's readings are the newest now and then.
        StatusLine::capture(*input, paths, Date(nine + i + child * 0.25));
      }
      _exit(input ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const json file = stateFile(paths);
  ASSERT_TRUE(file.is_object());
  EXPECT_EQ(file["version"], "0.4.1");
  EXPECT_EQ(file["self"]["sessionId"], "p");
  // The newest reading of all, from the last process at the last step.
  EXPECT_EQ(file["at"],
            static_cast<int64_t>((nine + captures - 1 + (processes - 1) * 0.25) * 1000));
  EXPECT_EQ(file["rateLimits"][0]["percentUsed"], processes - 1);
  // No process left a temporary file behind.
  EXPECT_EQ(Files::list(dir / "support/connector")->size(), 2u);  // the file and its lock
}

TEST(StatusLine, RendersTheWindowsCostAndContext) {
  test::ScopedTimeZone zone("UTC");
  const auto input = StatusLine::parse(statusInput("s1", 42.4, 18.6));
  ASSERT_TRUE(input);
  EXPECT_EQ(StatusLine::render(*input, std::nullopt, Date(nine), "working"),
            "working · 5h 42% (resets 10:30) · week 19% (resets Sun 09:00) · $1.23 · context 37%");
  // After a window's reset its old reading no longer holds.
  EXPECT_EQ(StatusLine::render(*input, std::nullopt, Date(1796725800)),
            "5h 0% · week 19% (resets Sun 09:00) · $1.23 · context 37%");

  // Without rate limits in the input, the connector's plan fills in.
  const auto apiKey = StatusLine::parse(R"({"session_id": "s3"})");
  ASSERT_TRUE(apiKey);
  EXPECT_EQ(StatusLine::render(*apiKey, std::nullopt, Date(nine)), "");
  ConnectorState state;
  state.appPlan = Plan{.source = Plan::Source::app,
                       .windows = {{"seven_day", "Weekly · all models", 30, std::nullopt}},
                       .at = Date(nine - 60)};
  EXPECT_EQ(StatusLine::render(*apiKey, state, Date(nine), "idle"), "idle · week 30%");
}

}  // namespace
}  // namespace tessel
