#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/codex_lines.h"
#include "support/fake_tools.h"
#include "support/processes.h"
#include "support/temp_dir.h"
#include "support/transcript_format.h"
#include "support/transcript_lines.h"
#include "usage/status_line.h"
#include "usage/usage_scanner.h"
#include "util/calendar.h"
#include "util/files.h"

namespace tessel {
namespace {

using Object = nlohmann::ordered_json;
using test::FakeTools;
using test::Reply;
using test::TempDir;

const std::string dbId = "7bdc25d1694ef984782a16f6f1710c1c6bc83ba7a131b515baf532bea021d011";
const std::string codexId = "019af0c2-5b1e-7c3a-9d4f-2e8b6a1c0d93";

std::string stamp(Date date) { return Calendar::formatInternetDateTime(date, true); }

// A home of its own for every run of `tessel`: Claude Code's folder in "config", Codex's in
// "codex", and fake outside tools found before any real one.
struct Home {
  TempDir dir;
  FakeTools tools;

  ClaudePaths paths() const {
    ClaudePaths paths = ClaudePaths{dir.path(), dir / "config", "", ""};
    paths.appDir = dir / "Library/Application Support/Claude";
    paths.supportDir = dir / "Library/Application Support/Tessel";
    return paths;
  }
  std::map<std::string, std::string> environment() const {
    return {{"HOME", dir.path()},
            {"CLAUDE_CONFIG_DIR", dir / "config"},
            {"CODEX_HOME", dir / "codex"},
            {"TESSEL_TOOL_PATH", tools.folder()},
            {"NO_COLOR", "1"}};
  }
  test::Finished run(const std::vector<std::string>& arguments) const {
    return test::runProgram(TESSEL_BINARY, arguments, "", environment());
  }
  Object json(const std::vector<std::string>& arguments) const {
    const test::Finished done = run(arguments);
    EXPECT_EQ(done.exitStatus, 0) << done.err;
    return Object::parse(done.out, nullptr, false);
  }
};

// One assistant reply with its usage figures, as Claude Code writes it.
std::string replyLine(Date date, const std::string& messageId, const std::string& model,
                      const std::string& session, const std::array<int, 4>& counts) {
  std::string line;
  TranscriptFormat::openEntry(line, "p");
  TranscriptFormat::appendSidechain(line, "");
  TranscriptFormat::openAssistantMessage(line, model, messageId);
  line += R"({"type":"text","text":"Done."})";
  TranscriptFormat::closeAssistantContent(line, "\"end_turn\"");
  line += "{\"input_tokens\":" + std::to_string(counts[0]) +
          ",\"cache_creation_input_tokens\":" + std::to_string(counts[2]) +
          ",\"cache_read_input_tokens\":" + std::to_string(counts[3]) +
          ",\"output_tokens\":" + std::to_string(counts[1]) + "}";
  TranscriptFormat::closeAssistantMessage(line, "req_" + messageId);
  TranscriptFormat::appendStamp(line, "u_" + messageId, test::transcriptMillis(date));
  TranscriptFormat::appendEnvelope(
      line, {.cwd = "/home/dev/shop", .sessionId = session, .version = "2.1.3"});
  line += "}\n";
  return line;
}

std::string titleLine(const std::string& session, const std::string& title) {
  return R"({"type":"custom-title","customTitle":")" + title + R"(","sessionId":")" + session +
         "\"}\n" + R"({"type":"last-prompt","lastPrompt":"go","sessionId":")" + session + "\"}\n";
}

std::string transcript(const Home& home, const std::string& session) {
  return home.dir / ("config/projects/-home-dev-shop/" + session + ".jsonl");
}

struct Key {
  std::string name;
  std::string type;  // as the page writes it, "optional" first when the key may be absent
};

