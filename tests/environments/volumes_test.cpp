#include "environments/volumes.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "environments/environments.h"
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
    R"({"Images":[{"Containers":"1","CreatedAt":"2026-11-20 10:02:11 +0100 CET","ID":"sha256:63cd857685aba6902034ce363034e7e6e984c632d5f02c1372476a59b657bc89","Repository":"postgres","Size":"276.1MB","Tag":"16-alpine"}],)"
    R"("Containers":[],"Volumes":[)"
    R"({"Availability":"N/A","Driver":"local","Group":"N/A","Labels":"com.docker.compose.volume=pgdata,com.example.backup=nightly,weekly,com.docker.compose.project=shop,com.docker.compose.version=2.29.7","Links":"1","Mountpoint":"/var/lib/docker/volumes/shop_pgdata/_data","Name":"shop_pgdata","Scope":"local","Size":"196.4MB","Status":"N/A"},)"
    R"({"Availability":"N/A","Driver":"local","Group":"N/A","Labels":"com.docker.volume.anonymous=","Links":"1","Mountpoint":"/var/lib/docker/volumes/ada6660c265edeb8e05e2866217586676bcfb9def1df6698d1287cc26cb1bd69/_data","Name":"ada6660c265edeb8e05e2866217586676bcfb9def1df6698d1287cc26cb1bd69","Scope":"local","Size":"412.7MB","Status":"N/A"},)"
    R"({"Availability":"N/A","Driver":"local","Group":"N/A","Labels":"","Links":"N/A","Mountpoint":"/var/lib/docker/volumes/models/_data","Name":"models","Scope":"local","Size":"N/A","Status":"N/A"}],"BuildCache":[]})";

const std::string volumeInspect = R"([
    {"CreatedAt": "2026-11-28T09:14:03+01:00", "Driver": "local", "Name": "shop_pgdata",
     "Labels": {"com.docker.compose.project": "shop", "com.docker.compose.volume": "pgdata",
                "com.example.backup": "nightly,weekly"}},
    {"CreatedAt": "2026-12-05T17:49:10Z", "Driver": "local",
     "Labels": {"com.docker.volume.anonymous": ""}, "Name": "ada6660c265edeb8e05e2866217586676bcfb9def1df6698d1287cc26cb1bd69"},
    {"CreatedAt": "2026-10-02T08:00:41Z", "Driver": "local", "Labels": null, "Name": "models"}
]
)";

// Three containers as `docker inspect` prints them: one never started, one running that
// mounts a volume at two paths besides a bind mount, one stopped.
const std::string containerInspect = R"([
    {"Id": "0c2dd01c63ffc4367ba2bfea0f1036124aad0743a2a3054f1ab8067bb68b3378", "Name": "/eager_turing",
     "State": {"Status": "created", "Running": false, "StartedAt": "0001-01-01T00:00:00Z",
               "FinishedAt": "0001-01-01T00:00:00Z"},
     "Mounts": [{"Type": "volume", "Name": "models", "Destination": "/models"}],
     "Config": {"Image": "python:3.12-slim", "Labels": {}}},
    {"Id": "4319b2a55933f01f31d8b6d8c75799a3a4385b26e342d33b6786596a0d2cc070", "Name": "/shop-api-1",
     "State": {"Status": "running", "Running": true, "StartedAt": "2026-12-05T17:49:12.771403918Z",
               "FinishedAt": "0001-01-01T00:00:00Z"},
     "Mounts": [
        {"Type": "bind", "Source": "/home/dev/shop/api", "Destination": "/app"},
        {"Type": "volume", "Name": "ada6660c265edeb8e05e2866217586676bcfb9def1df6698d1287cc26cb1bd69", "Destination": "/app/node_modules"},
        {"Type": "volume", "Name": "ada6660c265edeb8e05e2866217586676bcfb9def1df6698d1287cc26cb1bd69", "Destination": "/app/.cache"}],
     "Config": {"Image": "ghcr.io/acme/shop-api:1.4.2"}},
    {"Id": "6a60e1efef73c44a25a919350eca322a3f4946fcfa399cb860a46054f1a68aa9", "Name": "/shop-db-1",
     "State": {"Status": "exited", "Running": false, "StartedAt": "2026-12-05T08:02:17.118201844Z",
               "FinishedAt": "2026-12-05T16:40:55.903117245Z"},
     "Mounts": [{"Type": "volume", "Name": "shop_pgdata", "Destination": "/var/lib/postgresql/data"}],
     "Config": {"Image": "postgres:16-alpine"}}
]
)";

