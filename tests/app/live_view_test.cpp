#include <gtest/gtest.h>

#include <string>

#include "util/calendar.h"
#include "view/background.h"
#include "view/screens.h"

namespace tessel::view {
namespace {

const Date now = Date(1796800000);  // a fixed moment keeps the quiet times exact

ToolEvent call(std::string tool, const std::string& summary, Date start,
               std::optional<double> lasted, bool isError = false) {
  ToolEvent event{.id = "toolu_" + summary,
                  .tool = std::move(tool),
                  .summary = summary,
                  .start = start,
                  .isError = isError};
  if (lasted) event.end = start + *lasted;
  return event;
}

SessionInfo session(std::string id, std::string title, SessionInfo::State state,
                    std::optional<ToolEvent> last, double quietFor) {
  SessionInfo info;
  info.live.sessionId = std::move(id);
  info.live.pid = 4000 + static_cast<int32_t>(info.live.sessionId.size());
  info.live.cwd = "/home/ana/shop";
  info.title = std::move(title);
  info.project = "shop";
  info.model = "claude-opus-4-5-20251101";
  info.state = state;
  info.lastEvent = std::move(last);
  info.quietFor = quietFor;
  return info;
}

// Three Claude Code sessions in display order, one of them in a container, a Codex
// session, and a compose service one session started that outlived another.
ViewData sample() {
  ViewData data;
  ActivitySnapshot& snapshot = data.snapshot;
  snapshot.date = now;
  snapshot.sessions.push_back(session("s-work", "Fix the checkout totals",
                                      SessionInfo::State::working,
                                      call("Bash", "npm test -- --watch=false", now - 40, {}), 0));
  snapshot.sessions.back().process =
      ProcessEntry{.pid = 4100, .cpu = 12, .memory = 300 << 20, .command = "claude"};
  snapshot.sessions.back().children = {ProcessEntry{
      .pid = 4101, .ppid = 4100, .cpu = 90, .memory = 80 << 20, .command = "node jest"}};
  snapshot.sessions.push_back(
      session("s-wait", "Überprüfung der API ✓", SessionInfo::State::waiting,
              call("mcp__tracker__create_issue", "Add retries", now - 20, 1), 20));
  snapshot.sessions.push_back(session("s-idle", "Old refactor", SessionInfo::State::idle,
                                      call("Read", "src/cart.ts", now - 400, 0.1), 300));
  snapshot.sessions.back().devFolder = "/home/ana/webshop";
  SessionInfo codex = session("c-1", "Port the importer", SessionInfo::State::working,
                              call("exec_command", "cargo build", now - 5, {}), 0);
  codex.assistant = Assistant::codex;
  snapshot.codexSessions.push_back(codex);

  TrackedResource db{.resource = Resource{.id = "docker:db",
                                          .name = "shop-db-1",
                                          .provider = "Docker",
                                          .group = "shop",
                                          .state = "running",
                                          .memory = 200 << 20,
                                          .cpu = 5},
                     .link = Attribution{
                         .sessionId = "s-work", .how = Attribution::How::history, .started = true}};
  TrackedResource server{
      .resource = Resource{.id = "process:77",
                           .kind = Resource::Kind::process,
                           .name = "vite",
                           .provider = "Processes",
                           .state = "running",
                           .memory = 80 << 20,
                           .pid = 4101},
      .link = Attribution{.sessionId = "s-work", .how = Attribution::How::child, .started = true}};
  TrackedResource left{
      .resource =
          Resource{
              .id = "docker:old", .name = "old-redis-1", .provider = "Docker", .state = "running"},
      .link = Attribution{.sessionId = "gone-session"},
      .isLeftover = true};
  snapshot.resources = {db, server, left};
  snapshot.system = SystemSample{.t = now,
                                 .cpu = 35,
                                 .memUsed = 6LL << 30,
                                 .memTotal = 16LL << 30,
                                 .swapUsed = 1LL << 29,
                                 .load = 1.5};
  snapshot.perCore = {10, 20, 95, 40};
  snapshot.topCPU = {ProcessEntry{.pid = 4101,
                                  .cpu = 90,
                                  .memory = 80 << 20,
                                  .command = "node jest --runInBand " + std::string(300, 'x')}};
  data.plan = Plan{.source = Plan::Source::session,
                   .windows = {{"five_hour", "5-hour", 42, now + 3600},
                               {"seven_day", "Weekly", 18, now + 4 * 86400}}};
  data.tokensToday = {{"s-work", 1260000}};
  data.endedTitles = {{"gone-session", "Try redis caching"}};
  Aggregate usage;
  usage.today.counts.output = 5000;
  usage.heat[0][9] = 40;
  usage.heat[4][14] = 10;
  usage.projects = {RankedRow{.key = "shop", .label = "shop", .total = usage.today}};
  data.usage = usage;
  data.timeline = {call("Read", "src/cart.ts", now - 100, 0.2),
                   call("Bash", "npm run lint", now - 80, 3.5, /*isError=*/true),
                   call("Bash", "npm test -- --watch=false", now - 40, {})};
  return data;
}

Canvas canvas(size_t width, size_t height, bool isAscii = false) {
  return Canvas{.width = width, .height = height, .isAscii = isAscii, .now = now};
}

// The index of the first line holding `needle`, or -1.
int lineOf(const Frame& frame, std::string_view needle) {
  for (size_t i = 0; i < frame.lines.size(); ++i) {
    if (frame.lines[i].text().find(needle) != std::string::npos) return static_cast<int>(i);
  }
  return -1;
}

Key character(char c) { return Key{Key::Kind::character, static_cast<char32_t>(c)}; }

TEST(LiveViewFrame, ListsSessionsInOrderWithStateToolCallOrQuietTimeAndMarks) {
  const ViewData data = sample();
  ViewState state;
  const Frame frame = render(data, state, canvas(120, 40));
  const int working = lineOf(frame, "Fix the checkout");
  const int waiting = lineOf(frame, "Überprüfung");
  const int idle = lineOf(frame, "Old refactor");
  const int codex = lineOf(frame, "Port the importer");
  ASSERT_GE(working, 0) << frame.text();
  EXPECT_LT(working, waiting);
  EXPECT_LT(waiting, idle);
  EXPECT_LT(idle, codex);

  const std::string workingRow = frame.lines[working].text();
  EXPECT_NE(workingRow.find("● working"), std::string::npos) << workingRow;
  EXPECT_NE(workingRow.find("Bash: npm test"), std::string::npos) << workingRow;
  EXPECT_NE(workingRow.find("Opus 4.5"), std::string::npos) << workingRow;
  EXPECT_NE(workingRow.find("1.3M"), std::string::npos) << workingRow;
  // Its processes and the database it started; the dev server is one of its processes
  // and counts once.
  EXPECT_NE(workingRow.find(" 107 "), std::string::npos) << workingRow;
  EXPECT_NE(workingRow.find(" 580M "), std::string::npos) << workingRow;
  EXPECT_TRUE(frame.lines[working].isHighlighted);  // the first row starts selected
  // A finished call is not shown as running: the row says how long it has been quiet.
  EXPECT_NE(frame.lines[waiting].text().find("◆ waiting"), std::string::npos);
  EXPECT_NE(frame.lines[waiting].text().find("quiet 20s"), std::string::npos);
  EXPECT_NE(frame.lines[idle].text().find("container"), std::string::npos);
  EXPECT_NE(frame.lines[idle].text().find("quiet 5m"), std::string::npos);
  EXPECT_NE(frame.lines[codex].text().find("codex"), std::string::npos);

  EXPECT_NE(frame.lines[0].text().find("2 working"), std::string::npos) << frame.lines[0].text();
  EXPECT_NE(frame.lines[0].text().find("1 waiting"), std::string::npos);
  EXPECT_NE(frame.lines[1].text().find("42%"), std::string::npos) << frame.lines[1].text();
  const int leftover = lineOf(frame, "old-redis-1");
  EXPECT_GT(leftover, codex);
  EXPECT_NE(frame.lines[leftover].text().find("from Try redis caching"), std::string::npos);

  // j moves the selection down; c hides the Codex row.
  EXPECT_TRUE(handleKey(state, character('j'), data.snapshot));
  EXPECT_TRUE(handleKey(state, character('c'), data.snapshot));
  const Frame moved = render(data, state, canvas(120, 40));
  EXPECT_TRUE(moved.lines[lineOf(moved, "Überprüfung")].isHighlighted);
  EXPECT_EQ(lineOf(moved, "Port the importer"), -1);
}

TEST(LiveViewFrame, EveryScreenFitsSmallAndLargeTerminalsAndAsciiStaysAscii) {
  const ViewData data = sample();
  std::vector<ViewState> states(4);
  for (int i = 0; i < 4; ++i) states[i].screen = static_cast<Screen>(i);
  states.push_back(ViewState{.isDetail = true, .selectedId = "s-work"});
  states.push_back(ViewState{.showsHelp = true});
  for (const auto& [width, height] : {std::pair<size_t, size_t>{80, 24}, {120, 40}, {20, 3}}) {
    for (const bool isAscii : {false, true}) {
      for (const ViewState& state : states) {
        const Frame frame = render(data, state, canvas(width, height, isAscii));
        EXPECT_EQ(frame.lines.size(), height);
        for (const Line& line : frame.lines) {
          EXPECT_LE(line.width(), width) << line.text();
          if (!isAscii) continue;
          for (const char c : line.text()) {
            ASSERT_LT(static_cast<unsigned char>(c), 0x80) << line.text();
          }
        }
      }
    }
  }
  // At 80 columns the working row still shows its state and the call it is in.
  const Frame narrow = render(data, ViewState{}, canvas(80, 24, true));
  const std::string row = narrow.lines[lineOf(narrow, "Fix the")].text();
  EXPECT_NE(row.find("* working"), std::string::npos) << row;
  EXPECT_NE(row.find("Bash: npm"), std::string::npos) << row;
  EXPECT_NE(narrow.lines.back().text().find("q quit"), std::string::npos);
}

TEST(LiveViewFrame, FilterNarrowsTheRowsAndEnterOpensTheDetailUntilEsc) {
  const ViewData data = sample();
  ViewState state;
  handleKey(state, character('/'), data.snapshot);
  for (const char c : std::string{"CHECKOUT"}) handleKey(state, character(c), data.snapshot);
  handleKey(state, Key{Key::Kind::enter}, data.snapshot);
  EXPECT_FALSE(state.isTypingFilter);
  Frame filtered = render(data, state, canvas(120, 40));
  EXPECT_GE(lineOf(filtered, "Fix the checkout"), 0);
  EXPECT_EQ(lineOf(filtered, "Old refactor"), -1);
  EXPECT_GE(lineOf(filtered, "filter: CHECKOUT"), 0);

  // A filter on the tool call's words, then none matching.
  state.filter = "cargo";
  EXPECT_GE(lineOf(render(data, state, canvas(120, 40)), "Port the importer"), 0);
  state.filter = "nothing like it";
  EXPECT_GE(lineOf(render(data, state, canvas(120, 40)), "No session matches"), 0);
  handleKey(state, Key{Key::Kind::escape}, data.snapshot);
  EXPECT_TRUE(state.filter.empty());

  handleKey(state, Key{Key::Kind::enter}, data.snapshot);
  ASSERT_TRUE(state.isDetail);
  const Frame detail = render(data, state, canvas(120, 40));
  const int running = lineOf(detail, "running");
  const int failed = lineOf(detail, "failed");
  const int first = lineOf(detail, "src/cart.ts");
  ASSERT_GE(running, 0) << detail.text();
  EXPECT_LT(running, failed);  // latest first
  EXPECT_LT(failed, first);
  EXPECT_NE(detail.lines[failed].text().find("3s"), std::string::npos);
  EXPECT_GE(lineOf(detail, "node jest"), 0);
  EXPECT_NE(detail.lines[lineOf(detail, "shop-db-1")].text().find("from history"),
            std::string::npos);
  EXPECT_NE(detail.lines[lineOf(detail, "vite")].text().find("certain"), std::string::npos);
  EXPECT_GE(lineOf(detail, "1.3M tokens"), 0);
  EXPECT_GE(lineOf(detail, "Weekly 18%"), 0);
  // Tab leaves the detail for the next screen; Esc in the detail goes back to the list.
  handleKey(state, Key{Key::Kind::escape}, data.snapshot);
  EXPECT_FALSE(state.isDetail);
  EXPECT_GE(lineOf(render(data, state, canvas(120, 40)), "STATE"), 0);
}

TEST(LiveViewFrame, KeysSwitchScreensShowHelpAndQuit) {
  const ViewData data = sample();
  ViewState state;
  handleKey(state, Key{Key::Kind::tab}, data.snapshot);
  const Frame environments = render(data, state, canvas(120, 40));
  EXPECT_GE(lineOf(environments, "Providers"), 0);
  const int db = lineOf(environments, "shop-db-1");
  ASSERT_GE(db, 0);
  EXPECT_NE(environments.lines[db].text().find("Fix the checkout totals"), std::string::npos);
  handleKey(state, character('3'), data.snapshot);
  const Frame usage = render(data, state, canvas(120, 40));
  // The heat map's busiest cell is the darkest shade, an empty one blank.
  const std::string monday = usage.lines[lineOf(usage, "Mon")].text();
  EXPECT_NE(monday.find("██"), std::string::npos) << usage.text();
  handleKey(state, Key{Key::Kind::tab}, data.snapshot);
  EXPECT_EQ(state.screen, Screen::system);
  const Frame system = render(data, state, canvas(80, 24));
  EXPECT_GE(lineOf(system, "cpu3"), 0);
  EXPECT_GE(lineOf(system, "node jest"), 0);
  // Scrolling stops at the screen's last line, and one Up from there moves at once.
  for (int i = 0; i < 10; ++i) handleKey(state, Key{Key::Kind::pageDown}, data.snapshot);
  const Frame bottom = render(data, state, canvas(80, 12));
  ASSERT_GT(bottom.scroll, 0U);
  ASSERT_LT(bottom.scroll, state.scroll);
  state.scroll = bottom.scroll + 1;
  EXPECT_EQ(render(data, state, canvas(80, 12)).text(), bottom.text());
  state.scroll = bottom.scroll;
  handleKey(state, Key{Key::Kind::up}, data.snapshot);
  EXPECT_NE(render(data, state, canvas(80, 12)).text(), bottom.text());
  handleKey(state, Key{Key::Kind::tab}, data.snapshot);
  EXPECT_EQ(state.screen, Screen::sessions);

  handleKey(state, character('?'), data.snapshot);
  EXPECT_GE(lineOf(render(data, state, canvas(80, 24)), "Keys"), 0);
  EXPECT_TRUE(handleKey(state, character('x'), data.snapshot));
  EXPECT_FALSE(state.showsHelp);
  handleKey(state, character('p'), data.snapshot);
  EXPECT_GE(lineOf(render(data, state, canvas(120, 40)), "PAUSED"), 0);
  EXPECT_FALSE(handleKey(state, character('q'), data.snapshot));
}

TEST(LiveViewFrame, CountsTodaysTokensFromLocalMidnight) {
  const Date midnight = Calendar::localMidnight(Calendar::localTime(now).day);
  const auto slot = [](Date date) { return UsageScanner::slot(date); };
  IndexStore::Tally buckets{
      {{.t = slot(midnight - 1200), .sid = "a"}, {100, 0, 0, 0, 1, 0}},
      {{.t = slot(midnight + 60), .sid = "a"}, {10, 20, 30, 40, 1, 0}},
      {{.t = slot(now), .sid = "b"}, {1, 0, 0, 0, 1, 0}},
      {{.t = slot(now), .sid = ""}, {5, 0, 0, 0, 1, 0}},
  };
  const auto tokens = tokensToday(buckets, now);
  EXPECT_EQ(tokens, (std::map<std::string, int64_t>{{"a", 100}, {"b", 1}}));
}

}  // namespace
}  // namespace tessel::view
