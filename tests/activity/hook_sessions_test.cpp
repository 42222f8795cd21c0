#include "activity/hook_sessions.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>

#include "support/processes.h"
#include "support/temp_dir.h"

namespace tessel::Activity {
namespace {

const Date now(1796500000);

LiveSession expected(int32_t pid, std::string id, std::string cwd, std::string status,
                     double startedAgo, double lastAgo) {
  return LiveSession{.pid = pid,
                     .sessionId = std::move(id),
                     .cwd = std::move(cwd),
                     .status = std::move(status),
                     .entrypoint = "cli",
                     .kind = "interactive",
                     .startedAt = now - startedAgo,
                     .updatedAt = now - lastAgo,
                     .statusSince = now - lastAgo};
}

// Host log lines as tessel-hook writes them, each "@" and letter replaced by the pid
// `pids` gives that letter.
std::string hostLog(std::string text, const std::map<char, int32_t>& pids) {
  for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at)) {
    text.replace(at, 2, std::to_string(pids.at(text[at + 1])));
  }
  return text;
}

// "prompt" waits for the model after a prompt; "calling" has a call open, though a
// notification came after it; "resumed" ended and started again, and stopped after a
// failed call; "before" and "after" share one process without an end between them. Left
// out: "ended", "gone" (its process ended), "nameless" (no process known), and "filed"
// and "same-process", known from a session file by id and by pid.
const std::string lines = R"(
{"t":1796499400000,"e":"SessionStart","s":"prompt","cwd":"\/home\/dev\/shop","pid":@A}
{"t":1796499940000,"e":"UserPromptSubmit","s":"prompt","cwd":"\/home\/dev\/shop","pid":@A}
{"t":1796499500000,"e":"SessionStart","s":"calling","cwd":"\/srv\/api","pid":@B}
{"t":1796499700000,"e":"PreToolUse","s":"calling","tool":"Bash","id":"toolu_1","sum":"make","cwd":"\/srv\/api","pid":@B}
{"t":1796499800000,"e":"Notification","s":"calling","cwd":"\/srv\/api","pid":@B}
{"t":1796499600000,"e":"SessionStart","s":"resumed","cwd":"\/w","pid":@C}
{"t":1796499605000,"e":"SessionEnd","s":"resumed","cwd":"\/w","pid":@C}
{"t":1796499610000,"e":"SessionStart","s":"resumed","cwd":"\/w\/sub","pid":@C}
{"t":1796499650000,"e":"PreToolUse","s":"resumed","tool":"Read","id":"toolu_2","sum":"a.txt","cwd":"\/w\/sub","pid":@C}
{"t":1796499660000,"e":"PostToolUseFailure","s":"resumed","tool":"Read","id":"toolu_2","cwd":"\/w\/sub","pid":@C}
{"t":1796499670000,"e":"Stop","s":"resumed","cwd":"\/w\/sub","pid":@C}
{"t":1796499100000,"e":"SessionStart","s":"before","cwd":"\/x","pid":@D}
{"t":1796499200000,"e":"Stop","s":"before","cwd":"\/x","pid":@D}
{"t":1796499900000,"e":"SessionStart","s":"after","cwd":"\/x","pid":@D}
{"t":1796499300000,"e":"SessionStart","s":"ended","cwd":"\/e","pid":@A}
{"t":1796499350000,"e":"SessionEnd","s":"ended","cwd":"\/e","pid":@A}
{"t":1796499950000,"e":"UserPromptSubmit","s":"gone","cwd":"\/g","pid":@G}
{"t":1796499950000,"e":"UserPromptSubmit","s":"nameless","cwd":"\/n"}
{"t":1796499950000,"e":"UserPromptSubmit","s":"filed","cwd":"\/f","pid":@B}
{"t":1796499950000,"e":"UserPromptSubmit","s":"same-process","cwd":"\/p","pid":@M}
)";

TEST(HookSessions, ShowsLiveUnendedSessionsTheSessionFilesMiss) {
  std::vector<std::unique_ptr<test::ChildProcess>> children;
  std::map<char, int32_t> pids;
  for (char letter : {'A', 'B', 'C', 'D'}) {
    children.push_back(
        std::make_unique<test::ChildProcess>("/bin/sleep", std::vector<std::string>{"30"}));
    pids[letter] = children.back()->pid();
  }
  {
    test::ChildProcess ended("/bin/true", {});
    pids['G'] = ended.pid();
  }
  pids['M'] = getpid();

  test::TempDir dir;
  const std::string log = dir.write("events.jsonl", hostLog(lines, pids));
  HookLogReader reader("host");
  const HookLogReader::Read read = reader.refresh(std::vector<std::string>{log}, now);
  const std::vector<LiveSession> live = {LiveSession{.pid = 0, .sessionId = "filed"},
                                         LiveSession{.pid = getpid(), .sessionId = "from-file"}};

  std::vector<LiveSession> want = {
      expected(pids['A'], "prompt", "/home/dev/shop", "busy", 600, 60),
      expected(pids['B'], "calling", "/srv/api", "busy", 500, 200),
      expected(pids['C'], "resumed", "/w/sub", "idle", 400, 330),
      expected(pids['D'], "after", "/x", "idle", 100, 100),
  };
  std::sort(want.begin(), want.end(),
            [](const LiveSession& x, const LiveSession& y) { return x.pid < y.pid; });
  EXPECT_EQ(hookSessions(read, live), want);

  // Once the call ends the session is idle; once its process ends it is gone.
  const std::string more = dir.write(
      "more.jsonl",
      hostLog(
          R"({"t":1796499990000,"e":"PostToolUse","s":"calling","tool":"Bash","id":"toolu_1","cwd":"\/srv\/api","pid":@B})"
          "\n",
          pids));
  const auto later = reader.refresh(std::vector<std::string>{log, more}, now);
  children[0].reset();
  const std::vector<LiveSession> after = hookSessions(later, live);
  EXPECT_EQ(after.size(), 3u);
  EXPECT_TRUE(std::none_of(after.begin(), after.end(),
                           [](const LiveSession& s) { return s.sessionId == "prompt"; }));
  const auto calling = std::find_if(after.begin(), after.end(),
                                    [](const LiveSession& s) { return s.sessionId == "calling"; });
  ASSERT_NE(calling, after.end());
  EXPECT_EQ(*calling, expected(pids['B'], "calling", "/srv/api", "idle", 500, 10));
}

}  // namespace
}  // namespace tessel::Activity