// Every record's table of keys in docs/json.md, the snapshot's and the other commands'.
std::map<std::string, std::vector<Key>> documentedRecords() {
  std::ifstream file(TESSEL_DOCS_DIR "/json.md");
  std::stringstream text;
  text << file.rdbuf();
  std::map<std::string, std::vector<Key>> records;
  std::string line, record;
  while (std::getline(text, line)) {
    if (line.starts_with("#")) {
      const size_t open = line.find("# `");
      record = open == std::string::npos ? "" : line.substr(open + 3, line.size() - open - 4);
    } else if (!record.empty() && line.starts_with("| `")) {
      const size_t nameEnd = line.find('`', 3);
      const size_t typeStart = line.find("| ", nameEnd) + 2;
      const size_t typeEnd = line.find(" |", typeStart);
      records[record].push_back(
          {line.substr(3, nameEnd - 3), line.substr(typeStart, typeEnd - typeStart)});
    }
  }
  return records;
}

// Checks `object` against the page's table for `record`, keys in order, absent ones only
// where optional, each value of its type, and every record inside it the same way.
void expectDocumented(const std::string& record, const Object& object) {
  static const auto records = documentedRecords();
  SCOPED_TRACE(record + " " + object.dump().substr(0, 100));
  ASSERT_TRUE(records.contains(record)) << "no table for " << record;
  ASSERT_TRUE(object.is_object());
  const std::vector<Key>& table = records.at(record);
  auto key = table.begin();
  for (const auto& [name, value] : object.items()) {
    while (key != table.end() && key->name != name) {
      EXPECT_TRUE(key->type.starts_with("optional ")) << "missing key " << key->name;
      ++key;
    }
    ASSERT_NE(key, table.end()) << "undocumented or misplaced key " << name;
    std::string type = key->type;
    if (type.starts_with("optional ")) type = type.substr(9);
    const size_t tick = type.find('`');
    const std::string inner =
        tick == std::string::npos ? "" : type.substr(tick + 1, type.find('`', tick + 1) - tick - 1);
    if (type == "string") {
      EXPECT_TRUE(value.is_string()) << name;
    } else if (type == "date") {
      const std::string date = value.is_string() ? value.get<std::string>() : "";
      const auto parsed = Calendar::parseInternetDateTime(date, true);
      EXPECT_TRUE(parsed && stamp(*parsed) == date) << name << " is no date: " << value;
    } else if (type == "integer") {
      EXPECT_TRUE(value.is_number_integer()) << name;
    } else if (type == "number") {
      EXPECT_TRUE(value.is_number()) << name;
    } else if (type == "boolean") {
      EXPECT_TRUE(value.is_boolean()) << name;
    } else if (type.starts_with("array")) {
      ASSERT_TRUE(value.is_array()) << name;
      if (!inner.empty()) {
        for (const Object& item : value) expectDocumented(inner, item);
      }
    } else if (!inner.empty()) {
      expectDocumented(inner, value);
    } else {
      EXPECT_TRUE(value.is_object()) << name;
    }
    ++key;
  }
  for (; key != table.end(); ++key) {
    EXPECT_TRUE(key->type.starts_with("optional ")) << "missing key " << key->name;
  }
}

const Object* find(const Object& list, const std::string& key, const std::string& value) {
  for (const Object& item : list) {
    if (item.contains(key) && item[key] == value) return &item;
  }
  return nullptr;
}

std::vector<Reply> docker(const std::string& project, Date started) {
  const std::string ps =
      R"j({"Command":"\"docker-entrypoint.sh postgres\"","CreatedAt":"2026-12-08 14:00:00 +0000 UTC","ID":")j" +
      dbId +
      R"j(","Image":"postgres:16-alpine","Labels":"com.docker.compose.oneoff=False,com.docker.compose.project.working_dir=)j" +
      project +
      R"j(,com.docker.compose.project=shop,com.docker.compose.service=db","LocalVolumes":"1","Mounts":"shop_pgdata","Names":"shop-db-1","Networks":"shop_default","Ports":"0.0.0.0:5432-\u003e5432/tcp","RunningFor":"1 minute ago","Size":"0B","State":"running","Status":"Up 1 minute"}
)j";
  const std::string volumes =
      R"({"Images":[],"Containers":[],"Volumes":[{"Availability":"N/A","Driver":"local","Group":"N/A","Labels":"com.docker.compose.volume=pgdata,com.docker.compose.project=shop","Links":"1","Mountpoint":"/var/lib/docker/volumes/shop_pgdata/_data","Name":"shop_pgdata","Scope":"local","Size":"196.4MB","Status":"N/A"}],"BuildCache":[]})";
  return {{.pattern = "ps --no-trunc --format {{json .}}", .out = ps},
          {.pattern = "stats *", .out = ""},
          {.pattern = "inspect *", .out = dbId + " " + stamp(started) + "\n"},
          {.pattern = "info --format {{.NCPU}}", .out = "8\n"},
          {.pattern = "system df -v --format {{json .}}", .out = volumes + "\n"},
          {.pattern = "volume rm shop_pgdata", .out = "shop_pgdata\n"}};
}

