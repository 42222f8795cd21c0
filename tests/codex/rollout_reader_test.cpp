#include "codex/rollout_reader.h"

#include <gtest/gtest.h>

#include <map>

#include "codex/code_cell.h"
#include "support/codex_lines.h"
#include "util/calendar.h"

namespace tessel {
namespace {

namespace codex = test::codex;

constexpr const char* sessionId = "019af0c2-5b1e-7c3a-9d4f-2e8b6a1c0d93";

Date at(int hour, int minute, double second) {
  return Date(Calendar::utcSeconds(2026, 12, 5, hour, minute, second));
}

CodexIndex::Reader readAll(const std::string& text) {
  CodexIndex::Reader reader(CodexSession{.id = sessionId, .path = "/r.jsonl"});
  reader.read(text, true);
  return reader;
}

// The reader's calls with their endings applied, as the index does.
std::map<std::string, ToolEvent> calls(const CodexIndex::Reader& reader) {
  std::map<std::string, ToolEvent> events(reader.commands.begin(), reader.commands.end());
  for (auto& [id, event] : events) {
    const auto ended = reader.ended.find(id.substr(0, id.find('#')));
    if (ended == reader.ended.end()) continue;
    event.end = ended->second.end;
    event.isError = ended->second.isFailed;
  }
  return events;
}

IndexStore::Counts total(const IndexStore::Tally& buckets) {
  IndexStore::Counts sum{};
  for (const auto& [key, counts] : buckets) {
    for (size_t i = 0; i < sum.size(); ++i) sum[i] += counts[i];
  }
  return sum;
}

TEST(RolloutReader, ReadsACurrentSession) {
  const std::string limits =
      R"({"primary":{"used_percent":14.0,"window_minutes":300,"resets_at":1796501000},)"
      R"("secondary":{"used_percent":41.5,"window_minutes":10080,"resets_at":1796900000},)"
      R"("credits":{"has_credits":true,"unlimited":false,"balance":null},"plan_type":"plus"})";
  const std::string code =
      "const r = await tools.exec_command({cmd: 'cargo test -p core', workdir: "
      "'/home/u/p/core'});\n"
      "// tools.exec_command({cmd: 'in a comment'})\n"
      "await tools.exec_command({\"cmd\": \"git status\\n\"});\n"
      "await tools.apply_patch(`*** Begin Patch\n*** Update File: src/lib.rs\n@@\n-a\n+b\n"
      "*** Add File: src/new.rs\n+x\n*** Delete File: old.rs\n*** End Patch`);\n"
      "await tools.image_gen__imagegen({prompt: 'a tessellated logo'});";
  const std::string text =
      codex::meta("2026-12-05T18:20:41.093Z", sessionId, "/home/u/p") +
      codex::turnContext("2026-12-05T18:20:41.120Z", "gpt-5.1-codex-max", "/home/u/p") +
      codex::taskStarted("2026-12-05T18:20:42.000Z") +
      codex::tokenCount("2026-12-05T18:20:43.000Z", "null", limits) +
      codex::responseItem(
          "2026-12-05T18:20:44.000Z",
          R"({"type":"reasoning","summary":[{"type":"summary_text","text":"Plan"}],"content":null,"encrypted_content":"gAAA"})") +
      codex::functionCall(
          "2026-12-05T18:20:45.000Z", "exec_command",
          R"({"cmd":"npm run build","workdir":"/home/u/p/web","yield_time_ms":10000})",
          "call_exec") +
      codex::functionOutput("2026-12-05T18:20:47.500Z", "call_exec",
                            codex::execOutput(2, "error TS2304: Cannot find name 'x'.")) +
      codex::functionCall("2026-12-05T18:20:48.000Z", "shell_command",
                          R"({"command":"ls -la\nwc -l *","workdir":"/tmp"})", "call_sc") +
      codex::functionOutput("2026-12-05T18:20:48.200Z", "call_sc",
                            codex::execOutput(0, "total 0")) +
      codex::functionCall(
          "2026-12-05T18:20:49.000Z", "update_plan",
          R"({"explanation":"Next","plan":[{"step":"Fix","status":"in_progress"}]})", "call_plan") +
      codex::functionCall(
          "2026-12-05T18:20:50.000Z", "apply_patch",
          R"({"input":"*** Begin Patch\n*** Update File: /home/u/p/README.md\n@@\n-a\n+b\n*** End Patch"})",
          "call_fpatch") +
      codex::customCall("2026-12-05T18:20:51.000Z", "exec", code, "call_code") +
      codex::customOutput("2026-12-05T18:21:20.000Z", "call_code", "Script completed") +
      codex::customCall("2026-12-05T18:21:21.000Z", "apply_patch",
                        "*** Begin Patch\n*** Add File: notes.md\n+hi\n*** End Patch",
                        "call_patch") +
      codex::tokenCount(
          "2026-12-05T18:21:22.000Z",
          codex::info(codex::usage(12000, 9000, 700, 12700), codex::usage(12000, 9000, 700, 12700)),
          limits) +
      // Only the limits moved: the same totals again count nothing.
      codex::tokenCount(
          "2026-12-05T18:21:23.000Z",
          codex::info(codex::usage(12000, 9000, 700, 12700), codex::usage(12000, 9000, 700, 12700)),
          limits) +
      codex::tokenCount("2026-12-05T18:31:00.000Z",
                        codex::info(codex::usage(30000, 20000, 1000, 31000),
                                    codex::usage(18000, 11000, 300, 18300)),
                        "null") +
      codex::taskComplete("2026-12-05T18:31:01.000Z");
  const CodexIndex::Reader reader = readAll(text);

  const CodexSession& session = reader.session;
  EXPECT_TRUE(session.recognised);
  EXPECT_EQ(session.cwd, "/home/u/p");
  EXPECT_EQ(session.originator, "codex_cli_rs");
  EXPECT_EQ(session.cliVersion, "0.63.0");
  EXPECT_EQ(session.model, "gpt-5.1-codex-max");
  EXPECT_FALSE(session.isSubagent);
  EXPECT_EQ(session.started, at(18, 20, 41.093));
  EXPECT_EQ(session.turnStarted, at(18, 20, 42));
  EXPECT_EQ(session.turnEnded, at(18, 31, 1));
  EXPECT_EQ(session.lastActivity, at(18, 31, 1));
  EXPECT_EQ(session.countedTotal, 31000);

  const auto events = calls(reader);
  ASSERT_EQ(events.size(), 10u);
  const ToolEvent& build = events.at("call_exec");
  EXPECT_EQ(build.tool, "Bash");
  EXPECT_EQ(build.summary, "npm run build");
  EXPECT_EQ(build.cwd, "/home/u/p/web");
  EXPECT_EQ(build.sessionId, sessionId);
  EXPECT_EQ(build.start, at(18, 20, 45));
  EXPECT_EQ(build.end, at(18, 20, 47.5));
  EXPECT_TRUE(build.isError);
  EXPECT_EQ(build.source, ToolEvent::Source::history);
  // A multi-line command is summarised by its first line.
  EXPECT_EQ(events.at("call_sc").summary, "ls -la");
  EXPECT_FALSE(events.at("call_sc").isError);
  EXPECT_EQ(events.at("call_sc").cwd, "/tmp");
  EXPECT_EQ(events.at("call_plan").tool, "update_plan");
  EXPECT_EQ(events.at("call_plan").cwd, "/home/u/p");
  EXPECT_EQ(events.at("call_plan").end, std::nullopt);
  EXPECT_EQ(events.at("call_fpatch").tool, "apply_patch");
  EXPECT_EQ(events.at("call_fpatch").filePath, "/home/u/p/README.md");

  // The code cell: two commands (not the one in a comment), two files, one image, all
  // ending with the cell.
  EXPECT_EQ(events.at("call_code").summary, "cargo test -p core");
  EXPECT_EQ(events.at("call_code").cwd, "/home/u/p/core");
  EXPECT_EQ(events.at("call_code#2").summary, "git status");
  EXPECT_EQ(events.at("call_code#2").cwd, "/home/u/p");
  EXPECT_EQ(events.at("call_code#3").filePath, "src/lib.rs");
  EXPECT_EQ(events.at("call_code#4").filePath, "src/new.rs");
  EXPECT_EQ(events.at("call_code#5").summary, "Generated an image");
  for (const char* id : {"call_code", "call_code#2", "call_code#5"}) {
    EXPECT_EQ(events.at(id).end, at(18, 21, 20)) << id;
    EXPECT_FALSE(events.at(id).isError) << id;
  }
  EXPECT_EQ(events.at("call_patch").filePath, "notes.md");
  EXPECT_TRUE(events.at("call_patch").changesFile());

  // Two responses: input without its cached part, cached as cache reads, one message each,
  // in the slots of their lines, under the latest model and the session's originator.
  EXPECT_EQ(total(reader.buckets),
            (IndexStore::Counts{3000 + 7000, 700 + 300, 0, 9000 + 11000, 2}));
  ASSERT_EQ(reader.buckets.size(), 2u);
  const IndexStore::Bucket first{.t = static_cast<int64_t>(at(18, 20, 0).secondsSince1970()),
                                 .sid = sessionId,
                                 .cwd = "/home/u/p",
                                 .model = "gpt-5.1-codex-max",
                                 .entry = "codex_cli_rs"};
  EXPECT_EQ(reader.buckets.at(first), (IndexStore::Counts{3000, 700, 0, 9000, 1}));

  ASSERT_EQ(reader.limits.size(), 3u);
  const CodexLimits& latest = reader.limits.back();
  EXPECT_EQ(latest.at, at(18, 21, 23));
  EXPECT_EQ(latest.plan, "plus");
  EXPECT_TRUE(latest.hasCredits);
  ASSERT_NE(latest.window(300), nullptr);
  EXPECT_EQ(latest.window(300)->percentUsed, 14.0);
  EXPECT_EQ(latest.window(300)->resetsAt, Date(1796501000));
  EXPECT_EQ(latest.window(10080)->percentUsed, 41.5);
  const auto reading = latest.planReading();
  ASSERT_TRUE(reading);
  EXPECT_EQ(reading->w, 41.5);
  EXPECT_EQ(reading->wr, Date(1796900000));
  EXPECT_EQ(reading->f, 14.0);
}

TEST(RolloutReader, ReadsAnOlderSession) {
  // Autumn 2025: no source in the meta line, the argv shell tool with a JSON output,
  // relative resets, a weekly-only plan with the weekly window first, usage records.
  const std::string old = "5f0a5c1e-8d2b-4c3a-9e7f-1a2b3c4d5e6f";
  const std::string text =
      codex::meta("2025-10-02T09:00:00.000Z", old, "/work/app", "codex_vscode", "") +
      codex::turnContext("2025-10-02T09:00:01.000Z", "gpt-5-codex", "/work/app") +
      codex::functionCall(
          "2025-10-02T09:00:05.000Z", "shell",
          R"({"command":["bash","-lc","pytest -q"],"workdir":"/work/app","timeout_ms":120000})",
          "call_1") +
      codex::functionOutput(
          "2025-10-02T09:00:09.000Z", "call_1",
          R"({"output":"1 failed","metadata":{"exit_code":1,"duration_seconds":3.9}})") +
      codex::functionCall("2025-10-02T09:00:10.000Z", "shell",
                          R"({"command":["git","diff"],"workdir":"/work/app"})", "call_2") +
      codex::functionOutput("2025-10-02T09:00:11.000Z", "call_2",
                            R"({"output":"","metadata":{"exit_code":0,"duration_seconds":0.1}})") +
      codex::line(
          "2025-10-02T09:00:12.000Z", "token_usage_record",
          R"({"response_id":"resp_1","usage":{"input_tokens":5000,"cached_input_tokens":1000,"output_tokens":200,"cache_write_input_tokens":300}})") +
      codex::tokenCount(
          "2025-10-02T09:00:13.000Z", "null",
          R"({"primary":{"used_percent":62.0,"window_minutes":10080,"resets_in_seconds":3600},"secondary":{"used_percent":5.0,"window_minutes":null,"resets_in_seconds":null}})");
  CodexIndex::Reader reader(CodexSession{.id = old, .path = "/r.jsonl"});
  reader.read(text, true);
  const Date base(Calendar::utcSeconds(2025, 10, 2, 9, 0, 0));

  EXPECT_EQ(reader.session.originator, "codex_vscode");
  EXPECT_FALSE(reader.session.isSubagent);
  EXPECT_EQ(reader.session.model, "gpt-5-codex");
  const auto events = calls(reader);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events.at("call_1").summary, "bash -lc pytest -q");
  EXPECT_TRUE(events.at("call_1").isError);
  EXPECT_FALSE(events.at("call_2").isError);
  EXPECT_EQ(events.at("call_2").summary, "git diff");

