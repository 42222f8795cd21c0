#include "activity/json_form.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "util/calendar.h"

namespace tessel {
namespace {

using Object = nlohmann::ordered_json;

Date at(const char* text) { return *Calendar::parseInternetDateTime(text); }

ProcessEntry entry(int32_t pid, int32_t ppid, double cpu, int64_t memory, const char* started,
                   std::string command) {
  return {pid, ppid, 1000, cpu, memory, at(started), std::move(command)};
}

LiveSession live(int32_t pid, std::string id, std::string cwd, std::string status,
                 const char* since) {
  LiveSession session;
  session.pid = pid;
  session.sessionId = std::move(id);
  session.cwd = std::move(cwd);
  session.status = std::move(status);
  session.startedAt = at("2026-12-05T17:55:12.500Z");
  session.updatedAt = session.statusSince = at(since);
  return session;
}

// The snapshot of docs/json.md's example: a session at work in a terminal, one waiting
// in the desktop app, one inside a development container, one Codex session, and the
// containers, machine and process around them.
ActivitySnapshot example() {
  ActivitySnapshot snapshot;
  snapshot.date = at("2026-12-05T18:20:41.093Z");

  SessionInfo working;
  working.live = live(4242, "8d0c7b3e-5f0a-4c1e-9a59-2b7d1c3e4f60", "/home/dev/shop", "busy",
                      "2026-12-05T18:20:30.000Z");
  working.live.name = "checkout refactor";
  working.live.entrypoint = "cli";
  working.live.kind = "interactive";
  working.live.version = "2.1.3";
  working.title = "checkout refactor";
  working.project = "shop";
  working.model = "claude-opus-4-7";
  working.process = entry(4242, 4100, 12.5, 412090368, "2026-12-05T17:55:12.500Z", "claude");
  working.children = {entry(4301, 4242, 3.25, 98566144, "2026-12-05T18:02:07.125Z",
                            "node /home/dev/shop/node_modules/.bin/vite")};
  working.lastEvent = ToolEvent{.id = "toolu_01FhQ2x8vLk3Yp9TnR4sWd7Z",
                                .sessionId = working.live.sessionId,
                                .tool = "Bash",
                                .summary = "docker compose up -d",
                                .start = at("2026-12-05T18:19:58.250Z"),
                                .cwd = "/home/dev/shop",
                                .source = ToolEvent::Source::hook};
  working.state = SessionInfo::State::working;
  working.quietFor = 11.093;

  SessionInfo waiting;
  waiting.live = live(9120, "c41f2a9e-07b3-4d8e-b6a1-5e9f0c2d7a34", "/home/dev/blog", "idle",
                      "2026-12-05T18:15:00.500Z");
  waiting.live.entrypoint = "claude-desktop";
  waiting.live.hostSessionId = "local_6a2d9f3e-1b7c-4e0a-8d5f-3c9b2e1a7f60";
  waiting.live.bridgeSessionId = "bridge_01Jx7Kq2";
  waiting.live.version = "2.1.3";
  waiting.title = "Draft the December post";
  waiting.project = "blog";
  waiting.model = "claude-sonnet-4-5";
  waiting.process = entry(9120, 9001, 0.5, 268435456, "2026-12-05T09:14:03.000Z", "claude");
  waiting.lastEvent = ToolEvent{.id = "toolu_01Bq7Vn3Ks",
                                .sessionId = waiting.live.sessionId,
                                .tool = "Edit",
                                .summary = "~/blog/posts/december.md",
                                .start = at("2026-12-05T18:14:58.000Z"),
                                .end = at("2026-12-05T18:14:58.750Z"),
                                .filePath = "/home/dev/blog/posts/december.md"};
  waiting.state = SessionInfo::State::waiting;
  waiting.quietFor = 340.593;
  waiting.remoteControl = true;

  SessionInfo contained;
  contained.live = live(0, "e7a90b14-3c6d-4f25-a8e1-9d0b7c5f2e86", "/workspaces/api", "idle",
                        "2026-12-05T16:40:00.000Z");
  contained.title = "api";
  contained.project = "api";
  contained.state = SessionInfo::State::idle;
  contained.quietFor = 6041.093;
  contained.devContainer = "3f9a1c7e2b5d";
  contained.devFolder = "/home/dev/api";
  snapshot.sessions = {working, waiting, contained};
  snapshot.claudePIDs = {4242, 9120};

  SessionInfo codex;
  codex.live = live(5120, "019aee3c-7d21-7b40-9e5a-3f1c2d4b5a69", "/home/dev/tools", "busy",
                    "2026-12-05T18:20:12.000Z");
  codex.title = "Speed up the release script";
  codex.project = "tools";
  codex.model = "gpt-5-codex";
  codex.process = entry(5120, 4100, 8.75, 150994944, "2026-12-05T18:03:01.750Z", "codex");
  codex.lastEvent = ToolEvent{.id = "call_Qm3rT8vX",
                              .sessionId = codex.live.sessionId,
                              .tool = "exec_command",
                              .summary = "cargo test --release",
                              .start = at("2026-12-05T18:20:12.000Z"),
                              .cwd = "/home/dev/tools"};
  codex.state = SessionInfo::State::working;
  codex.quietFor = 29.093;
  codex.assistant = Assistant::codex;
  snapshot.codexSessions = {codex};
  snapshot.codexPIDs = {5120};
  snapshot.codexSessionIDs = {codex.id(), "019ad4b1-2e8f-7c03-b5d9-8a1e6f0c4b27"};
  snapshot.codexOpenIDs = {codex.id()};

  const std::string database = "9b2c4e6f8a0d1c3e5f7a9b1d3f5e7c9a0b2d4f6e8a1c3e5d7f9b0a2c4e6d8f1a";
  Resource db{.id = "docker:" + database,
              .kind = Resource::Kind::container,
              .name = "shop-db-1",
              .detail = "postgres:16",
              .provider = "Docker",
              .group = "shop",
              .state = "running",
              .memory = 52428800,
              .cpu = 0.75,
              .started = at("2026-12-05T18:20:01.500Z"),
              .ports = {"5432"},
              .stop = std::vector<std::string>{"docker", "stop", database},
              .keywords = {"shop-db-1", "shop", "postgres", "db"}};
  const std::string devId = "3f9a1c7e2b5d8f0a4c6e9b1d3a5f7c2e4b6d8a0c1e3f5a7b9d2c4e6f8a0b1c3d";
  Resource dev{.id = "docker:" + devId,
               .kind = Resource::Kind::container,
               .name = "api_devcontainer-app-1",
               .detail = "mcr.microsoft.com/devcontainers/typescript-node:22",
               .provider = "Docker",
               .state = "running",
               .memory = 734003200,
               .cpu = 2.5,
               .cores = 4,
               .devContainer = DevContainer{.tool = "Dev container",
                                            .name = "api",
                                            .folder = "/home/dev/api",
                                            .hookInstalled = true,
                                            .claudeProcesses = 1},
               .started = at("2026-12-05T16:21:44.000Z"),
               .stop = std::vector<std::string>{"docker", "stop", devId},
               .keywords = {"api_devcontainer-app-1", "api"}};
  Resource vm{.id = "lima:default",
              .kind = Resource::Kind::vm,
              .name = "default",
              .detail = "Ubuntu 24.04",
              .provider = "Lima",
              .state = "Running",
              .memory = 4294967296,
              .cpu = 6.5,
              .cores = 4,
              .ports = {"60022"},
              .pid = 3120,
              .stop = std::vector<std::string>{"limactl", "stop", "default"},
              .keywords = {"default", "lima"}};
  Resource server{.id = "process:4388",
                  .kind = Resource::Kind::process,
                  .name = "python3",
                  .detail = "python3 -m http.server 8000",
                  .provider = "Processes",
                  .state = "running",
                  .memory = 20971520,
                  .cpu = 0,
                  .started = at("2026-12-05T18:05:30.000Z"),
                  .pid = 4388,
                  .keywords = {"python3", "http.server"},
                  .context = "/home/dev/shop/dist"};
  snapshot.resources = {
      {.resource = db,
       .link = Attribution{.sessionId = working.id(),
                           .how = Attribution::How::hook,
                           .started = true,
                           .command = "docker compose up -d",
                           .at = at("2026-12-05T18:19:58.250Z")}},
      {.resource = dev},
      {.resource = vm,
       .link = Attribution{.sessionId = "5b1e0c2a-9d47-4f83-b2c6-1a8e7d3f0b95",
                           .how = Attribution::How::history,
                           .started = false,
                           .command = "limactl shell default uname -a",
                           .at = at("2026-12-04T16:40:00.000Z")},
       .isLeftover = true},
      {.resource = server,
       .link = Attribution{.sessionId = working.id(),
                           .how = Attribution::How::hook,
                           .started = true,
                           .command = "cd dist && python3 -m http.server 8000",
                           .at = at("2026-12-05T18:05:29.625Z")}},
  };

  snapshot.appCPU = 1.5;
  snapshot.appMemory = 73400320;
  snapshot.machineMemory = 34359738368;
  snapshot.hookLastSeen = at("2026-12-05T18:20:39.875Z");
  snapshot.metrics = MetricsSample{.t = snapshot.date,
                                   .memory = 510656512,
                                   .cpu = 15.75,
                                   .netIn = 2048,
                                   .netOut = 512,
                                   .diskRead = 0,
                                   .diskWrite = 65536,
                                   .gpu = 0,
                                   .gpuSystem = 3.5};
  snapshot.system = SystemSample{.t = snapshot.date,
                                 .cpu = 18.25,
                                 .memUsed = 21474836480,
                                 .memTotal = 34359738368,
                                 .pressure = 1,
                                 .swapUsed = 0,
                                 .netIn = 40960,
                                 .netOut = 8192,
                                 .diskRead = 1048576,
                                 .diskWrite = 262144,
                                 .gpu = 3.5,
                                 .load = 1.42};
  snapshot.perCore = {31.25, 12.5, 22.75, 6.5};
  snapshot.topCPU = {*working.process, *codex.process};
  snapshot.topMemory = {*working.process, *waiting.process};
  return snapshot;
}

struct Key {
  std::string name;
  std::string type;  // as the page writes it, "optional" first when the key may be absent
  bool optional() const { return type.starts_with("optional "); }
};

// What docs/json.md says: each record's table of keys, and the example snapshot.
struct Page {
  std::map<std::string, std::vector<Key>> records;
  std::string exampleText;

