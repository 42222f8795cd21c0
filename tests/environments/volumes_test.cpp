#include "environments/volumes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "support/fake_tools.h"
#include "util/calendar.h"

namespace tessel {
namespace {

using Calls = std::vector<std::vector<std::string>>;
using Use = ContainerVolume::Use;

const std::string anonymous = "ada6660c265edeb8e05e2866217586676bcfb9def1df6698d1287cc26cb1bd69";
const std::string dbId = "6a60e1efef73c44a25a919350eca322a3f4946fcfa399cb860a46054f1a68aa9";
const std::string apiId = "4319b2a55933f01f31d8b6d8c75799a3a4385b26e342d33b6786596a0d2cc070";
const std::string idleId = "0c2dd01c63ffc4367ba2bfea0f1036124aad0743a2a3054f1ab8067bb68b3378";

const std::string diskUsage =
    R"({"Images":[{"Containers":"1","CreatedAt":"2026-11-20 10:02:11 +0100 CET","CreatedSince":"2 weeks ago","Digest":"\u003cnone\u003e","ID":"sha256:63cd857685aba6902034ce363034e7e6e984c632d5f02c1372476a59b657bc89","Repository":"postgres","SharedSize":"0B","Size":"276.1MB","Tag":"16-alpine","UniqueSize":"276.1MB","VirtualSize":"276.1MB"}],)"
    R"("Containers":[],"Volumes":[)"
    R"({"Availability":"N/A","Driver":"local","Group":"N/A","Labels":"com.docker.compose.volume=pgdata,com.example.backup=nightly,weekly,com.docker.compose.project=shop,com.docker.compose.version=2.29.7","Links":"1","Mountpoint":"/var/lib/docker/volumes/shop_pgdata/_data","Name":"shop_pgdata","Scope":"local","Size":"196.4MB","Status":"N/A"},)"
    R"({"Availability":"N/A","Driver":"local","Group":"N/A","Labels":"com.docker.volume.anonymous=","Links":"1","Mountpoint":"/var/lib/docker/volumes/ada6660c265edeb8e05e2866217586676bcfb9def1df6698d1287cc26cb1bd69/_data","Name":"ada6660c265edeb8e05e2866217586676bcfb9def1df6698d1287cc26cb1bd69","Scope":"local","Size":"412.7MB","Status":"N/A"},)"
    R"({"Availability":"N/A","Driver":"local","Group":"N/A","Labels":"","Links":"N/A","Mountpoint":"/var/lib/docker/volumes/models/_data","Name":"models","Scope":"local","Size":"N/A","Status":"N/A"}],"BuildCache":[]})";

const std::string volumeInspect = R"([
    {
        "CreatedAt": "2026-11-28T09:14:03+01:00",
        "Driver": "local",
        "Labels": {
            "com.docker.compose.project": "shop",
            "com.docker.compose.version": "2.29.7",
            "com.docker.compose.volume": "pgdata",
            "com.example.backup": "nightly,weekly"
        },
        "Mountpoint": "/var/lib/docker/volumes/shop_pgdata/_data",
        "Name": "shop_pgdata",
        "Options": null,
        "Scope": "local"
    },
    {
        "CreatedAt": "2026-12-05T17:49:10Z",
        "Driver": "local",
        "Labels": {
            "com.docker.volume.anonymous": ""
        },
        "Mountpoint": "/var/lib/docker/volumes/ada6660c265edeb8e05e2866217586676bcfb9def1df6698d1287cc26cb1bd69/_data",
        "Name": "ada6660c265edeb8e05e2866217586676bcfb9def1df6698d1287cc26cb1bd69",
        "Options": null,
        "Scope": "local"
    },
    {
        "CreatedAt": "2026-10-02T08:00:41Z",
        "Driver": "local",
        "Labels": null,
        "Mountpoint": "/var/lib/docker/volumes/models/_data",
        "Name": "models",
        "Options": null,
        "Scope": "local"
    }
]
)";

// `text` with each "@KEY@" replaced by its value.
std::string filled(std::string text, const std::map<std::string, std::string>& values) {
  for (const auto& [key, value] : values) {
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at)) {
      text.replace(at, key.size(), value);
      at += value.size();
    }
  }
  return text;
}

std::string volumeMount(const std::string& name, const std::string& destination) {
  return filled(R"(
            {
                "Type": "volume",
                "Name": "@NAME@",
                "Source": "/var/lib/docker/volumes/@NAME@/_data",
                "Destination": "@DESTINATION@",
                "Driver": "local",
                "Mode": "z",
                "RW": true,
                "Propagation": ""
            })",
                {{"@NAME@", name}, {"@DESTINATION@", destination}});
}