// `text` without its array's last element.
std::string withoutLast(const std::string& text) {
  return text.substr(0, text.rfind(",\n    {")) + "\n]\n";
}

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

// Midnight UTC of a day in 2026.
Date day(int month, int day) { return Date(Calendar::utcSeconds(2026, month, day, 0, 0, 0)); }

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

  EXPECT_EQ(Volumes::parseVolumeInspect(R"([
    {"Driver": "vieux/sshfs", "Labels": {"team": "data", "replicas": 3}, "Name": "remote"},
    {"CreatedAt": "2026-10-02T08:00:41Z", "Driver": "local"}, "models"])"),
            (std::map<std::string, Volumes::Inspection>{
                {"remote", {.labels = {{"team", "data"}}, .driver = "vieux/sshfs"}}}));
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
  using Shell::Result;
  EXPECT_EQ(Volumes::firstLine(Result{.status = 15, .err = "partial\n", .timedOut = true}),
            "it took too long");
  EXPECT_EQ(Volumes::firstLine(Result{.status = 1,
                                      .out = "ignored\n",
                                      .err = "\n  Error response from daemon: volume is in use\n"
                                             "second line\n"}),
            "Error response from daemon: volume is in use");
  EXPECT_EQ(Volumes::firstLine(Result{.status = 1, .out = "only out\nmore", .err = " \n"}),
            "only out");
}

TEST(Volumes, NamesAndLastUseFollowLabelsAndUsers) {
  const ContainerVolume blankLabels{
      .name = "cache",
      .labels = {{"com.docker.compose.project", ""}, {"com.docker.compose.volume", ""}}};
  EXPECT_EQ(blankLabels.project(), std::nullopt);
  EXPECT_EQ(blankLabels.displayName(), "cache");
  // Anonymous by label, or by a 64-hex name from engines that did not label them.
  EXPECT_EQ(ContainerVolume{.name = anonymous}.displayName(), "ada6660c265e");
  EXPECT_FALSE(ContainerVolume{.name = anonymous.substr(1) + "g"}.isAnonymous());
  EXPECT_TRUE((ContainerVolume{.name = "scratch", .labels = {{"com.docker.volume.anonymous", ""}}}
                   .isAnonymous()));

  const Date now = day(12, 6) + 9 * 3600;
  ContainerVolume used{.name = "data", .created = day(10, 1)};
  EXPECT_EQ(used.lastUsed(now), day(10, 1));
  used.users = {{.id = "a", .started = day(11, 1)}};
  EXPECT_EQ(used.lastUsed(now), day(11, 1));
  // A finish, or the Monitor's sighting, outranks any later start or creation.
  used.created = day(12, 1);
  used.users.push_back({.id = "b", .finished = day(11, 20)});
  EXPECT_EQ(used.lastUsed(now), day(11, 20));
  used.lastSeenInUse = day(11, 25);
  EXPECT_EQ(used.lastUsed(now), day(11, 25));
  EXPECT_EQ(used.use(), Use::stopped);
  used.users.push_back({.id = "c", .isRunning = true});
  EXPECT_EQ(used.use(), Use::running);
  EXPECT_EQ(used.lastUsed(now), now);
  EXPECT_EQ(ContainerVolume{.name = "bare"}.lastUsed(now), std::nullopt);
}