  Object example() const { return Object::parse(exampleText, nullptr, false); }
};

Page readPage() {
  std::ifstream file(TESSEL_DOCS_DIR "/json.md");
  std::stringstream text;
  text << file.rdbuf();
  Page page;
  std::string line, record;
  bool inExample = false, example = false;
  while (std::getline(text, line)) {
    if (line.starts_with("## ")) {
      example = line == "## Example";
      record = line.starts_with("## `") ? line.substr(4, line.size() - 5) : "";
    } else if (example && line.starts_with("```")) {
      if (inExample) example = false;
      inExample = !inExample;
    } else if (inExample) {
      page.exampleText += line + "\n";
    } else if (!record.empty() && line.starts_with("| `")) {
      const size_t nameEnd = line.find('`', 3);
      const size_t typeStart = line.find("| ", nameEnd) + 2;
      const size_t typeEnd = line.find(" |", typeStart);
      page.records[record].push_back(
          {line.substr(3, nameEnd - 3), line.substr(typeStart, typeEnd - typeStart)});
    }
  }
  return page;
}

// Every instance of each record in a snapshot's form.
std::map<std::string, std::vector<Object>> instances(const Object& snapshot) {
  std::map<std::string, std::vector<Object>> found;
  found["ActivitySnapshot"].push_back(snapshot);
  const auto add = [&](const char* record, const Object& parent, const char* key) {
    if (parent.contains(key)) found[record].push_back(parent[key]);
  };
  for (const char* rows : {"sessions", "codexSessions"}) {
    for (const Object& row : snapshot[rows]) {
      found["SessionInfo"].push_back(row);
      add("LiveSession", row, "live");
      add("ProcessEntry", row, "process");
      add("ToolEvent", row, "lastEvent");
      for (const Object& child : row["children"]) found["ProcessEntry"].push_back(child);
    }
  }
  for (const char* top : {"topCPU", "topMemory"}) {
    for (const Object& entry : snapshot[top]) found["ProcessEntry"].push_back(entry);
  }
  for (const Object& tracked : snapshot["resources"]) {
    found["TrackedResource"].push_back(tracked);
    add("Attribution", tracked, "link");
    add("Resource", tracked, "resource");
    add("DevContainer", tracked["resource"], "devContainer");
  }
  add("MetricsSample", snapshot, "metrics");
  add("SystemSample", snapshot, "system");
  return found;
}

bool hasType(const Object& value, std::string type) {
  if (type.starts_with("optional ")) type = type.substr(9);
  if (type == "string") return value.is_string();
  if (type == "date") {
    const std::string text = value.is_string() ? value.get<std::string>() : "";
    const auto date = Calendar::parseInternetDateTime(text, true);
    return text.size() == 24 && text.ends_with("Z") && date &&
           Calendar::formatInternetDateTime(*date, true) == text;
  }
  if (type == "integer") return value.is_number_integer();
  if (type == "number") return value.is_number();
  if (type == "boolean") return value.is_boolean();
  if (type.starts_with("array")) return value.is_array();
  return value.is_object();  // a record
}

// The keys of `object` must be those of `table`, in its order; absent ones only where the
// table says optional.
void expectKeysOf(const std::string& record, const Object& object, const std::vector<Key>& table) {
  SCOPED_TRACE(record + " " + object.dump().substr(0, 80));
  auto key = table.begin();
  for (const auto& [name, value] : object.items()) {
    while (key != table.end() && key->name != name) {
      EXPECT_TRUE(key->optional()) << "missing key " << key->name;
      ++key;
    }
    ASSERT_NE(key, table.end()) << "undocumented or misplaced key " << name;
    EXPECT_TRUE(hasType(value, key->type)) << name << " is not " << key->type;
    ++key;
  }
  for (; key != table.end(); ++key) EXPECT_TRUE(key->optional()) << "missing key " << key->name;
}

// Reports the first differing key by its path, which says more than two long texts.
void expectSame(const Object& actual, const Object& expected, const std::string& path = "$") {
  if (actual.is_object() && expected.is_object()) {
    std::vector<std::string> actualKeys, expectedKeys;
    for (const auto& item : actual.items()) actualKeys.push_back(item.key());
    for (const auto& item : expected.items()) expectedKeys.push_back(item.key());
    ASSERT_EQ(actualKeys, expectedKeys) << path;
    for (const std::string& key : actualKeys)
      expectSame(actual[key], expected[key], path + "." + key);
  } else if (actual.is_array() && expected.is_array()) {
    ASSERT_EQ(actual.size(), expected.size()) << path;
    for (size_t i = 0; i < actual.size(); ++i) {
      expectSame(actual[i], expected[i], path + "[" + std::to_string(i) + "]");
    }
  } else {
    EXPECT_EQ(actual, expected) << path;
  }
}

TEST(PublicJson, TheDocumentedExampleIsWhatTheSnapshotEncodesTo) {
  const Page page = readPage();
  const Object documented = page.example();
  ASSERT_FALSE(documented.is_discarded());
  expectSame(PublicJson::encode(example()), documented);
  // The text is stable: equal snapshots, equal bytes.
  EXPECT_EQ(PublicJson::encode(example()).dump(), PublicJson::encode(example()).dump());
}

TEST(PublicJson, EveryRecordHasTheDocumentedKeysAndShowsEachInTheExample) {
  const Page page = readPage();
  const auto found = instances(page.example());
  for (const auto& [record, table] : page.records) {
    SCOPED_TRACE(record);
    ASSERT_TRUE(found.contains(record)) << "no example of " << record;
    std::set<std::string> shown;
    for (const Object& object : found.at(record)) {
      expectKeysOf(record, object, table);
      for (const auto& item : object.items()) shown.insert(item.key());
    }
    for (const Key& key : table) EXPECT_TRUE(shown.contains(key.name)) << key.name << " not shown";
  }
  EXPECT_EQ(page.records.size(), found.size()) << "a record in the example has no table";
}

TEST(PublicJson, BareRecordsLeaveOutEveryAbsentOptional) {
  const Page page = readPage();
  const auto required = [&](const std::string& record) {
    std::vector<std::string> keys;
    for (const Key& key : page.records.at(record)) {
      if (!key.optional()) keys.push_back(key.name);
    }
    return keys;
  };
  const auto keys = [](const Object& object) {
    std::vector<std::string> names;
    for (const auto& item : object.items()) names.push_back(item.key());
    return names;
  };

  const Object empty = PublicJson::encode(ActivitySnapshot::empty());
  EXPECT_EQ(keys(empty), required("ActivitySnapshot"));
  EXPECT_EQ(empty["date"], "0001-01-01T00:00:00.000Z");
  EXPECT_EQ(empty["sessions"], Object::array());

  SessionInfo session;
  session.live.sessionId = "s";
  EXPECT_EQ(keys(PublicJson::encode(session)), required("SessionInfo"));
  EXPECT_EQ(keys(PublicJson::encode(session.live)), required("LiveSession"));
  EXPECT_EQ(keys(PublicJson::encode(ToolEvent{})), required("ToolEvent"));
  const Resource resource{.id = "docker:1"};
  EXPECT_EQ(keys(PublicJson::encode(resource)), required("Resource"));
  EXPECT_EQ(keys(PublicJson::encode(TrackedResource{.resource = resource})),
            required("TrackedResource"));
  EXPECT_EQ(keys(PublicJson::encode(Attribution{.sessionId = "s"})), required("Attribution"));
  EXPECT_EQ(keys(PublicJson::encode(MetricsSample{})), required("MetricsSample"));
  EXPECT_EQ(keys(PublicJson::encode(SystemSample{})), required("SystemSample"));

  // A certain link and a guess differ only in `how`, and scripts need not know the rule.
  EXPECT_EQ(PublicJson::encode(Attribution{.how = Attribution::How::child})["isCertain"], true);
  EXPECT_EQ(PublicJson::encode(Attribution{.how = Attribution::How::history})["isCertain"], false);
}

}  // namespace
}  // namespace tessel