  EXPECT_EQ(total(reader.buckets), (IndexStore::Counts{4000, 200, 300, 1000, 1}));

  ASSERT_EQ(reader.limits.size(), 1u);
  const CodexLimits& limits = reader.limits[0];
  EXPECT_EQ(limits.plan, std::nullopt);
  EXPECT_FALSE(limits.hasCredits);
  ASSERT_EQ(limits.windows.size(), 2u);
  EXPECT_EQ(limits.windows[0].minutes, 10080);
  EXPECT_EQ(limits.windows[0].resetsAt, base + 13 + 3600);
  EXPECT_EQ(limits.windows[1].minutes, 0);
  EXPECT_EQ(limits.windows[1].resetsAt, std::nullopt);
  EXPECT_EQ(limits.window(300), nullptr);
  EXPECT_EQ(limits.planReading()->w, 62.0);
  EXPECT_EQ(limits.planReading()->f, 0);
}

TEST(RolloutReader, LooksForMarkersAndOutcomesOnlyWhereCodexPutsThem) {
  const std::string padding(220, 'x');
  const std::string text =
      // A sub-agent's own meta, then a copied parent meta that must not change anything.
      codex::meta("2026-12-05T18:00:00.000Z", sessionId, "/home/u/p", "codex_cli_rs",
                  R"({"subagent":"review"})") +
      codex::meta("2026-12-05T18:00:00.500Z", "019af0c2-0000-7000-8000-000000000000",
                  "/elsewhere") +
      // A token count whose marker starts after byte 200 is not one.
      "{\"timestamp\":\"2026-12-05T18:00:01.000Z\",\"pad\":\"" + padding +
      "\",\"type\":\"event_msg\",\"payload\":{\"type\":\"token_count\",\"info\":null,"
      "\"rate_limits\":{\"primary\":{\"used_percent\":99.0,\"window_minutes\":300}}}}\n" +
      codex::functionCall("2026-12-05T18:00:02.000Z", "exec_command", R"({"cmd":"make"})",
                          "call_a") +
      // "is_error":true past byte 400 does not count; before it, it does.
      "{\"timestamp\":\"2026-12-05T18:00:03.000Z\",\"type\":\"response_item\",\"payload\":{"
      "\"type\":\"function_call_output\",\"call_id\":\"call_a\",\"output\":\"" +
      std::string(400, 'y') + "\",\"is_error\":true}}\n" +
      codex::functionCall("2026-12-05T18:00:04.000Z", "exec_command", R"({"cmd":"make check"})",
                          "call_b") +
      "{\"timestamp\":\"2026-12-05T18:00:05.000Z\",\"type\":\"response_item\",\"payload\":{"
      "\"type\":\"function_call_output\",\"call_id\":\"call_b\",\"is_error\":true,\"output\":\"\"}}"
      "\n" +
      // An exit code past byte 1000 is not looked at.
      codex::functionCall("2026-12-05T18:00:06.000Z", "exec_command", R"({"cmd":"late"})",
                          "call_c") +
      codex::functionOutput("2026-12-05T18:00:07.000Z", "call_c",
                            std::string(1000, 'z') + "\nProcess exited with code 1") +
      // Broken lines yield nothing: invalid UTF-8, wrong types, a cut-off object, an
      // arguments string that is not JSON, an output without a timestamp first.
      codex::responseItem("2026-12-05T18:00:08.000Z",
                          "{\"type\":\"function_call\",\"name\":\"exec_command\",\"arguments\":"
                          "\"{\\\"cmd\\\":\\\"caf\xC3(\\\"}\",\"call_id\":\"call_d\"}") +
      codex::turnContext("2026-12-05T18:00:09.000Z", "gpt-\xFF", "/home/u/p") +
      codex::line("2026-12-05T18:00:10.000Z", "turn_context", R"({"model":42})") +
      codex::tokenCount(
          "2026-12-05T18:00:11.000Z",
          R"({"total_token_usage":{"input_tokens":"12"},"last_token_usage":{"input_tokens":"12"}})",
          "null") +
      R"({"timestamp":"2026-12-05T18:00:12.000Z","type":"event_msg","payload":{"type":"task_started")"
      "\n" +
      codex::functionCall("2026-12-05T18:00:13.000Z", "exec_command", "{cmd: make}", "call_e") +
      R"({"type":"response_item","timestamp":"2026-12-05T18:00:14.000Z","payload":{"type":"function_call_output","call_id":"call_b","output":"x"}})"
      "\n" +
      codex::line("2026-12-05T18:00:15.000Z", "compacted", R"({"message":"summary"})") + "\n\n";
  const CodexIndex::Reader reader = readAll(text);

  EXPECT_TRUE(reader.session.isSubagent);
  EXPECT_EQ(reader.session.cwd, "/home/u/p");
  EXPECT_EQ(reader.session.started, at(18, 0, 0));
  EXPECT_EQ(reader.session.model, std::nullopt);
  EXPECT_EQ(reader.session.turnStarted, std::nullopt);
  EXPECT_TRUE(reader.limits.empty());
  EXPECT_TRUE(reader.buckets.empty());
  const auto events = calls(reader);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_FALSE(events.at("call_a").isError);
  EXPECT_EQ(events.at("call_a").end, at(18, 0, 3));
  EXPECT_TRUE(events.at("call_b").isError);
  EXPECT_EQ(events.at("call_b").end, at(18, 0, 5));
  EXPECT_FALSE(events.at("call_c").isError);
  EXPECT_EQ(reader.session.lastActivity, at(18, 0, 7));

  // A file that does not open with a meta line is not a rollout Tessel knows.
  EXPECT_FALSE(readAll(codex::taskStarted("2026-12-05T18:00:00.000Z") +
                       codex::meta("2026-12-05T18:00:01.000Z", sessionId, "/p"))
                   .session.recognised);
}

TEST(CodeCell, FindsLiteralArgumentsOfToolCalls) {
  using CodeCell::stringMember;
  EXPECT_EQ(stringMember(R"({cmd: 'a \'b\' \x41\u00e9', workdir: "/w"})", "cmd"), "a 'b' A\u00e9");
  EXPECT_EQ(stringMember(R"({ "workdir" : `/w/${x}`, cmd: "c" })", "workdir"), "/w/${x}");
  // Members before the one asked for may hold anything bracketed.
  EXPECT_EQ(stringMember(R"({env: {A: "}", B: [1, ","]}, cmd: "ok"})", "cmd"), "ok");
  EXPECT_EQ(stringMember(R"({cmd: command})", "cmd"), std::nullopt);
  EXPECT_EQ(stringMember(R"({command: "x"})", "cmd"), std::nullopt);
  EXPECT_EQ(stringMember(R"("not an object")", "cmd"), std::nullopt);
  EXPECT_EQ(stringMember(R"({cmd: "unterminated)", "cmd"), std::nullopt);

  const std::vector<std::string_view> tools = {"exec_command"};
  const auto found = CodeCell::calls(
      "mytools.exec_command({cmd: 'no'}); tools.exec_command ({cmd: f(')')}); "
      "tools.exec_commands({}); /* tools.exec_command({cmd: 'no'}) */ tools.exec_command(",
      tools);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].arguments, "{cmd: f(')')}");
  EXPECT_EQ(found[1].arguments, "");

  EXPECT_EQ(CodeCell::patchFiles("*** Begin Patch\r\n*** Update File: a b.txt\r\n*** Add File:  \n"
                                 "*** Move to: c\n*** End Patch"),
            std::vector<std::string>{"a b.txt"});
}

}  // namespace
}  // namespace tessel
