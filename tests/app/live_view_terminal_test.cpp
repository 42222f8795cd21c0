#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "support/fake_tools.h"
#include "support/processes.h"
#include "support/temp_dir.h"
#include "support/transcript_lines.h"
#include "util/calendar.h"
#include "util/date.h"
#include "util/text.h"

namespace tessel {
namespace {

using test::TempDir;

const std::string dbId = "7bdc25d1694ef984782a16f6f1710c1c6bc83ba7a131b515baf532bea021d011";

std::string findTmux() {
  const char* path = std::getenv("PATH");
  std::string_view rest = path == nullptr ? "/usr/bin:/bin" : path;
  while (!rest.empty()) {
    const size_t colon = rest.find(':');
    std::string candidate = std::string{rest.substr(0, colon)} + "/tmux";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
  }
  return {};
}

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// A home with one Claude Code session, run by a real process named claude, in the
// middle of `docker compose up -d`, and a docker that lists the compose service the
// call started half a minute later.
struct Home {
  TempDir dir;
  test::FakeTools tools;
  std::unique_ptr<test::ChildProcess> claude;

  Home() {
    const Date now = Date(std::floor(Date::now().secondsSince1970()));
    const std::string project = dir / "shop";
    std::filesystem::create_directories(project);
    std::filesystem::create_directories(dir / "codex");
    std::filesystem::create_directories(dir / "bin");
    std::filesystem::copy_file("/bin/sleep", dir / "bin/claude");
    claude =
        std::make_unique<test::ChildProcess>(dir / "bin/claude", std::vector<std::string>{"120"});
    EXPECT_TRUE(test::waitForExecutable(claude->pid(), dir / "bin/claude"));
    const std::string pid = std::to_string(claude->pid());
    const std::string ms = std::to_string(std::llround((now - 120).millisSince1970()));
    dir.write("config/sessions/" + pid + ".json",
              R"({"pid":)" + pid + R"(,"sessionId":"s1","cwd":")" + project + R"(","startedAt":)" +
                  ms + R"(,"kind":"interactive","entrypoint":"cli","name":"Fix checkout",)" +
                  R"("status":"busy","updatedAt":)" + ms + "}");
    std::string encoded = project;
    std::replace(encoded.begin(), encoded.end(), '/', '-');
    dir.write(
        "config/projects/" + encoded + "/s1.jsonl",
        test::toolUseLine(now - 60, "toolu_01", "Bash",
                          R"({"command":"docker compose up -d","description":"Start db"})", "s1"));
    const std::string ps =
        R"j({"Command":"\"docker-entrypoint.sh postgres\"","CreatedAt":"2026-12-08 14:00:00 +0000 UTC","ID":")j" +
        dbId +
        R"j(","Image":"postgres:16-alpine","Labels":"com.docker.compose.project.working_dir=)j" +
        project +
        R"j(,com.docker.compose.project=shop,com.docker.compose.service=db","Names":"shop-db-1","Ports":"","State":"running","Status":"Up 1 minute"}
)j";
    tools.add("docker",
              {{.pattern = "ps --no-trunc --format {{json .}}", .out = ps},
               {.pattern = "stats *", .out = ""},
               {.pattern = "inspect *",
                .out = dbId + " " + Calendar::formatInternetDateTime(now - 30, true) + "\n"},
               {.pattern = "info --format {{.NCPU}}", .out = "8\n"},
               {.pattern = "*", .out = ""}});
  }
};

// One tmux server of the test's own, so a user's tmux is never touched.
class Tmux {
 public:
  explicit Tmux(std::string tmux)
      : tmux_(std::move(tmux)),
        socket_("tessel-view-test-" + std::to_string(getpid()) + "-" + std::to_string(++count_)) {}
  ~Tmux() { run({"kill-server"}); }

