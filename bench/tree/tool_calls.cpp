// Calls that run commands or reach outside the project: Bash and its background shells,
// the todo list, the web and MCP servers.
#include "tree/tool_calls.h"

#include <string>
#include <vector>

#include "support/transcript_format.h"
#include "tree/text.h"

namespace tessel::bench {

void ToolCalls::make(ToolCall& call, Budget budget, int64_t nowMs) {
  if (!background_.empty() && random_.chance(0.3)) return bashOutput(call, budget, nowMs);
  const double u = random_.unit() * 100;
  if (u < 40) return bash(call, budget);
  if (u < 59) return read(call, budget);
  if (u < 71) return edit(call, budget, false);
  if (u < 72) return edit(call, budget, true);
  if (u < 79) return grep(call, budget);
  if (u < 83) return glob(call, budget);
  if (u < 87) return write(call, budget);
  if (u < 92) return todoWrite(call);
  if (u < 94) return webFetch(call, budget);
  if (u < 95) return webSearch(call, budget);
  return mcp(call, budget);
}

void ToolCalls::bash(ToolCall& call, Budget budget) {
  enum Kind { test, build, git, listing, search, misc };
  struct Command {
    Kind kind;
    const char* command;
    const char* description;
  };
  static const Command commands[] = {
      {test, "npm test", "Run the test suite"},
      {test, "npm run test -- --run src/@n", "Run the @n tests"},
      {test, "pytest -q tests/test_@s.py", "Run the @n tests"},
      {test, "cargo test @s 2>&1 | tail -40", "Run the @n tests"},
      {test, "go test ./internal/@n/...", "Run the Go tests for @n"},
      {test, "ctest --test-dir build --output-on-failure -R @T", "Run the @T tests"},
      {build, "npm run build", "Build the project"},
      {build, "cargo build --release 2>&1 | tail -50", "Build in release mode"},
      {build, "cmake --build build -j2 2>&1 | tail -30", "Build with CMake"},
      {build, "make -j4", "Build"},
      {build, "npx tsc --noEmit", "Type-check the project"},
      {git, "git status", "Show working tree status"},
      {git, "git diff --stat", "Show changed files"},
      {git, "git diff src/@n/@s.@e", "Show the diff of @s"},
      {git, "git log --oneline -20", "Show recent commits"},
      {git,
       "git add -A && git commit -m \"$(cat <<'EOF'\n@A the @a @n\n\nThe @n was @d twice; "
       "now once.\nEOF\n)\"",
       "Commit the @n fix"},
      {listing, "ls -la src/@n", "List the @n folder"},
      {listing, "find . -name '*.@e' -not -path './node_modules/*' | head -50",
       "Find source files"},
      {listing, "wc -l src/@n/*.@e", "Count lines"},
      {search, "grep -rn \"@f\" src/ | head -30", "Find uses of @f"},
      {search, "rg -n '@s\\(' --type @e", "Search for @s calls"},
      {misc, "cat package.json", "Show package.json"},
      {misc, "docker ps", "List running containers"},
      {misc, "curl -s localhost:8080/health", "Check the server"},
      {misc, "python3 -c \"import json,sys; print(json.load(open('@n.json'))['@n'])\"",
       "Read a config value"},
      {misc, "mkdir -p build && cd build && cmake .. -G Ninja", "Configure the build"},
      {misc, "echo $PATH | tr ':' '\\n'", "Show PATH entries"},
  };
  const Command& chosen = random_.pick(commands);
  call.name = "Bash";
  call.input = "{\"command\":";
  appendQuoted(call.input, escaped(fill(chosen.command, random_)));
  call.input += ",\"description\":";
  appendQuoted(call.input, escaped(fill(chosen.description, random_)));
  if (random_.chance(0.12))
    call.input += random_.chance(0.5) ? ",\"timeout\":120000" : ",\"timeout\":600000";
  const bool longRunning = chosen.kind == test || chosen.kind == build || chosen.kind == misc;
  if (longRunning && random_.chance(0.1)) {
    const std::string task = "bash_" + std::to_string(++backgroundCount_);
    call.input += ",\"run_in_background\":true}";
    call.content = "\"Command running in background with ID: " + task + "\"";
    call.result =
        "{\"stdout\":\"\",\"stderr\":\"\",\"interrupted\":false,\"isImage\":false,"
        "\"backgroundTaskId\":\"" +
        task + "\"}";
    call.durationMs = random_.between(20, 300);
    background_.push_back(task);
    return;
  }
  call.input += '}';
  call.durationMs = static_cast<int64_t>(longRunning ? random_.logUniform(800, 180000)
                                                     : random_.logUniform(10, 2000));
  const std::vector<std::string>* pool = &pools_.misc;
  switch (chosen.kind) {
    case test:
      pool = &pools_.test;
      break;
    case build:
      pool = &pools_.build;
      break;
    case git:
      pool = random_.chance(0.5) ? &pools_.code[project_.language] : &pools_.git;
      break;
    case listing:
      pool = &pools_.listing;
      break;
    case search:
      pool = &pools_.code[project_.language];
      break;
    case misc:
      break;
  }
  if (random_.chance(0.08)) {
    const int64_t code = random_.chance(0.8) ? 1 : random_.between(2, 127);
    std::string text = "Exit code " + std::to_string(code) + "\\n";
    appendLines(text, pools_.errors, budget.cap(random_.logUniform(60, 6000)), random_);
    call.content = "\"" + text + "\"";
    call.result = "\"Error: " + text + "\"";
    call.isError = true;
    return;
  }
  // Output sizes: a quarter nearly empty, most a few KB, a few tens of KB.
  const double u = random_.unit();
  const double size = u < 0.25   ? random_.logUniform(2, 80)
                      : u < 0.70 ? random_.logUniform(100, 3000)
                      : u < 0.95 ? random_.logUniform(3000, 20000)
                                 : random_.logUniform(20000, 60000);
  std::string output;
  appendLines(output, *pool, budget.cap(size), random_);
  call.content.clear();
  appendQuoted(call.content, output);
  call.result = "{\"stdout\":";
  appendQuoted(call.result, output);
  call.result += ",\"stderr\":\"\",\"interrupted\":false,\"isImage\":false";
  if (random_.chance(0.3)) call.result += ",\"noOutputExpected\":false";
  call.result += '}';
}

void ToolCalls::bashOutput(ToolCall& call, Budget budget, int64_t nowMs) {
  const std::string task = background_.front();
  background_.erase(background_.begin());
  call.name = "BashOutput";
  call.input = "{\"bash_id\":\"" + task + "\"}";
  call.durationMs = random_.between(5, 60);
  std::string output;
  appendLines(output, pools_.test, budget.cap(random_.logUniform(200, 12000)), random_);
  std::string finished;
  TranscriptFormat::appendTimestamp(finished, nowMs);
  call.content = "\"<status>completed</status>\\n\\n<exit_code>0</exit_code>\\n\\n<stdout>\\n" +
                 output + "\\n</stdout>\\n\\n<timestamp>" + finished + "</timestamp>\"";
  call.result = "{\"shellId\":\"" + task +
                "\",\"status\":\"completed\",\"exitCode\":0,\"stdout\":\"" + output +
                "\",\"stderr\":\"\",\"timestamp\":\"" + finished + "\"}";
}

void ToolCalls::todoWrite(ToolCall& call) {
  const int64_t count = random_.between(3, 8);
  std::string todos = "[";
  for (int64_t i = 0; i < count; ++i) {
    if (i > 0) todos += ',';
    const std::string task = escaped(fill("@A the @a @n in @s", random_));
    const double u = random_.unit();
    todos += "{\"content\":\"" + task + "\",\"status\":\"" +
             (u < 0.4   ? "completed"
              : u < 0.6 ? "in_progress"
                        : "pending") +
             "\",\"activeForm\":\"" + task + "\"}";
  }
  todos += ']';
  call.name = "TodoWrite";
  call.input = "{\"todos\":" + todos + "}";
  call.durationMs = random_.between(2, 20);
  call.content =
      "\"Todos have been modified successfully. Ensure that you continue to use the todo list "
      "to track your progress. Please proceed with the current tasks if applicable\"";
  call.result = "{\"oldTodos\":" + todos + ",\"newTodos\":" + todos + "}";
}

void ToolCalls::webFetch(ToolCall& call, Budget budget) {
  const std::string url = fill("https://docs.@n.dev/guide/@v-@n", random_);
  call.name = "WebFetch";
  call.input = "{\"url\":\"" + url + "\",\"prompt\":\"" +
               escaped(fill("How do I @v a @n with the @n API?", random_)) + "\"}";
  call.durationMs = static_cast<int64_t>(random_.logUniform(300, 15000));
  if (random_.chance(0.1)) {
    call.content = "\"Request failed with status code 404\"";
    call.result = "\"Error: Request failed with status code 404\"";
    call.isError = true;
    return;
  }
  std::string text;
  appendProse(text, pools_, budget.cap(random_.logUniform(800, 10000)), random_);
  call.content = "\"" + text + "\"";
  call.result = "{\"bytes\":" + std::to_string(text.size() * 6) +
                ",\"code\":200,\"codeText\":\"OK\",\"result\":\"" + text +
                "\",\"durationMs\":" + std::to_string(call.durationMs) + ",\"url\":\"" + url +
                "\"}";
}

void ToolCalls::webSearch(ToolCall& call, Budget budget) {
  const std::string query = escaped(fill("@n @n @v error 2026", random_));
  call.name = "WebSearch";
  call.input = "{\"query\":\"" + query + "\"}";
  call.durationMs = static_cast<int64_t>(random_.logUniform(2000, 12000));
  std::string links = "[";
  for (int i = 0; i < 8; ++i) {
    if (i > 0) links += ',';
    links += "{\"title\":\"" + escaped(fill("@A @n in @T", random_)) + "\",\"url\":\"" +
             fill("https://stackoverflow.com/questions/@N/@v-@n", random_) + "\"}";
  }
  links += ']';
  std::string summary;
  appendProse(summary, pools_, budget.cap(random_.logUniform(500, 4000)), random_);
  call.content = "\"Web search results for query: \\\"" + query +
                 "\\\"\\n\\nLinks: " + escaped(links) + "\\n\\n" + summary + "\"";
  call.result = "{\"query\":\"" + query + "\",\"results\":[{\"tool_use_id\":\"srvtoolu_01" +
                randomChars(random_, kBase62, 22) + "\",\"content\":" + links + "},\"" + summary +
                "\"],\"durationSeconds\":" + std::to_string(call.durationMs / 1000) + "}";
}

void ToolCalls::mcp(ToolCall& call, Budget budget) {
  static const char* const tools[] = {"mcp__github__create_issue",
                                      "mcp__github__get_pull_request",
                                      "mcp__linear__list_issues",
                                      "mcp__linear__update_issue",
                                      "mcp__playwright__browser_snapshot",
                                      "mcp__sentry__get_issue_details",
                                      "mcp__postgres__query",
                                      "mcp__context7__get-library-docs"};
  call.name = random_.pick(tools);
  call.input = "{\"" + fill("@n", random_) + "\":\"" + escaped(fill("@a @n", random_)) +
               "\",\"limit\":" + std::to_string(random_.between(5, 50)) + "}";
  call.durationMs = static_cast<int64_t>(random_.logUniform(100, 8000));
  std::string text = "{\\\"items\\\":[";
  const size_t size = budget.cap(random_.logUniform(200, 15000));
  bool first = true;
  while (text.size() < size) {
    if (!first) text += ',';
    first = false;
    text += "{\\\"id\\\":" + std::to_string(random_.between(1, 99999)) + ",\\\"title\\\":\\\"" +
            escaped(escaped(fill("@A @a @n", random_))) + "\\\",\\\"state\\\":\\\"open\\\"}";
  }
  text += "]}";
  call.content = "[{\"type\":\"text\",\"text\":\"" + text + "\"}]";
  call.result = call.content;
  if (random_.chance(0.02)) {
    call.content = "\"MCP error -32603: " + escaped(fill("@n not found", random_)) + "\"";
    call.result = "\"Error: " + call.content.substr(1);
    call.isError = true;
  }
}

}  // namespace tessel::bench