// One container as `docker inspect` prints it inside its array; `mounts` joined by ",".
std::string container(const std::string& id, const std::string& name, const std::string& image,
                      const std::string& status, const std::string& started,
                      const std::string& finished, const std::string& mounts) {
  const bool running = status == "running";
  return filled(R"(    {
        "Id": "@ID@",
        "Created": "2026-11-28T08:14:02.513802211Z",
        "Path": "docker-entrypoint.sh",
        "Args": [],
        "State": {
            "Status": "@STATUS@",
            "Running": @RUNNING@,
            "Paused": false,
            "Restarting": false,
            "OOMKilled": false,
            "Dead": false,
            "Pid": @PID@,
            "ExitCode": 0,
            "Error": "",
            "StartedAt": "@STARTED@",
            "FinishedAt": "@FINISHED@"
        },
        "Image": "sha256:63cd857685aba6902034ce363034e7e6e984c632d5f02c1372476a59b657bc89",
        "Name": "/@NAME@",
        "RestartCount": 0,
        "Driver": "overlay2",
        "Platform": "linux",
        "Mounts": [@MOUNTS@
        ],
        "Config": {
            "Hostname": "@HOST@",
            "Image": "@IMAGE@",
            "Labels": {}
        }
    })",
                {{"@ID@", id},
                 {"@STATUS@", status},
                 {"@RUNNING@", running ? "true" : "false"},
                 {"@PID@", running ? "48213" : "0"},
                 {"@STARTED@", started},
                 {"@FINISHED@", finished},
                 {"@NAME@", name},
                 {"@MOUNTS@", mounts},
                 {"@HOST@", id.substr(0, 12)},
                 {"@IMAGE@", image}});
}

const std::string never = "0001-01-01T00:00:00Z";
const std::string apiStarted = "2026-12-05T17:49:12.771403918Z";
const std::string bindMount = R"(
            {
                "Type": "bind",
                "Source": "/home/dev/shop/api",
                "Destination": "/app",
                "Mode": "rw",
                "RW": true,
                "Propagation": "rprivate"
            },)";

const std::string containerInspect =
    "[\n" +
    container(idleId, "eager_turing", "python:3.12-slim", "created", never, never,
              volumeMount("models", "/models")) +
    ",\n" +
    container(apiId, "shop-api-1", "ghcr.io/acme/shop-api:1.4.2", "running", apiStarted, never,
              bindMount + volumeMount(anonymous, "/app/node_modules") + "," +
                  volumeMount(anonymous, "/app/.cache")) +
    ",\n" +
    container(dbId, "shop-db-1", "postgres:16-alpine", "exited", "2026-12-05T08:02:17.118201844Z",
              "2026-12-05T16:40:55.903117245Z",
              volumeMount("shop_pgdata", "/var/lib/postgresql/data")) +
    "\n]\n";

const std::string notRunning =
    "Cannot connect to the Docker daemon at unix:///var/run/docker.sock. Is the docker daemon "
    "running?\n";

// Every command of a scan answering with its fixture.
std::vector<test::Reply> healthyDocker() {
  return {{.pattern = "system df -v --format {{json .}}", .out = diskUsage},
          {.pattern = "volume inspect *", .out = volumeInspect},
          {.pattern = "ps -aq --no-trunc", .out = idleId + "\n" + apiId + "\n" + dbId + "\n"},
          {.pattern = "inspect *", .out = containerInspect}};
}

// A scan against a docker answering with `replies`, and the argument lists it was given.
std::pair<Volumes::Scan, Calls> scanWith(const std::vector<test::Reply>& replies) {
  test::FakeTools tools;
  tools.add("docker", replies);
  auto scan = Volumes::docker(tools.runner());
  return {std::move(scan), tools.calls("docker")};
}

double seconds(const std::optional<Date>& date) {
  return date ? date->secondsSince1970() : std::nan("");
}

double utc(int month, int day, int hour, int minute, double second) {
  return Calendar::utcSeconds(2026, month, day, hour, minute, second);
}