  test::Finished run(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), {"-L", socket_, "-f", "/dev/null", "-u"});
    return test::runProgram(tmux_, arguments, "");
  }

  std::string capture() const { return run({"capture-pane", "-p", "-t", "view"}).out; }

  // Polls the pane until `isReady` holds, for at most half a minute; the last capture.
  std::string waitFor(const std::function<bool(const std::string&)>& isReady) const {
    std::string screen;
    for (int tries = 0; tries < 300; ++tries) {
      screen = capture();
      if (isReady(screen)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return screen;
  }

  void keys(const std::string& key) const { run({"send-keys", "-t", "view", key}); }

 private:
  static inline int count_ = 0;
  std::string tmux_;
  std::string socket_;
};

bool has(const std::string& screen, std::string_view text) {
  return screen.find(text) != std::string::npos;
}

// The line of `screen` holding `text`, or "".
std::string lineWith(const std::string& screen, std::string_view text) {
  const size_t at = screen.find(text);
  if (at == std::string::npos) return {};
  const size_t start = screen.rfind('\n', at);
  const size_t end = screen.find('\n', at);
  return screen.substr(start == std::string::npos ? 0 : start + 1,
                       end == std::string::npos ? std::string::npos : end - start - 1);
}

void runInTerminal(int width, int height, bool isPlain) {
  const std::string tmuxPath = findTmux();
  if (tmuxPath.empty()) GTEST_SKIP() << "tmux is not installed.";
  Home home;
  const TempDir& dir = home.dir;
  const std::string status = dir / "status";
  const std::string command =
      "HOME=" + quoted(dir.path()) + " CLAUDE_CONFIG_DIR=" + quoted(dir / "config") +
      " CODEX_HOME=" + quoted(dir / "codex") + " TESSEL_TOOL_PATH=" + quoted(home.tools.folder()) +
      (isPlain ? " LC_ALL=C NO_COLOR=1 " : " LC_ALL=C.UTF-8 ") + quoted(TESSEL_BINARY) +
      // Both spellings of the view, with its options.
      (isPlain ? " top --interval 1 --no-codex" : " --interval 1") + "; echo $? > " +
      quoted(status);
  Tmux tmux(tmuxPath);
  ASSERT_EQ(tmux.run({"new-session", "-d", "-s", "view", "-x", std::to_string(width), "-y",
                      std::to_string(height), command})
                .exitStatus,
            0);

  // Each wait asks for everything checked after it: a capture may fall in the middle
  // of a redraw.
  const std::string symbol = isPlain ? "* working" : "● working";
  std::string screen = tmux.waitFor([&symbol](const std::string& s) {
    const std::string row = lineWith(s, "Fix checkout");
    return has(row, symbol) && has(row, "Bash: docker compose up -d") && has(s, "1 Sessions");
  });
  const std::string row = lineWith(screen, "Fix checkout");
  EXPECT_TRUE(has(row, symbol)) << screen;
  EXPECT_TRUE(has(row, "Bash: docker compose up -d")) << screen;
  EXPECT_TRUE(has(screen, "1 Sessions")) << screen;
  if (isPlain) {
    EXPECT_TRUE(std::all_of(screen.begin(), screen.end(), [](char c) {
      return static_cast<unsigned char>(c) < 0x80;
    })) << screen;
  }

  if (width > 90) {
    // A smaller window is filled anew: the key line moves up to its last row.
    tmux.run({"resize-window", "-t", "view", "-x", "90", "-y", "30"});
    screen = tmux.waitFor([](const std::string& s) {
      return std::count(s.begin(), s.end(), '\n') == 30 && has(lineWith(s, "q quit"), "? help") &&
             has(lineWith(s, "Fix checkout"), "working");
    });
    EXPECT_TRUE(has(lineWith(screen, "Fix checkout"), "working")) << screen;
    for (const std::string_view line : Text::nonEmptyLines(screen)) {
      EXPECT_LE(Text::codePoints(line), 90U) << screen;
    }
  }

  tmux.keys("Enter");
  screen = tmux.waitFor([](const std::string& s) {
    return has(s, "Tool calls, latest first") && has(lineWith(s, "shop-db-1"), "started");
  });
  EXPECT_TRUE(has(screen, "Tool calls, latest first")) << screen;
  EXPECT_TRUE(has(lineWith(screen, "shop-db-1"), "started")) << screen;

  tmux.keys("Escape");
  screen = tmux.waitFor(
      [](const std::string& s) { return has(s, "STATE") && !has(s, "Tool calls, latest first"); });
  EXPECT_TRUE(has(screen, "STATE")) << screen;
  EXPECT_FALSE(has(screen, "Tool calls, latest first")) << screen;

  tmux.keys("Tab");
  screen = tmux.waitFor([](const std::string& s) {
    return has(s, "Docker") && has(lineWith(s, "shop-db-1"), "Fix checkout");
  });
  EXPECT_TRUE(has(screen, "Docker")) << screen;
  EXPECT_TRUE(has(lineWith(screen, "shop-db-1"), "Fix checkout")) << screen;

  tmux.keys("q");
  for (int tries = 0; tries < 100 && test::readFile(status).empty(); ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(test::readFile(status), "0\n");
}

// What a newcomer sees first: the demo's sessions at work, the compose project tied to
// the session that started it, and nothing left behind once the view is closed.
void runDemoInTerminal(int width, int height, bool isPlain) {
  const std::string tmuxPath = findTmux();
  if (tmuxPath.empty()) GTEST_SKIP() << "tmux is not installed.";
  TempDir dir;
  std::filesystem::create_directories(dir / "home");
  const std::string status = dir / "status";
  // The sandbox goes under TMPDIR; a runtime folder would be shared with other runs.
  const std::string command =
      "HOME=" + quoted(dir / "home") + " TMPDIR=" + quoted(dir.path()) +
      " XDG_RUNTIME_DIR= " + (isPlain ? "LC_ALL=C NO_COLOR=1 " : "LC_ALL=C.UTF-8 ") +
      quoted(TESSEL_BINARY) + " demo --for 60; echo $? > " + quoted(status);
  Tmux tmux(tmuxPath);
  ASSERT_EQ(tmux.run({"new-session", "-d", "-s", "view", "-x", std::to_string(width), "-y",
                      std::to_string(height), command})
                .exitStatus,
            0);
  const std::string sandbox = dir / ("tessel-demo-" + std::to_string(getuid()));

  const std::string working = isPlain ? "* working" : "● working";
  std::string screen = tmux.waitFor([&working](const std::string& s) {
    return has(s, "Add CSV export") && has(s, working) && has(s, "Bash: ") &&
           has(lineWith(s, "Speed up"), "codex");
  });
  EXPECT_TRUE(has(screen, "Add CSV export")) << screen;
  EXPECT_TRUE(has(screen, working)) << screen;
  EXPECT_TRUE(has(screen, "Bash: ")) << screen;
  EXPECT_TRUE(has(lineWith(screen, "Speed up"), "codex")) << screen;
  EXPECT_TRUE(std::filesystem::exists(sandbox));
  if (isPlain) {
    EXPECT_TRUE(std::all_of(screen.begin(), screen.end(), [](char c) {
      return static_cast<unsigned char>(c) < 0x80;
    })) << screen;
  }

  tmux.keys("Enter");
  screen = tmux.waitFor([](const std::string& s) { return has(s, "Tool calls, latest first"); });
  EXPECT_TRUE(has(screen, "Tool calls, latest first")) << screen;
  tmux.keys("Escape");
  screen = tmux.waitFor([](const std::string& s) { return has(s, "STATE"); });
  EXPECT_TRUE(has(screen, "STATE")) << screen;

  // The shop session brings the compose project up a few seconds into the story.
  tmux.keys("Tab");
  screen = tmux.waitFor(
      [](const std::string& s) { return has(lineWith(s, "shop-db-1"), "Add CSV export"); });
  EXPECT_TRUE(has(lineWith(screen, "shop-db-1"), "Add CSV export")) << screen;

  tmux.keys("q");
  for (int tries = 0; tries < 100 && test::readFile(status).empty(); ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(test::readFile(status), "0\n");
  EXPECT_FALSE(std::filesystem::exists(sandbox));
}

TEST(LiveViewTerminal, ShowsTheDemoAndLeavesNothingBehind) { runDemoInTerminal(120, 40, false); }

TEST(LiveViewTerminal, ShowsTheDemoAt80x24WithoutColourOrUtf8) { runDemoInTerminal(80, 24, true); }

TEST(LiveViewTerminal, SaysWhatToUseInsteadWhenNotOnATerminal) {
  TempDir dir;
  const auto run = test::runProgram(
      TESSEL_BINARY, {"top"}, "",
      {{"HOME", dir.path()}, {"CLAUDE_CONFIG_DIR", dir / "config"}, {"CODEX_HOME", dir / "codex"}});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.err.find("needs a terminal"), std::string::npos) << run.err;
  EXPECT_TRUE(run.out.empty()) << run.out;
}

TEST(LiveViewTerminal, ShowsTheSessionItsCallAndItsContainerAt120x40) {
  runInTerminal(120, 40, false);
}

TEST(LiveViewTerminal, WorksAt80x24WithoutColourOrUtf8) { runInTerminal(80, 24, true); }

}  // namespace
}  // namespace tessel