TEST(ReportCommands, SnapshotJsonHoldsWhatTheHomeHolds) {
  Home home;
  const Date now(std::floor(Date::now().secondsSince1970()));
  const std::string project = home.dir / "shop";
  std::filesystem::create_directories(project);
  // A real process under the name Claude Code runs as, with its live session file.
  std::filesystem::create_directories(home.dir / "bin");
  std::filesystem::copy_file("/bin/sleep", home.dir / "bin/claude");
  test::ChildProcess claude(home.dir / "bin/claude", {"60"});
  ASSERT_TRUE(test::waitForExecutable(claude.pid(), home.dir / "bin/claude"));
  const std::string ms = std::to_string(std::llround((now - 600).millisSince1970()));
  home.dir.write("config/sessions/" + std::to_string(claude.pid()) + ".json",
                 R"({"pid":)" + std::to_string(claude.pid()) + R"(,"sessionId":"s1","cwd":")" +
                     project + R"(","startedAt":)" + ms +
                     R"(,"kind":"interactive","entrypoint":"cli","status":"busy","updatedAt":)" +
                     ms + "}");
  const Date callStart = now - 90;
  home.dir.write("config/projects/-home-dev-shop/s1.jsonl",
                 test::toolUseLine(now - 300, "toolu_01", "Read", R"({"file_path":"/x"})", "s1") +
                     test::toolResultLine(now - 299, "toolu_01", "", "s1") +
                     test::toolUseLine(callStart, "toolu_02", "Bash",
                                       R"({"command":"docker compose up -d"})", "s1"));
  home.tools.add("docker", docker(project, callStart + 30));

  const Object snapshot = home.json({"snapshot", "--json"});
  ASSERT_TRUE(snapshot.is_object());
  expectDocumented("ActivitySnapshot", snapshot);
  ASSERT_EQ(snapshot["sessions"].size(), 1U);
  const Object& session = snapshot["sessions"][0];
  EXPECT_EQ(session["id"], "s1");
  EXPECT_EQ(session["live"]["pid"], claude.pid());
  EXPECT_EQ(session["live"]["cwd"], project);
  EXPECT_EQ(session["live"]["status"], "busy");
  EXPECT_EQ(session["live"]["startedAt"], stamp(now - 600));
  EXPECT_EQ(session["state"], "working");
  EXPECT_EQ(session["project"], "shop");
  EXPECT_EQ(session["model"], "claude-opus-4-7");
  EXPECT_EQ(session["process"]["pid"], claude.pid());
  EXPECT_EQ(session["lastEvent"]["id"], "toolu_02");
  EXPECT_EQ(session["lastEvent"]["tool"], "Bash");
  EXPECT_EQ(session["lastEvent"]["summary"], "docker compose up -d");
  EXPECT_EQ(session["lastEvent"]["start"], stamp(callStart));
  EXPECT_FALSE(session["lastEvent"].contains("end"));
  EXPECT_EQ(snapshot["claudePIDs"], Object::array({claude.pid()}));
  // The compose service that came up after the session's call is tied to it.
  const Object* db = find(snapshot["resources"], "id", "docker:" + dbId);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ((*db)["resource"]["name"], "shop-db-1");
  EXPECT_EQ((*db)["link"]["sessionId"], "s1");
  EXPECT_EQ((*db)["link"]["started"], true);
  EXPECT_EQ((*db)["isLeftover"], false);
  EXPECT_TRUE(snapshot.contains("system"));

  // The readable form names the same session, call and container.
  const test::Finished text = home.run({"snapshot"});
  EXPECT_EQ(text.exitStatus, 0) << text.err;
  EXPECT_NE(text.out.find("working"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("Bash: docker compose up -d"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("shop-db-1"), std::string::npos) << text.out;
  EXPECT_EQ(text.out.find("\033["), std::string::npos) << "colour with NO_COLOR set";
}

TEST(ReportCommands, EveryJsonCommandPrintsTheDocumentedKeys) {
  Home home;
  const Date now = Date::now();
  const std::string first = "aaaa1111-0000-4000-8000-000000000001";
  const std::string second = "aaaa2222-0000-4000-8000-000000000002";
  home.dir.write(
      "config/projects/-home-dev-shop/" + first + ".jsonl",
      titleLine(first, "Fix the login form") +
          replyLine(now - 7200, "msg_a1", "claude-opus-4-5-20251101", first,
                    {10, 200, 3000, 40000}) +
          test::toolUseLine(now - 7100, "toolu_x1", "Bash", R"({"command":"make"})", first) +
          test::toolResultLine(now - 7090, "toolu_x1", R"(,"is_error":true)", first) +
          test::toolUseLine(now - 7000, "toolu_x2", "Edit", R"({"file_path":"/home/dev/shop/a.c"})",
                            first));
  home.dir.write("config/projects/-home-dev-shop/" + second + ".jsonl",
                 titleLine(second, "Write the release notes") +
                     replyLine(now - 3600, "msg_b1", "some-unpriced-model", second, {5, 50, 0, 0}));
  test::setModified(transcript(home, first), now - 7000);
  test::setModified(transcript(home, second), now - 3600);
  // A plan reading as the status line captures it, and a Codex rollout with its limits.
  StatusLine::Input input{.sessionId = first};
  input.rateLimits = nlohmann::json::array(
      {{{"kind", "five_hour"}, {"percentUsed", 42.0}, {"resetsAt", now.secondsSince1970() + 3600}},
       {{"kind", "seven_day"},
        {"percentUsed", 61.0},
        {"resetsAt", now.secondsSince1970() + 86400}}});
  ASSERT_TRUE(StatusLine::capture(input, home.paths(), now - 120));
  home.dir.write(
      "codex/sessions/2026/12/08/rollout-2026-12-08T13-20-41-" + codexId + ".jsonl",
      test::codex::meta(stamp(now - 120), codexId, "/home/dev/tools") +
          test::codex::turnContext(stamp(now - 119), "gpt-5.2-codex", "/home/dev/tools") +
          test::codex::tokenCount(
              stamp(now - 60),
              test::codex::info(test::codex::usage(1000, 400, 50, 1050),
                                test::codex::usage(1000, 400, 50, 1050)),
              R"({"primary":{"used_percent":12.0,"window_minutes":300,"resets_at":)" +
                  std::to_string(std::llround(now.secondsSince1970()) + 3000) +
                  R"(},"secondary":null})"));
  home.tools.add("docker", docker(home.dir / "shop", now - 60));

  for (const char* view : {"daily", "weekly", "monthly", "session", "project", "model"}) {
    SCOPED_TRACE(view);
    const Object report = home.json({"usage", view, "--json"});
    expectDocumented("UsageReport", report);
    EXPECT_EQ(report["view"], view);
    // The two replies, and the one message the tool calls came in.
    EXPECT_EQ(report["total"]["messages"], 3);
    EXPECT_EQ(report["total"]["output"], 259);
    // The unpriced model's tokens are counted but not costed.
    EXPECT_FALSE(report["total"].contains("cost"));
    EXPECT_EQ(report["total"]["unpricedTokens"], 55);
  }
  const Object models = home.json({"usage", "model", "--json"});
  ASSERT_EQ(models["rows"].size(), 3U);
  EXPECT_EQ(models["rows"][0]["id"], "claude-opus-4-5-20251101");
  EXPECT_EQ(models["rows"][0]["label"], "Opus 4.5");
  EXPECT_GT(models["rows"][0]["cost"].get<double>(), 0);
  const Object codexUsage = home.json({"usage", "--codex", "--json"});
  expectDocumented("UsageReport", codexUsage);
  EXPECT_EQ(codexUsage["assistant"], "codex");
  // Codex counts the cached part of the input in it; the tally keeps it apart.
  EXPECT_EQ(codexUsage["total"]["input"], 600);
  EXPECT_EQ(codexUsage["total"]["cacheRead"], 400);
  const Object nothing =
      home.json({"usage", "--since", "2020-01-01", "--until", "2020-01-31", "--json"});
  EXPECT_TRUE(nothing["rows"].empty());
  EXPECT_EQ(home.run({"usage", "--since", "last tuesday"}).exitStatus, 1);

  const Object limits = home.json({"limits", "--json"});
  expectDocumented("LimitsReport", limits);
  EXPECT_EQ(limits["claude"]["source"], "session");
  const Object* fiveHour = find(limits["claude"]["windows"], "kind", "five_hour");
  ASSERT_NE(fiveHour, nullptr);
  EXPECT_EQ((*fiveHour)["percentUsed"], 42.0);
  EXPECT_EQ(limits["codex"]["source"], "codex");
  ASSERT_EQ(limits["codex"]["windows"].size(), 1U);
  EXPECT_EQ(limits["codex"]["windows"][0]["percentUsed"], 12.0);

  const Object sessions = home.json({"sessions", "--all", "--json"});
  ASSERT_TRUE(sessions.is_array());
  ASSERT_EQ(sessions.size(), 2U);
  for (const Object& record : sessions) expectDocumented("SessionRecord", record);
  EXPECT_EQ(sessions[0]["id"], second) << "newest first";
  EXPECT_EQ(sessions[1]["title"], "Fix the login form");

  const Object timeline = home.json({"timeline", "aaaa1", "--json"});
  expectDocumented("Timeline", timeline);
  EXPECT_EQ(timeline["id"], first);
  ASSERT_EQ(timeline["calls"].size(), 2U);
  EXPECT_EQ(timeline["calls"][0]["id"], "toolu_x1");
  EXPECT_EQ(timeline["calls"][0]["isError"], true);
  EXPECT_FALSE(timeline["calls"][1].contains("end"));
  // A transcript that was never prompted has no record, but its whole id finds it.
  const std::string unprompted = "aaaa3333-0000-4000-8000-000000000003";
  home.dir.write("config/projects/-home-dev-shop/" + unprompted + ".jsonl",
                 test::toolUseLine(now - 600, "toolu_y1", "Read",
                                   R"({"file_path":"/home/dev/shop/a.c"})", unprompted));
  const Object byId = home.json({"timeline", unprompted, "--json"});
  EXPECT_EQ(byId["id"], unprompted);
  ASSERT_EQ(byId["calls"].size(), 1U);
  EXPECT_EQ(byId["calls"][0]["id"], "toolu_y1");
  EXPECT_EQ(home.run({"timeline", "aaaa3"}).exitStatus, 1);

  const Object env = home.json({"env", "--json"});
  expectDocumented("EnvironmentReport", env);
  const Object* engine = find(env["providers"], "id", "Docker");
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ((*engine)["count"], 1);
  ASSERT_NE(find(env["resources"], "id", "docker:" + dbId), nullptr);

  const Object volumes = home.json({"volumes", "--json"});
  expectDocumented("VolumeReport", volumes);
  ASSERT_EQ(volumes["volumes"].size(), 1U);
  EXPECT_EQ(volumes["volumes"][0]["id"], "Docker:shop_pgdata");
  EXPECT_EQ(volumes["volumes"][0]["project"], "shop");

  // The readable forms of the same commands succeed and say something.
  for (const std::vector<std::string>& command :
       std::vector<std::vector<std::string>>{{"usage"},
                                             {"usage", "session"},
                                             {"limits"},
                                             {"sessions"},
                                             {"timeline", "release notes"},
                                             {"env"},
                                             {"volumes"}}) {
    const test::Finished done = home.run(command);
    EXPECT_EQ(done.exitStatus, 0) << command[0] << ": " << done.err;
    EXPECT_FALSE(done.out.empty()) << command[0];
  }
}

// The demo's sandbox holds everything each command reports on, as a user's machine would:
// every JSON output over it keeps to the page.
TEST(ReportCommands, EveryJsonCommandOverTheDemoPrintsTheDocumentedKeys) {
  TempDir dir;
  std::filesystem::create_directories(dir / "home");
  const std::map<std::string, std::string> outside = {
      {"HOME", dir / "home"}, {"TMPDIR", dir.path()}, {"XDG_RUNTIME_DIR", ""}};
  test::ChildProcess demo("/bin/sh", {"-c", "HOME='" + (dir / "home") + "' TMPDIR='" + dir.path() +
                                                "' XDG_RUNTIME_DIR= exec '" + TESSEL_BINARY +
                                                "' demo --no-view --for 120"});
  std::map<std::string, std::string> environment;
  for (int tries = 0; tries < 100 && environment.empty(); ++tries) {
    const test::Finished printed =
        test::runProgram(TESSEL_BINARY, {"demo", "--print-env"}, "", outside);
    std::istringstream lines(printed.out);
    for (std::string line; printed.exitStatus == 0 && std::getline(lines, line);) {
      // export NAME='value'
      const size_t equals = line.find('=');
      if (!line.starts_with("export ") || equals == std::string::npos) continue;
      environment[line.substr(7, equals - 7)] = line.substr(equals + 2, line.size() - equals - 3);
    }
    if (environment.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(environment.contains("HOME"));
  ASSERT_TRUE(environment.contains("TESSEL_TOOL_PATH"));
  environment["NO_COLOR"] = "1";
  const auto json = [&](const std::vector<std::string>& arguments) {
    const test::Finished done = test::runProgram(TESSEL_BINARY, arguments, "", environment);
    EXPECT_EQ(done.exitStatus, 0) << arguments[0] << ": " << done.err;
    return Object::parse(done.out, nullptr, false);
  };

  Object snapshot;
  for (int tries = 0; tries < 20; ++tries) {
    snapshot = json({"snapshot", "--json"});
    if (snapshot.is_object() && snapshot["sessions"].size() == 4 &&
        snapshot["codexSessions"].size() == 1) {
      break;
    }
  }
  expectDocumented("ActivitySnapshot", snapshot);
  EXPECT_EQ(snapshot["sessions"].size(), 4U);
  EXPECT_EQ(snapshot["codexSessions"].size(), 1U);
  for (const char* view : {"daily", "weekly", "monthly", "session", "project", "model"}) {
    SCOPED_TRACE(view);
    const Object report = json({"usage", view, "--json"});
    expectDocumented("UsageReport", report);
    EXPECT_FALSE(report["rows"].empty());
  }
  expectDocumented("UsageReport", json({"usage", "--codex", "--json"}));
  const Object limits = json({"limits", "--json"});
  expectDocumented("LimitsReport", limits);
  EXPECT_FALSE(limits["claude"]["windows"].empty());
  const Object sessions = json({"sessions", "--all", "--json"});
  ASSERT_TRUE(sessions.is_array());
  ASSERT_FALSE(sessions.empty());
  for (const Object& record : sessions) expectDocumented("SessionRecord", record);
  const Object timeline = json({"timeline", sessions[0]["id"].get<std::string>(), "--json"});
  expectDocumented("Timeline", timeline);
  const Object env = json({"env", "--json"});
  expectDocumented("EnvironmentReport", env);
  EXPECT_NE(find(env["providers"], "id", "Docker"), nullptr);
  const Object volumes = json({"volumes", "--json"});
  expectDocumented("VolumeReport", volumes);
  EXPECT_FALSE(volumes["volumes"].empty());
  kill(demo.pid(), SIGTERM);
}

TEST(ReportCommands, UsageTotalsAreTheScannersAndALaterRunReadsOnlyWhatIsNew) {
  Home home;
  const Date now = Date::now();
  const std::vector<std::string> models = {"claude-opus-4-5-20251101", "claude-sonnet-4-5",
                                           "claude-haiku-4-5"};
  std::mt19937 random(7);
  constexpr uint64_t twelveDays = 12ULL * 86400;
  for (int file = 0; file < 6; ++file) {
    const std::string session = "sess-" + std::to_string(file);
    std::string text;
    for (int reply = 0; reply < 40; ++reply) {
      const std::string id = "msg_" + std::to_string(file) + "_" + std::to_string(reply);
      const std::array<int, 4> counts = {
          static_cast<int>(random() % 900), static_cast<int>(random() % 4000),
          static_cast<int>(random() % 20000), static_cast<int>(random() % 90000)};
      text += replyLine(now - static_cast<double>(random() % twelveDays), id,
                        models[random() % models.size()], session, counts);
      // Claude Code writes some replies twice; they count once.
      if (reply % 9 == 0) text += replyLine(now - 100, id, models[0], session, counts);
    }
    home.dir.write(
        "config/projects/-home-dev-p" + std::to_string(file % 2) + "/" + session + ".jsonl", text);
  }
  const auto expected = [&] {
    UsageScanner scanner;
    scanner.refresh(home.paths(), Date::now(), UINT64_MAX);
    std::map<std::string, IndexStore::Counts> byModel;
    for (const auto& [key, counts] : scanner.buckets()) {
      for (size_t i = 0; i < 5; ++i) byModel[key.model][i] += counts[i];
    }
    return byModel;
  };
  const auto reported = [&] {
    const Object report = home.json({"usage", "model", "--json"});
    std::map<std::string, IndexStore::Counts> byModel;
    for (const Object& row : report["rows"]) {
      byModel[row["id"]] = {row["input"],     row["output"],   row["cacheWrite"],
                            row["cacheRead"], row["messages"], 0};
    }
    return byModel;
  };
  const auto counted = reported();
  EXPECT_EQ(counted, expected());
  int64_t messages = 0;
  for (const auto& [model, counts] : counted) messages += counts[4];
  EXPECT_EQ(messages, 240);

  // Bytes already counted are not read again: spoiling them changes nothing, while a
  // new reply and a repeat of a counted one add exactly the new reply.
  const std::string path = home.dir / "config/projects/-home-dev-p0/sess-0.jsonl";
  std::string text = test::readFile(path);
  const size_t figure = text.find("\"output_tokens\":");
  ASSERT_NE(figure, std::string::npos);
  text.replace(figure, 16, "\"output_tokenz\":");
  text += replyLine(now - 50, "msg_new", models[1], "sess-0", {1, 2, 3, 4});
  text += replyLine(now - 40, "msg_0_0", models[1], "sess-0", {1000, 1000, 1000, 1000});
  home.dir.write("config/projects/-home-dev-p0/sess-0.jsonl", text);
  auto grown = counted;
  grown[models[1]][0] += 1;
  grown[models[1]][1] += 2;
  grown[models[1]][2] += 3;
  grown[models[1]][3] += 4;
  grown[models[1]][4] += 1;
  EXPECT_EQ(reported(), grown);
}

TEST(ReportCommands, TimelineNamesOneSessionOrSaysWhyItCannot) {
  Home home;
  const Date now = Date::now();
  for (const auto& [id, title] : std::vector<std::pair<std::string, std::string>>{
           {"c0ffee01-0000-4000-8000-000000000001", "Fix the login form"},
           {"c0ffee02-0000-4000-8000-000000000002", "Fix the signup form"},
           {"d00d0003-0000-4000-8000-000000000003", "Release notes"}}) {
    home.dir.write("config/projects/-home-dev-shop/" + id + ".jsonl",
                   titleLine(id, title) + test::toolUseLine(now - 60, "toolu_" + id.substr(0, 8),
                                                            "Grep", R"({"pattern":"x"})", id));
  }
  const auto calledBy = [&](const std::string& query) {
    const Object timeline = home.json({"timeline", query, "--json"});
    return timeline.value("id", std::string());
  };
  EXPECT_EQ(calledBy("c0ffee01"), "c0ffee01-0000-4000-8000-000000000001");
  EXPECT_EQ(calledBy("d"), "d00d0003-0000-4000-8000-000000000003");
  EXPECT_EQ(calledBy("fix the SIGNUP form"), "c0ffee02-0000-4000-8000-000000000002");
  EXPECT_EQ(calledBy("login"), "c0ffee01-0000-4000-8000-000000000001");

  const test::Finished ambiguous = home.run({"timeline", "c0ffee"});
  EXPECT_EQ(ambiguous.exitStatus, 1);
  EXPECT_NE(ambiguous.err.find("matches 2 sessions"), std::string::npos) << ambiguous.err;
  EXPECT_NE(ambiguous.err.find("Fix the signup form"), std::string::npos) << ambiguous.err;
  EXPECT_EQ(home.run({"timeline", "Fix"}).exitStatus, 1);
  const test::Finished unknown = home.run({"timeline", "nothing-like-it"});
  EXPECT_EQ(unknown.exitStatus, 1);
  EXPECT_NE(unknown.err.find("No session’s id or title matches"), std::string::npos) << unknown.err;
  EXPECT_TRUE(unknown.out.empty());
  EXPECT_EQ(home.run({"timeline"}).exitStatus, 2);
}

TEST(ReportCommands, VolumesAreRemovedOnlyWhenTheUserSaidYes) {
  Home home;
  const auto removals = [&] {
    std::vector<std::vector<std::string>> found;
    for (auto& call : home.tools.calls("docker", "volume")) {
      if (call.size() > 1 && call[1] == "rm") found.push_back(call);
    }
    return found;
  };
  home.tools.add("docker", docker(home.dir / "shop", Date::now() - 60));
  // No terminal to ask on, and no --yes: nothing is even looked at.
  const test::Finished refused = home.run({"volumes", "rm", "shop_pgdata"});
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_NE(refused.err.find("--yes"), std::string::npos) << refused.err;
  EXPECT_TRUE(home.tools.calls("docker").empty());

  // On a terminal it asks, and only a yes removes anything.
  const auto answering = [&](const std::string& answer) {
    return test::runProgram(
        "/usr/bin/script",
        {"-qec", std::string(TESSEL_BINARY) + " volumes rm shop_pgdata", "/dev/null"},
        answer + "\n", home.environment());
  };
  const test::Finished declined = answering("n");
  EXPECT_EQ(declined.exitStatus, 1);
  EXPECT_NE(declined.out.find("Remove shop_pgdata"), std::string::npos) << declined.out;
  EXPECT_NE(declined.out.find("Nothing was removed."), std::string::npos) << declined.out;
  EXPECT_TRUE(removals().empty());
  const test::Finished accepted = answering("y");
  EXPECT_EQ(accepted.exitStatus, 0) << accepted.out;
  EXPECT_EQ(removals().size(), 1U);

  const test::Finished unknown = home.run({"volumes", "rm", "no_such_volume", "--yes"});
  EXPECT_EQ(unknown.exitStatus, 1);
  EXPECT_NE(unknown.err.find("There is no volume named “no_such_volume”"), std::string::npos)
      << unknown.err;
  EXPECT_EQ(removals().size(), 1U);

  const test::Finished removed = home.run({"volumes", "rm", "shop_pgdata", "--yes"});
  EXPECT_EQ(removed.exitStatus, 0) << removed.err;
  EXPECT_NE(removed.out.find("Removed shop_pgdata."), std::string::npos) << removed.out;
  EXPECT_EQ(removals().size(), 2U);
  EXPECT_EQ(removals().back(), (std::vector<std::string>{"volume", "rm", "shop_pgdata"}));
}

TEST(ReportCommands, WatchPrintsOneSnapshotPerLineAndEndsCleanly) {
  Home home;
  // The reader goes after one line: the next write fails, and tessel ends with success.
  std::string script = "set -o pipefail; '" + std::string(TESSEL_BINARY) +
                       "' watch --json --interval 0.2 | head -n 2";
  const test::Finished piped =
      test::runProgram("/bin/bash", {"-c", script}, "", home.environment());
  EXPECT_EQ(piped.exitStatus, 0) << piped.err;
  std::istringstream lines(piped.out);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    const Object snapshot = Object::parse(line, nullptr, false);
    ASSERT_TRUE(snapshot.is_object()) << line;
    EXPECT_TRUE(snapshot.contains("sessions"));
    ++count;
  }
  EXPECT_EQ(count, 2);

  // Interrupted, it ends with success too.
  script = "'" + std::string(TESSEL_BINARY) + "' watch --json --interval 0.2 > '" +
           (home.dir / "out") + "' & pid=$!; until [ -s '" + (home.dir / "out") +
           "' ]; do sleep 0.05; done; kill -INT $pid; wait $pid";
  const test::Finished interrupted =
      test::runProgram("/bin/bash", {"-c", script}, "", home.environment());
  EXPECT_EQ(interrupted.exitStatus, 0) << interrupted.err;
  EXPECT_EQ(test::runProgram(TESSEL_BINARY, {"watch", "--interval", "0"}, "", home.environment())
                .exitStatus,
            1);
}

}  // namespace
}  // namespace tessel