TEST(Volumes, ParsersSkipWhatIsMissingOrMistyped) {
  // "N/A" is an unknown size, "-1B" (a driver that cannot measure) a size of 0.
  const auto volumes = Volumes::parseDiskUsage(
      R"({"Volumes":[{"Name":7},{"Size":"1GB"},{"Name":"models","Size":"N/A","Labels":""},)"
      R"({"Name":"nfs-share","Size":"-1B","Labels":null}]})");
  ASSERT_EQ(volumes.size(), 2u);
  EXPECT_EQ(volumes[0].size, std::nullopt);
  EXPECT_EQ(volumes[1].size, 0);
  EXPECT_TRUE(volumes[1].labels.empty());
  EXPECT_TRUE(Volumes::parseDiskUsage(R"({"Images":[],"Volumes":null})").empty());
  EXPECT_TRUE(Volumes::parseDiskUsage(diskUsage.substr(0, diskUsage.size() / 2)).empty());

  const auto inspections = Volumes::parseVolumeInspect(R"([
    {"Driver": "vieux/sshfs", "Labels": {"team": "data", "replicas": 3}, "Name": "remote"},
    {"CreatedAt": "2026-10-02T08:00:41Z", "Driver": "local", "Labels": null, "Name": "models"},
    {"CreatedAt": "2026-10-02T08:00:41Z", "Driver": "local"}
])");
  ASSERT_EQ(inspections.size(), 2u);
  EXPECT_EQ(inspections.at("remote"),
            (Volumes::Inspection{.labels = {{"team", "data"}}, .driver = "vieux/sshfs"}));
  EXPECT_NEAR(seconds(inspections.at("models").created), utc(10, 2, 8, 0, 41), 1e-3);
  EXPECT_TRUE(Volumes::parseVolumeInspect("Error: No such volume: models\n").empty());

  const auto users = Volumes::parseContainerMounts(containerInspect);
  ASSERT_EQ(users.size(), 3u);
  // Mounted at two paths, a volume has a user per mount; the bind mount adds none.
  ASSERT_EQ(users.at(anonymous).size(), 2u);
  EXPECT_EQ(users.at(anonymous)[0], users.at(anonymous)[1]);
  EXPECT_EQ(users.at(anonymous)[0].image, "acme/shop-api:1.4.2");
  // Never started: the engine's year-1 times are no dates at all.
  EXPECT_EQ(
      users.at("models").at(0),
      (ContainerVolume::User{.id = idleId, .name = "eager_turing", .image = "python:3.12-slim"}));
  EXPECT_TRUE(Volumes::parseContainerMounts(
                  R"([{"Name": "/x", "Mounts": [{"Type": "volume", "Name": "v"}]}])")
                  .empty());
}

TEST(Volumes, FirstLineNamesWhyACommandFailed) {
  const auto result = [](int32_t status, std::string out, std::string err, bool timedOut) {
    return Shell::Result{
        .status = status, .out = std::move(out), .err = std::move(err), .timedOut = timedOut};
  };
  EXPECT_EQ(Volumes::firstLine(result(15, "", "partial\n", true)), "it took too long");
  EXPECT_EQ(Volumes::firstLine(result(1, "ignored\n",
                                      "\n  Error response from daemon: remove models: volume is "
                                      "in use\nsecond line\n",
                                      false)),
            "Error response from daemon: remove models: volume is in use");
  EXPECT_EQ(Volumes::firstLine(result(1, "only out\nmore", " \n", false)), "only out");
  EXPECT_EQ(Volumes::firstLine(result(125, "", "", false)), "exit 125");
}

TEST(Volumes, ComputedPropertiesFollowLabelsAndUsers) {
  const ContainerVolume blankLabels{
      .name = "cache",
      .labels = {{"com.docker.compose.project", ""}, {"com.docker.compose.volume", ""}}};
  EXPECT_EQ(blankLabels.project(), std::nullopt);
  EXPECT_EQ(blankLabels.displayName(), "cache");
  // Anonymous by label, or by a 64-hex name from engines that did not label them.
  EXPECT_EQ(ContainerVolume{.name = anonymous}.displayName(), "ada6660c265e");
  EXPECT_FALSE(ContainerVolume{.name = anonymous.substr(1) + "g"}.isAnonymous());
  const std::map<std::string, std::string> anonymousLabel{{"com.docker.volume.anonymous", ""}};
  EXPECT_TRUE((ContainerVolume{.name = "scratch", .labels = anonymousLabel}.isAnonymous()));

  const Date now(utc(12, 6, 9, 0, 0));
  ContainerVolume used{.name = "data", .created = Date(utc(10, 1, 0, 0, 0))};
  EXPECT_EQ(used.lastUsed(now), Date(utc(10, 1, 0, 0, 0)));
  used.users = {{.id = "a", .started = Date(utc(11, 1, 0, 0, 0))}};
  EXPECT_EQ(used.use(), Use::stopped);
  EXPECT_EQ(used.lastUsed(now), Date(utc(11, 1, 0, 0, 0)));
  // A finish, or the Monitor's sighting, outranks any later start or creation.
  used.created = Date(utc(12, 1, 0, 0, 0));
  used.users.push_back({.id = "b", .finished = Date(utc(11, 20, 0, 0, 0))});
  EXPECT_EQ(used.lastUsed(now), Date(utc(11, 20, 0, 0, 0)));
  used.lastSeenInUse = Date(utc(11, 25, 0, 0, 0));
  EXPECT_EQ(used.lastUsed(now), Date(utc(11, 25, 0, 0, 0)));
  used.users.push_back({.id = "c", .isRunning = true});
  EXPECT_EQ(used.use(), Use::running);
  EXPECT_EQ(used.lastUsed(now), now);
  EXPECT_EQ(ContainerVolume{.name = "bare"}.lastUsed(now), std::nullopt);
}

