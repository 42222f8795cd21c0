#include "model/tool_event.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/user.h"

namespace tessel {
namespace {

ToolInput input(std::initializer_list<std::pair<std::string_view, std::string_view>> members) {
  ToolInput built;
  for (const auto& [key, value] : members) built.set(key, value);
  return built;
}

std::string summary(std::string_view tool, const ToolInput& in) {
  return ToolEvent::summarize(tool, in).summary;
}

TEST(ToolEvent, SummarisesEachToolFamily) {
  EXPECT_EQ(summary("Bash", input({{"command", "npm test"}})), "npm test");
  EXPECT_EQ(summary("Bash", input({{"command", ""}})), "command");
  EXPECT_EQ(summary("Glob", input({})), "files");
  EXPECT_EQ(summary("Glob", input({{"pattern", "**/*.ts"}})), "**/*.ts");
  EXPECT_EQ(summary("Grep", input({{"pattern", "TODO"}, {"path", "/srv/app"}})),
            "TODO in /srv/app");
  EXPECT_EQ(summary("Grep", input({})), "");
  EXPECT_EQ(summary("Agent", input({{"subagent_type", "Explore"}, {"description", "Find tests"}})),
            "Explore: Find tests");
  EXPECT_EQ(summary("Task", input({{"description", "Find tests"}})), "Find tests");
  EXPECT_EQ(summary("WebFetch", input({})), "page");
  EXPECT_EQ(summary("WebSearch", input({{"query", "simdjson ondemand"}})), "simdjson ondemand");
  EXPECT_EQ(summary("Skill", input({})), "skill");
  EXPECT_EQ(summary("Monitor", input({{"command", "tail -f log"}})), "tail -f log");
  EXPECT_EQ(summary("Monitor", input({})), "watching");
  EXPECT_EQ(summary("Write", input({})), "Write");
  // Other tools take the first present of a fixed list of keys, in the list's order.
  EXPECT_EQ(summary("mcp__tracker__create_issue", input({{"name", "n"}, {"title", "Fix login"}})),
            "Fix login");
  EXPECT_EQ(summary("TodoWrite", input({})), "");
  // Tool names compare exactly.
  EXPECT_EQ(summary("bash", input({{"command", "ls"}})), "ls");
  EXPECT_EQ(summary("bash", input({})), "");
}

TEST(ToolEvent, AbbreviatesTheUsersHomeButKeepsTheFullFilePath) {
  const std::string& home = platform::userHomeDirectory();
  ASSERT_FALSE(home.empty());
  const auto read = ToolEvent::summarize("Read", input({{"file_path", home + "/notes.md"}}));
  EXPECT_EQ(read.summary, "~/notes.md");
  EXPECT_EQ(read.file, home + "/notes.md");

  const auto notebook =
      ToolEvent::summarize("NotebookEdit", input({{"notebook_path", "/srv/a.ipynb"}}));
  EXPECT_EQ(notebook.summary, "/srv/a.ipynb");
  EXPECT_EQ(notebook.file, "/srv/a.ipynb");
  EXPECT_EQ(ToolEvent::summarize("Bash", input({{"command", "ls"}})).file, std::nullopt);

  EXPECT_EQ(summary("Grep", input({{"path", home + "/src"}})), "in ~/src");
}

TEST(ToolEvent, SummaryIsTheFirstNonEmptyLineCutAt400CodePoints) {
  EXPECT_EQ(summary("Bash", input({{"command", "\n\ncd app\nmake"}})), "cd app");
  const std::string longCommand(1000, 'x');
  EXPECT_EQ(summary("Bash", input({{"command", longCommand}})), std::string(400, 'x'));
  // 399 ASCII characters then a three-byte character: all 400 code points stay whole.
  const std::string tick = "\xE2\x9C\x93";
  const std::string mixed = std::string(399, 'a') + tick + tick;
  EXPECT_EQ(summary("Bash", input({{"command", mixed}})), std::string(399, 'a') + tick);
}

TEST(ToolEvent, PrettyToolNames) {
  EXPECT_EQ(ToolEvent::prettyTool("Bash"), "Bash");
  EXPECT_EQ(ToolEvent::prettyTool("mcp__tracker__create_issue"), "tracker \u00B7 create_issue");
  EXPECT_EQ(ToolEvent::prettyTool("mcp__a__b__c"), "a \u00B7 b \u00B7 c");
  EXPECT_EQ(ToolEvent::prettyTool("mcp_tracker"), "mcp_tracker");
}

TEST(ToolEvent, JsonFormRoundTripsAndRejectsWrongTypes) {
  ToolEvent event{"toolu_1", "s1", "Edit", "~/a.txt", Date(1741341600.5)};
  event.end = Date(1741341601.25);
  event.isError = true;
  event.filePath = "/home/u/a.txt";
  event.source = ToolEvent::Source::hook;
  const nlohmann::json json = toJson(event);
  EXPECT_EQ(json["source"], "hook");
  EXPECT_EQ(json["start"], 1741341600.5 - 978307200.0);
  EXPECT_FALSE(json.contains("cwd"));
  EXPECT_EQ(toolEventFromJson(json), event);

  ToolEvent open{"toolu_2", "s1", "Bash", "ls", Date(5)};
  EXPECT_EQ(toolEventFromJson(toJson(open)), open);

  for (const auto& [key, bad] :
       std::vector<std::pair<std::string, nlohmann::json>>{{"source", "transcript"},
                                                           {"start", "yesterday"},
                                                           {"isError", 1},
                                                           {"end", "soon"},
                                                           {"cwd", 3}}) {
    nlohmann::json broken = json;
    broken[key] = bad;
    EXPECT_EQ(toolEventFromJson(broken), std::nullopt) << key;
  }
  nlohmann::json missing = json;
  missing.erase("summary");
  EXPECT_EQ(toolEventFromJson(missing), std::nullopt);
}

}  // namespace
}  // namespace tessel
