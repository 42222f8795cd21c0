#include "activity/snapshot.h"

#include <gtest/gtest.h>

#include "platform/system_layout.h"

namespace tessel::Activity {
namespace {

const Date now(1796500000);
constexpr int32_t base = 50000000;  // no such pids run: names come from the commands

ProcessEntry process(int32_t pid, int32_t ppid, int64_t megabytes, std::string command,
                     double startedAgo = 3600) {
  return ProcessEntry{pid,
                      ppid,
                      platform::userId(),
                      static_cast<double>(megabytes) / 10,
                      megabytes << 20,
                      now - startedAgo,
                      std::move(command)};
}

LiveSession live(std::string id, int32_t pid, std::string status, double quietFor,
                 std::string cwd = "/home/dev/shop/") {
  LiveSession session;
  session.sessionId = std::move(id);
  session.pid = pid;
  session.status = std::move(status);
  session.cwd = std::move(cwd);
  session.startedAt = session.updatedAt = session.statusSince = now - quietFor;
  return session;
}

std::vector<std::string> ids(const std::vector<SessionInfo>& rows) {
  std::vector<std::string> found;
  for (const SessionInfo& row : rows) found.push_back(row.id());
  return found;
}

const TrackedResource& resource(const ActivitySnapshot& snapshot, std::string_view id) {
  for (const TrackedResource& r : snapshot.resources) {
    if (r.id() == id) return r;
  }
  throw std::runtime_error("no resource " + std::string(id));
}

TEST(ActivitySnapshot, SessionsGetTheirStateTitleAndProcessesAndSortForDisplay) {
  Inputs inputs{.now = now};
  inputs.table =
      ProcessTable(now, {process(base + 1, 1, 100, "claude"), process(base + 2, 1, 2048, "claude"),
                         process(base + 3, 1, 300, "claude"), process(base + 4, 1, 50, "claude"),
                         process(base + 5, base + 1, 400, "node /home/dev/shop/server.js"),
                         process(base + 6, base + 5, 10, "/usr/sbin/helper")});
  LiveSession background = live("d", base + 4, "busy", 5000);
  background.kind = "background";
  LiveSession named = live("e", base + 3, "idle", 900);
  named.name = "fix login";
  inputs.live = {live("c", 0, "idle", 900.5, "/home/dev/api"), background, named,
                 live("b", base + 2, "waiting", 10), live("a", base + 1, "busy", 3)};
  inputs.records = {
      SessionRecord{
          .id = "b", .desktopId = "local_b", .title = "Desktop title", .remoteControl = true},
      SessionRecord{.id = "e", .title = "record title"},
      SessionRecord{.id = "c", .title = "From history", .model = "claude-sonnet-4"}};
  inputs.models = {{"a", "claude-opus-4-7"}};

  const ActivitySnapshot snapshot = build(inputs);
  // Working first, then waiting by memory (b 2 GB, e 300 MB), background, idle.
  EXPECT_EQ(ids(snapshot.sessions), (std::vector<std::string>{"a", "b", "e", "d", "c"}));
  EXPECT_EQ(ids(snapshot.waiting()), (std::vector<std::string>{"b", "e"}));
  EXPECT_EQ(ids(snapshot.idle()), std::vector<std::string>{"c"});
  const SessionInfo& a = snapshot.sessions[0];
  EXPECT_EQ(a.title, "shop");
  EXPECT_EQ(a.project, "shop");
  EXPECT_EQ(a.model, "claude-opus-4-7");
  // The server is shown with its session; the system helper below it is not.
  ASSERT_EQ(a.children.size(), 1u);
  EXPECT_EQ(a.children[0].pid, base + 5);
  EXPECT_EQ(a.memory(), int64_t{500} << 20);
  EXPECT_EQ(a.ownMemory(), int64_t{100} << 20);
  EXPECT_DOUBLE_EQ(a.cpu(), 50);
  EXPECT_EQ(snapshot.sessions[1].title, "Desktop title");
  EXPECT_TRUE(snapshot.sessions[1].remoteControl);
  EXPECT_EQ(snapshot.sessions[2].title, "fix login");
  EXPECT_DOUBLE_EQ(snapshot.sessions[2].quietFor, 900);
  const SessionInfo& c = snapshot.sessions[4];
  EXPECT_EQ(c.title, "From history");
  EXPECT_EQ(c.project, "api");
  EXPECT_EQ(c.model, "claude-sonnet-4");
  EXPECT_FALSE(c.process);
  EXPECT_EQ(c.memory(), 0);
  EXPECT_EQ(snapshot.claudePIDs, (std::set<int32_t>{base + 1, base + 2, base + 3, base + 4}));
  EXPECT_EQ(snapshot.sessionMemory(), int64_t{2898} << 20);
  EXPECT_FALSE(a.sharesProcess);

  inputs.live.push_back(live("f", base + 1, "idle", 10));
  const ActivitySnapshot shared = build(inputs);
  EXPECT_TRUE(shared.sessions[0].sharesProcess);
}

TEST(ActivitySnapshot, ResourcesAreTiedToSessionsAndLeftOverWhenTheirSessionIsGone) {
  Inputs inputs{.now = now};
  inputs.table = ProcessTable(
      now, {process(base + 1, 1, 100, "claude"), process(base + 2, base + 1, 10, "/bin/zsh"),
            process(base + 3, base + 2, 700, "/usr/bin/qemu-system-x86_64 -m 700"),
            process(base + 7, 1, 30, "codex")});
  inputs.live = {live("a", base + 1, "busy", 3)};
  const auto container = [](std::string id, std::string state, double startedAgo) {
    return Resource{.id = "docker:" + id,
                    .kind = Resource::Kind::container,
                    .name = id,
                    .provider = "Docker",
                    .state = std::move(state),
                    .memory = 100 << 20,
                    .cpu = 2,
                    .started = now - startedAgo,
                    .keywords = {"docker", id}};
  };
  EnvironmentScan scan{.date = now};
  scan.resources = {container("web", "running", 100), container("db", "exited", 200),
                    container("cache", "running", 300),
                    Resource{.id = "vmproc:50000003",
                             .kind = Resource::Kind::vm,
                             .state = "running",
                             .memory = 700 << 20,
                             .pid = base + 3}};
  inputs.environments = scan;
  const auto bash = [](std::string session, double ago, std::string line) {
    ToolEvent event{"toolu_" + line, std::move(session), "Bash", std::move(line), now - ago};
    event.source = ToolEvent::Source::hook;
    return event;
  };
  inputs.commands = {bash("gone", 110, "docker run -d --name web nginx"),
                     bash("gone", 210, "docker run --name db postgres")};
  inputs.codex =
      CodexActivity{.sessions = {CodexSession{.id = "x", .cwd = "/srv/x", .lastActivity = now - 5}},
                    .open = {{"x", base + 7}},
                    .commands = {bash("x", 305, "docker run -d --name cache redis")}};

  const ActivitySnapshot snapshot = build(inputs);
  // Below the session's process: its child, whatever the commands say.
  EXPECT_EQ(resource(snapshot, "vmproc:50000003").link,
            (Attribution{.sessionId = "a", .how = Attribution::How::child, .started = true}));
  EXPECT_FALSE(resource(snapshot, "vmproc:50000003").isLeftover);
  EXPECT_EQ(resource(snapshot, "docker:web").link->sessionId, "gone");
  EXPECT_TRUE(resource(snapshot, "docker:web").isLeftover);
  // Stopped, it is no leftover; a Codex session's resource is not Claude's.
  EXPECT_EQ(resource(snapshot, "docker:db").link->sessionId, "gone");
  EXPECT_FALSE(resource(snapshot, "docker:db").isLeftover);
  EXPECT_EQ(resource(snapshot, "docker:cache").link->sessionId, "x");
  EXPECT_FALSE(resource(snapshot, "docker:cache").isLeftover);
  EXPECT_EQ(snapshot.leftovers().size(), 1u);
  EXPECT_EQ(snapshot.started().size(), 4u);
  EXPECT_EQ(snapshot.startedByClaude().size(), 3u);
  EXPECT_EQ(snapshot.resourcesFor("a").size(), 1u);
  EXPECT_EQ(snapshot.memory(Resource::Kind::container, false), 300 << 20);
  EXPECT_EQ(snapshot.memory(Resource::Kind::vm, true), 700 << 20);
  // The session with its shell and machine below it (810 MB), and what Claude's sessions
  // started, that machine again included.
  EXPECT_EQ(snapshot.totalMemory(), snapshot.appMemory + (int64_t{810 + 100 + 100 + 700} << 20));

  ASSERT_EQ(snapshot.codexSessions.size(), 1u);
  const SessionInfo& x = snapshot.codexSessions[0];
  EXPECT_EQ(x.assistant, Assistant::codex);
  EXPECT_EQ(x.title, "x");
  EXPECT_EQ(x.state, SessionInfo::State::waiting);
  EXPECT_EQ(x.lastEvent->summary, "docker run -d --name cache redis");
  EXPECT_EQ(snapshot.codexPIDs, std::set<int32_t>{base + 7});
  EXPECT_EQ(snapshot.codexSessionIDs, std::vector<std::string>{"x"});

  // Once the Codex session closes, its running container is left over.
  inputs.codex->open.clear();
  EXPECT_TRUE(resource(build(inputs), "docker:cache").isLeftover);
}

TEST(ActivitySnapshot, DetachedToolsOfThisUserBecomeResources) {
  Inputs inputs{.now = now};
  const int32_t reaper = base + 900;
  std::vector<ProcessEntry> entries = {
      process(reaper, 1, 5, "/usr/lib/systemd/systemd --user"),
      process(base + 10, 1, 80, "/home/dev/.bun/bin/bun dev.ts --port 5173", 60),
      process(base + 11, reaper, 90, "node /home/dev/shop/worker.js", 30),
      process(base + 12, 1, 90, "node old.js", 300000),
      process(base + 13, 1, 90, "/usr/sbin/cupsd -l", 60),
      process(base + 14, base + 10, 90, "node child.js", 60),
      process(base + 15, 1, 90, "node scanned.js", 60)};
  entries.push_back(entries[1]);
  entries.back().pid = base + 16;
  entries.back().uid = platform::userId() + 1;
  inputs.table = ProcessTable(now, entries);
  inputs.environments = EnvironmentScan{
      .resources = {Resource{.id = "vmproc:x", .kind = Resource::Kind::vm, .pid = base + 15}}};
  inputs.commands = {ToolEvent{"toolu_w", "a", "Bash", "node worker.js &", now - 31}};

  const ActivitySnapshot snapshot = build(inputs);
  std::vector<std::string> found;
  for (const TrackedResource& r : snapshot.resources) found.push_back(r.id());
  EXPECT_EQ(found, (std::vector<std::string>{"vmproc:x", "process:50000010", "process:50000011"}));
  const Resource& bun = resource(snapshot, "process:50000010").resource;
  EXPECT_EQ(bun.name, "bun");
  EXPECT_EQ(bun.provider, "Processes");
  EXPECT_EQ(bun.detail, "/home/dev/.bun/bin/bun dev.ts --port 5173");
  EXPECT_EQ(bun.keywords, (std::vector<std::string>{"bun", "dev"}));
  EXPECT_EQ(bun.memory, int64_t{80} << 20);
  EXPECT_EQ(resource(snapshot, "process:50000011").link->sessionId, "a");
}

TEST(ActivitySnapshot, ContainerSessionsComeFromTheirEventsFiles) {
  Inputs inputs{.now = now};
  HookLogReader::Read read;
  const auto trace = [](std::string lastEvent, double ago) {
    return HookLogReader::SessionTrace{"/home/dev/shop/.claude/tessel/events.jsonl",
                                       "/workspace",
                                       now - 4000,
                                       now - ago,
                                       std::move(lastEvent),
                                       "devbox"};
  };
  read.traces = {{"c1", trace("PreToolUse", 5)},   {"c2", trace("Stop", 1000)},
                 {"c3", trace("SessionEnd", 5)},   {"c4", trace("Stop", 90000)},
                 {"live", trace("PreToolUse", 5)}, {"c5", trace("PostToolUse", 20)}};
  // c5's last line ended one call while another still runs.
  ToolEvent running{"toolu_r", "c5", "Bash", "cargo build", now - 30};
  ToolEvent ended{"toolu_e", "c5", "Read", "~/a.rs", now - 25};
  ended.end = now - 20;
  using Events = HookLogReader::EventList;
  read.events = Events(
      {std::make_shared<const Events::Chunk>(Events::Chunk{
          std::make_shared<const ToolEvent>(running), std::make_shared<const ToolEvent>(ended)})},
      2);
  read.lastRecord = now - 5;
  inputs.hook = read;
  inputs.live = {live("live", 0, "idle", 5)};

  const ActivitySnapshot snapshot = build(inputs);
  EXPECT_EQ(ids(snapshot.sessions), (std::vector<std::string>{"c1", "c5", "live", "c2"}));
  const SessionInfo& c1 = snapshot.sessions[0];
  EXPECT_EQ(c1.state, SessionInfo::State::working);
  EXPECT_EQ(c1.devContainer, "devbox");
  EXPECT_EQ(c1.devFolder, "/home/dev/shop");
  EXPECT_EQ(c1.title, "workspace");
  EXPECT_EQ(c1.live.startedAt, now - 4000);
  EXPECT_EQ(snapshot.sessions[1].state, SessionInfo::State::working);
  EXPECT_EQ(snapshot.sessions[1].lastEvent, ended);
  EXPECT_EQ(snapshot.sessions[3].state, SessionInfo::State::idle);
  EXPECT_EQ(snapshot.hookLastSeen, now - 5);
  EXPECT_TRUE(snapshot.claudePIDs.empty());
}

TEST(ActivitySnapshot, EmptyAndAutoSelection) {
  const ActivitySnapshot empty = ActivitySnapshot::empty();
  EXPECT_EQ(empty.date, Date::distantPast());
  EXPECT_GT(empty.machineMemory, 0u);
  EXPECT_TRUE(empty.sessions.empty() && empty.resources.empty());
  EXPECT_DOUBLE_EQ(empty.totalCPU(), 0);

  EXPECT_TRUE(shouldAutoSelect(std::nullopt, {"a"}, {"a"}));
  EXPECT_FALSE(shouldAutoSelect("a", {"a"}, {}));
  EXPECT_FALSE(shouldAutoSelect("b", {"a"}, {"b"}));
  EXPECT_TRUE(shouldAutoSelect("b", {"a"}, {}));
}

}  // namespace
}  // namespace tessel::Activity