TEST(Volumes, ScanJoinsDiskUsageInspectionAndContainers) {
  const Date before = Date::now();
  const auto [scan, calls] = scanWith(healthyDocker());

  EXPECT_EQ(calls, (Calls{{"system", "df", "-v", "--format", "{{json .}}"},
                          {"volume", "inspect", "shop_pgdata", anonymous, "models"},
                          {"ps", "-aq", "--no-trunc"},
                          {"inspect", idleId, apiId, dbId}}));
  EXPECT_EQ(scan.note, std::nullopt);
  EXPECT_GE(scan.date, before);
  ASSERT_EQ(scan.volumes.size(), 3u);
  const auto& db = scan.volumes[0];
  EXPECT_EQ(db.id(), "Docker:shop_pgdata");
  EXPECT_EQ(db.size, 196400000);
  EXPECT_NEAR(seconds(db.created), utc(11, 28, 8, 14, 3), 1e-3);
  EXPECT_EQ(db.displayName(), "pgdata");
  EXPECT_EQ(db.project(), "shop");
  EXPECT_EQ(db.labels.at("com.example.backup"), "nightly,weekly");
  ASSERT_EQ(db.users.size(), 1u);
  EXPECT_EQ(db.users[0].name, "shop-db-1");
  EXPECT_NEAR(seconds(db.users[0].finished), utc(12, 5, 16, 40, 55.903), 1e-3);
  EXPECT_EQ(db.use(), Use::stopped);

  const auto& anonymousVolume = scan.volumes[1];
  EXPECT_EQ(anonymousVolume.displayName(), "ada6660c265e");
  ASSERT_EQ(anonymousVolume.users.size(), 2u);
  EXPECT_TRUE(anonymousVolume.users[0].isRunning);
  EXPECT_NEAR(seconds(anonymousVolume.users[0].started), utc(12, 5, 17, 49, 12.771), 1e-3);
  EXPECT_EQ(anonymousVolume.lastUsed(Date(utc(12, 6, 0, 0, 0))), Date(utc(12, 6, 0, 0, 0)));

  const auto& models = scan.volumes[2];
  EXPECT_EQ(models.size, std::nullopt);
  EXPECT_EQ(models.displayName(), "models");
  EXPECT_EQ(models.use(), Use::stopped);
  EXPECT_NEAR(seconds(models.created), utc(10, 2, 8, 0, 41), 1e-3);
}