TEST(Volumes, ScanJoinsDiskUsageInspectionAndContainers) {
  const auto [scan, calls] = scanWith(healthyDocker());
  EXPECT_EQ(calls, (Calls{{"system", "df", "-v", "--format", "{{json .}}"},
                          {"volume", "inspect", "shop_pgdata", anonymous, "models"},
                          {"ps", "-aq", "--no-trunc"},
                          {"inspect", idleId, apiId, dbId}}));
  EXPECT_EQ(scan.note, std::nullopt);
  ASSERT_EQ(scan.volumes.size(), 3u);
  const auto& db = scan.volumes[0];
  EXPECT_EQ(db.size, 196400000);
  EXPECT_EQ(db.created, Date(Calendar::utcSeconds(2026, 11, 28, 8, 14, 3)));
  EXPECT_EQ(db.displayName(), "pgdata");
  EXPECT_EQ(db.project(), "shop");
  EXPECT_EQ(db.labels.at("com.example.backup"), "nightly,weekly");
  EXPECT_EQ(db.users, (std::vector<ContainerVolume::User>{
                          {.id = dbId,
                           .name = "shop-db-1",
                           .image = "postgres:16-alpine",
                           .started = Calendar::rfc3339("2026-12-05T08:02:17.118201844Z"),
                           .finished = Calendar::rfc3339("2026-12-05T16:40:55.903117245Z")}}));
  EXPECT_EQ(scan.volumes[1].use(), Use::running);
  // A container that never ran still holds its volume.
  EXPECT_EQ(scan.volumes[2].use(), Use::stopped);
  EXPECT_EQ(scan.volumes[2].created, Date(Calendar::utcSeconds(2026, 10, 2, 8, 0, 41)));
}

TEST(Volumes, ScanDegradesOneCommandAtATime) {
  EXPECT_EQ(Volumes::docker(test::FakeTools().runner()).note, "Docker isn’t installed.");
  const Calls diskUsageOnly{{"system", "df", "-v", "--format", "{{json .}}"}};
  auto [scan, calls] = scanWith({{.pattern = "*", .err = notRunning, .status = 1}});
  EXPECT_EQ(scan, (Volumes::Scan{.note = "Docker isn’t running.", .date = scan.date}));
  EXPECT_EQ(calls, diskUsageOnly);

  std::tie(scan, calls) =
      scanWith({{.pattern = "system df -v --format {{json .}}",
                 .out = R"({"Images":[],"Containers":[],"Volumes":[],"BuildCache":[]})"}});
  EXPECT_EQ(scan, (Volumes::Scan{.date = scan.date}));
  EXPECT_EQ(calls, diskUsageOnly);

  // Without the volume inspection: no creation dates and the default driver, but users.
  // A volume gone since `system df` fails the inspection, though the rest is printed.
  auto replies = healthyDocker();
  replies[1] = {.pattern = "volume inspect *",
                .out = withoutLast(volumeInspect),
                .err = "Error response from daemon: get models: no such volume\n",
                .status = 1};
  std::tie(scan, calls) = scanWith(replies);
  ASSERT_EQ(scan.volumes.size(), 3u);
  for (const auto& volume : scan.volumes) {
    EXPECT_EQ(volume.created, std::nullopt);
    EXPECT_EQ(volume.driver, "local");
  }
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
                .out = withoutLast(containerInspect),
                .err = "Error: No such object: " + dbId + "\n",
                .status = 1};
  std::tie(scan, calls) = scanWith(replies);
  ASSERT_EQ(scan.volumes.size(), 3u);
  for (const auto& volume : scan.volumes) EXPECT_TRUE(volume.users.empty());
}

TEST(Volumes, RemovalClearsStoppedUsersThenReportsEachVolume) {
  EXPECT_EQ(Volumes::remove(test::FakeTools().runner(), {ContainerVolume{.name = "models"}}),
            (Volumes::Outcome{.failures = {"Docker isn’t installed."}}));
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
  // The unmeasured "models" frees nothing that counts.
  EXPECT_EQ(Volumes::remove(runner, volumes),
            (Volumes::Outcome{.deleted = {"shop_pgdata", "models"},
                              .freed = 196400000,
                              .failures = {"ada6660c265e: Error response from daemon: remove " +
                                           anonymous + ": volume is in use - [" + apiId + "]"}}));
  EXPECT_EQ(tools.calls("docker"), (Calls{{"rm", dbId, idleId},
                                          {"volume", "rm", "shop_pgdata"},
                                          {"volume", "rm", anonymous},
                                          {"volume", "rm", "models"}}));

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
