// The work tessel-hook does per event, without process start-up: turning hook input
// into a record and the record into its log line, and summarising tool inputs.
#include <benchmark/benchmark.h>

#include "hook/hook_record.h"
#include "model/tool_event.h"
#include "util/json_reader.h"

namespace tessel {
namespace {

std::string preToolUse() {
  return R"({"session_id":"8d0c7b3e-61a4-4f6e-9a0b-2f8e4c1d7a55",)"
         R"("transcript_path":"/home/dev/.claude/projects/-home-dev-src-shop/8d0c7b3e-61a4-4f6e-9a0b-2f8e4c1d7a55.jsonl",)"
         R"("cwd":"/home/dev/src/shop","permission_mode":"acceptEdits","hook_event_name":"PreToolUse",)"
         R"("tool_name":"Bash","tool_input":{"command":"cd /home/dev/src/shop && npm run test -- --coverage --reporter=dot 2>&1 | tail -n 40",)"
         R"("description":"Run the unit tests with coverage","timeout":600000},)"
         R"("tool_use_id":"toolu_01HXq3v9Lk2mB7cN4pR8sT6w"})";
}

std::string postToolUse(size_t outputBytes) {
  std::string stdoutText;
  stdoutText.reserve(outputBytes + outputBytes / 40);
  while (stdoutText.size() < outputBytes) stdoutText += "PASS src/cart/total.test.ts (12 ms)\\n";
  return R"({"session_id":"8d0c7b3e-61a4-4f6e-9a0b-2f8e4c1d7a55","cwd":"/home/dev/src/shop",)"
         R"("hook_event_name":"PostToolUse","tool_name":"Bash","tool_input":{"command":"npm test"},)"
         R"("tool_response":{"stdout":")" +
         stdoutText +
         R"(","stderr":"","interrupted":false,"isImage":false},"tool_use_id":"toolu_01HXq3v9Lk2mB7cN4pR8sT6w"})";
}

void fromAndEncode(benchmark::State& state, const std::string& input) {
  std::string buffer = input;
  const auto json = Json::padInPlace(buffer);
  for (auto _ : state) {
    auto record = HookRecord::fromHookInput(json, Date(1741341600.0), 4242);
    auto line = record->encode();
    benchmark::DoNotOptimize(line);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

void BM_HookRecordFromAndEncode_PreToolUse(benchmark::State& state) {
  fromAndEncode(state, preToolUse());
}
void BM_HookRecordFromAndEncode_PostToolUse1MB(benchmark::State& state) {
  fromAndEncode(state, postToolUse(1 << 20));
}

void BM_ToolEventSummarize(benchmark::State& state) {
  const std::string command = "cd /home/dev/src/shop && npm run test -- --coverage\nsecond line";
  const std::string file = "/home/dev/src/shop/src/cart/total.ts";
  ToolInput bash;
  bash.set("command", command);
  bash.set("description", "Run the unit tests");
  ToolInput edit;
  edit.set("file_path", file);
  ToolInput mcp;
  mcp.set("title", "Fix the cart total rounding");
  for (auto _ : state) {
    benchmark::DoNotOptimize(ToolEvent::summarize("Bash", bash));
    benchmark::DoNotOptimize(ToolEvent::summarize("Edit", edit));
    benchmark::DoNotOptimize(ToolEvent::summarize("mcp__tracker__create_issue", mcp));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 3));
}

BENCHMARK(BM_HookRecordFromAndEncode_PreToolUse);
BENCHMARK(BM_HookRecordFromAndEncode_PostToolUse1MB);
BENCHMARK(BM_ToolEventSummarize);

}  // namespace
}  // namespace tessel