TEST(Volumes, ScanDegradesOneCommandAtATime) {
  {
    test::FakeTools noDocker;
    const auto scan = Volumes::docker(noDocker.runner());
    EXPECT_EQ(scan.note, "Docker isn’t installed.");
    EXPECT_TRUE(scan.volumes.empty());
  }
  const Calls diskUsageOnly{{"system", "df", "-v", "--format", "{{json .}}"}};
  auto [scan, calls] = scanWith({{.pattern = "*", .err = notRunning, .status = 1}});
  EXPECT_EQ(scan.note, "Docker isn’t running.");
  EXPECT_TRUE(scan.volumes.empty());
  EXPECT_EQ(calls, diskUsageOnly);

  std::tie(scan, calls) =
      scanWith({{.pattern = "system df -v --format {{json .}}",
                 .out = R"({"Images":[],"Containers":[],"Volumes":[],"BuildCache":[]})"}});
  EXPECT_EQ(scan, (Volumes::Scan{.date = scan.date}));
  EXPECT_EQ(calls, diskUsageOnly);

  // Without the volume inspection: no creation dates and the default driver, but users.
  auto replies = healthyDocker();
  // A volume gone since `system df` fails the inspection, though the rest is printed.
  replies[1] = {.pattern = "volume inspect *",
                .out = volumeInspect.substr(0, volumeInspect.rfind(",\n    {")) + "\n]\n",
                .err = "Error response from daemon: get models: no such volume\n",
                .status = 1};
  std::tie(scan, calls) = scanWith(replies);
  ASSERT_EQ(scan.volumes.size(), 3u);
  for (const auto& volume : scan.volumes) {
    EXPECT_EQ(volume.created, std::nullopt);
    EXPECT_EQ(volume.driver, "local");
  }
  EXPECT_EQ(scan.volumes[0].project(), "shop");
  // Label values with commas come out whole only from the inspection.
  EXPECT_EQ(scan.volumes[0].labels.at("com.example.backup"), "nightly");
  EXPECT_EQ(scan.volumes[1].use(), Use::running);

  // Without the container list nothing is inspected and every volume counts as unused.
  replies = healthyDocker();
  replies[2] = {.pattern = "ps -aq --no-trunc", .err = notRunning, .status = 1};
  std::tie(scan, calls) = scanWith(replies);
  EXPECT_EQ(calls.size(), 3u);
  ASSERT_EQ(scan.volumes.size(), 3u);
  for (const auto& volume : scan.volumes) EXPECT_EQ(volume.use(), Use::unused);

  // A container gone since the listing fails the inspection, though the rest is printed.
  replies = healthyDocker();
  replies[3] = {.pattern = "inspect *",
                .out = "[\n" +
                       container(apiId, "shop-api-1", "ghcr.io/acme/shop-api:1.4.2", "running",
                                 apiStarted, never, volumeMount(anonymous, "/app/node_modules")) +
                       "\n]\n",
                .err = "Error: No such object: " + dbId + "\n",
                .status = 1};
  std::tie(scan, calls) = scanWith(replies);
  EXPECT_EQ(calls.size(), 4u);
  ASSERT_EQ(scan.volumes.size(), 3u);
  for (const auto& volume : scan.volumes) EXPECT_TRUE(volume.users.empty());
}

TEST(Volumes, RemovalClearsStoppedUsersThenReportsEachVolume) {
  {
    test::FakeTools noDocker;
    EXPECT_EQ(Volumes::remove(noDocker.runner(), {ContainerVolume{.name = "models"}}),
              (Volumes::Outcome{.failures = {"Docker isn’t installed."}}));
  }
  const auto volumes = scanWith(healthyDocker()).first.volumes;
  test::FakeTools tools;
  tools.add("docker", {{.pattern = "rm *", .out = dbId + "\n" + idleId + "\n"},
                       {.pattern = "volume rm shop_pgdata", .out = "shop_pgdata\n"},
                       {.pattern = "volume rm models", .out = "models\n"},
                       {.pattern = "volume rm *",
                        .err = "Error response from daemon: remove " + anonymous +
                               ": volume is in use - [" + apiId + "]\n",
                        .status = 1}});
  const ToolRunner runner = tools.runner();
  const auto outcome = Volumes::remove(runner, volumes);
  EXPECT_EQ(tools.calls("docker"), (Calls{{"rm", dbId, idleId},
                                          {"volume", "rm", "shop_pgdata"},
                                          {"volume", "rm", anonymous},
                                          {"volume", "rm", "models"}}));
  EXPECT_EQ(outcome.deleted, (std::vector<std::string>{"shop_pgdata", "models"}));
  // The unmeasured "models" adds nothing.
  EXPECT_EQ(outcome.freed, 196400000);
  EXPECT_EQ(outcome.failures,
            (std::vector<std::string>{"ada6660c265e: Error response from daemon: remove " +
                                      anonymous + ": volume is in use - [" + apiId + "]"}));

  // A failed container removal still lets every volume be tried; without stopped users
  // no container is removed at all.
  tools.add("docker", {{.pattern = "rm *",
                        .err = "Error response from daemon: No such container: " + dbId + "\n",
                        .status = 1},
                       {.pattern = "volume rm *", .status = 1}});
  ContainerVolume held{.name = "shop_pgdata", .users = {{.id = dbId}}};
  EXPECT_EQ(Volumes::remove(runner, {held, ContainerVolume{.name = "models"}}),
            (Volumes::Outcome{.failures = {"shop_pgdata: exit 1", "models: exit 1"}}));
  held.users[0].isRunning = true;
  const size_t removals = tools.calls("docker", "rm").size();
  Volumes::remove(runner, {held});
  EXPECT_EQ(tools.calls("docker", "rm").size(), removals);
}

}  // namespace
}  // namespace tessel
