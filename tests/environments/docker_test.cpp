#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "environments/environments.h"
#include "install/container_hook_installer.h"
#include "support/fake_tools.h"
#include "support/temp_dir.h"
#include "util/calendar.h"

namespace tessel {
namespace {

using namespace Environments;
using test::FakeTools;
using test::Reply;
using test::TempDir;
using Calls = std::vector<std::vector<std::string>>;
using Words = std::vector<std::string>;

const std::string dbId = "7bdc25d1694ef984782a16f6f1710c1c6bc83ba7a131b515baf532bea021d011";
const std::string devId = "ef260e9aa3c673af240d17a2660480361a8e081d1ffeca2a5ed0e3219fc18567";
const std::string bareId = "9b828d53402d6e332ef05a2fe03063b359192571ba99fcd3b85074f46a72fd7e";

const std::string psArguments = "ps --no-trunc --format {{json .}}";
const std::string statsArguments = "stats --no-stream --no-trunc --format {{json .}}";
const std::string inspectFormat = "{{.Id}} {{.State.StartedAt}}";

// `docker ps` as the CLI prints it: keys sorted, "->" escaped, one object per line. A
// line cut short sits between the containers; the last one lacks Names and State.
std::string psOutput(const std::string& devFolder) {
  return R"j({"Command":"\"docker-entrypoint.sh postgres\"","CreatedAt":"2026-12-05 18:51:13 +0100 CET","ID":"7bdc25d1694ef984782a16f6f1710c1c6bc83ba7a131b515baf532bea021d011","Image":"postgres:16-alpine","Labels":"com.docker.compose.depends_on=,com.docker.compose.oneoff=False,com.docker.compose.project.working_dir=/home/ana/src/shop-api,com.docker.compose.project=shop-api,com.docker.compose.service=db","LocalVolumes":"1","Mounts":"shop-api_pgdata","Names":"shop-api-db-1","Networks":"shop-api_default","Platform":null,"Ports":"0.0.0.0:5432-\u003e5432/tcp, [::]:5432-\u003e5432/tcp","RunningFor":"3 hours ago","Size":"0B","State":"running","Status":"Up 3 hours (healthy)"}
{"Command":"\"redis-server\"","CreatedAt":"2026-12-05 1
{"Command":"\"/bin/sh -c 'echo Container started'\"","CreatedAt":"2026-12-05 14:02:55 +0100 CET","ID":"ef260e9aa3c673af240d17a2660480361a8e081d1ffeca2a5ed0e3219fc18567","Image":"vsc-webshop-3b8e2f1c0d9a7e6b5c4d3e2f1a0b9c8d-uid","Labels":"devcontainer.local_folder=)j" +
         devFolder +
         R"j(,devcontainer.metadata=[{\"id\":\"ghcr.io/devcontainers/features/node:1\"},{\"remoteUser\":\"node\"}]","Names":"gifted_lovelace","Ports":"","State":"running","Status":"Up 6 hours"}
{"Command":"\"sleep infinity\"","CreatedAt":"2026-12-05 17:30:02 +0100 CET","ID":"9b828d53402d6e332ef05a2fe03063b359192571ba99fcd3b85074f46a72fd7e","Image":"public.ecr.aws/docker/library/alpine:3.20","Labels":"com.supabase.cli.project=shop-api","LocalVolumes":"0","Mounts":"","Networks":"bridge","Platform":null,"Ports":"","RunningFor":"2 hours ago","Size":"0B","Status":"Up 2 hours"}
)j";
}

// The second line is an older engine's, with only the short id.
const std::string statsOutput =
    R"j({"BlockIO":"41.2MB / 1.02GB","CPUPerc":"12.34%","Container":"7bdc25d1694e","ID":"7bdc25d1694ef984782a16f6f1710c1c6bc83ba7a131b515baf532bea021d011","MemPerc":"19.74%","MemUsage":"1.5GiB / 7.6GiB","Name":"shop-api-db-1","NetIO":"18.7MB / 2.31MB","PIDs":"37"}
{"BlockIO":"0B / 4.1kB","CPUPerc":"112.48%","Container":"ef260e9aa3c6","MemPerc":"8.48%","MemUsage":"660MiB / 7.6GiB","Name":"gifted_lovelace","NetIO":"3.2kB / 0B","PIDs":"12"}
)j";

const std::string inspectOutput = dbId + " 2026-12-05T17:51:14.402817733Z\n" + devId +
                                  " 2026-12-05T13:02:56.9Z\n" + bareId +
                                  " 2026-12-05T16:30:02.731009562Z\n";

const std::string topOutput =
    "PID                 COMMAND\n"
    "48213               /bin/sh -c echo Container started\n"
    "49102               claude\n"
    "49377               node /usr/local/share/npm-global/lib/node_modules/@anthropic-ai/"
    "claude-code/cli.js --resume\n"
    "49410               node /workspaces/webshop/server.js\n";

std::vector<Reply> engine(const std::string& ps) {
  return {{.pattern = psArguments, .out = ps},
          {.pattern = statsArguments, .out = statsOutput},
          {.pattern = "inspect *", .out = inspectOutput},
          {.pattern = "info --format {{.NCPU}}", .out = "8\n"},
          {.pattern = "top " + devId + " -eo pid,args", .out = topOutput}};
}

const Date now(1796510000);

Resource find(const Answer& answer, const std::string& id) {
  for (const auto& resource : answer.resources) {
    if (resource.id == "docker:" + id) return resource;
  }
  ADD_FAILURE() << "no container " << id;
  return {};
}

Date utc(int day, int hour, int minute, double second) {
  return Date(Calendar::utcSeconds(2026, 12, day, hour, minute, second));
}

TEST(DockerProvider, ReportsWhetherDockerIsInstalledAndRunning) {
  TempDir dir;
  FakeTools tools;
  // A fresh context each time, so that the tool added below is looked for again.
  const auto ask = [&] {
    Context context = tools.context(dir / "docker-desktop");
    return docker(context, {}, true, nullptr, now);
  };
  EXPECT_EQ(ask(), Answer{});

  dir.write("docker-desktop/bin/com.docker.backend", "");
  EXPECT_EQ(ask(), (Answer{.provider = Provider{.name = "Docker",
                                                .isInstalled = true,
                                                .note = "Command-line tool not found"}}));

  tools.add("docker", {{.pattern = psArguments,
                        .err = "Cannot connect to the Docker daemon at "
                               "unix:///var/run/docker.sock. Is the docker daemon running?\n",
                        .status = 1}});
  EXPECT_EQ(ask(), (Answer{.provider = Provider{.name = "Docker", .isInstalled = true}}));
  EXPECT_EQ(tools.calls("docker"), (Calls{{"ps", "--no-trunc", "--format", "{{json .}}"}}));
}

TEST(DockerProvider, BuildsOneResourcePerContainerLine) {
  TempDir dir;
  // Only a project with the container hook has its Claude Code processes counted.
  const std::string project = dir / "webshop";
  std::filesystem::create_directory(project);
  ContainerHook::install(project);
  FakeTools tools;
  Context context = tools.context();
  tools.add("docker", engine(psOutput(project)));
  const Answer answer = docker(context, {}, true, nullptr, now);

  EXPECT_EQ(answer.provider,
            (Provider{.name = "Docker", .isInstalled = true, .isRunning = true, .count = 3}));
  ASSERT_EQ(answer.resources.size(), 3U);
  // Every container has the same words, then its own: its name, project, dev container's.
  const Resource& bare = answer.resources[2];
  const Words common(bare.keywords.begin(), bare.keywords.end() - 1);
  const auto with = [&](const Words& own) {
    Words words = common;
    words.insert(words.end(), own.begin(), own.end());
    return words;
  };
  EXPECT_EQ(answer.resources[0],
            (Resource{.id = "docker:" + dbId,
                      .kind = Resource::Kind::container,
                      .name = "shop-api-db-1",
                      .detail = "postgres:16-alpine",
                      .provider = "Docker",
                      .group = "shop-api",
                      .state = "running",
                      .memory = 1610612736,
                      .cpu = 12.34,
                      .cores = 8,
                      .started = Calendar::rfc3339("2026-12-05T17:51:14.402817733Z"),
                      .ports = {"5432"},
                      .stop = Words{"docker", "stop", dbId},
                      .keywords = with({"shop-api-db-1", "shop-api"})}));

  const Resource& dev = answer.resources[1];
  EXPECT_EQ(dev.name, "webshop");
  EXPECT_EQ(dev.devContainer, (DevContainer{.tool = "Dev container",
                                            .name = "webshop",
                                            .folder = project,
                                            .hookInstalled = true,
                                            .claudeProcesses = 2}));
  EXPECT_EQ(dev.keywords, with({"gifted_lovelace", "devpod", "webshop"}));
  EXPECT_NEAR(dev.cpu.value_or(0), 112.48, 1e-9);
  EXPECT_EQ(dev.memory, 692060160);

  // No name, state, compose project or figures; the image loses its registry host.
  EXPECT_EQ(bare.name, "9b828d53402d");
  EXPECT_EQ(bare.keywords.back(), "9b828d53402d");
  EXPECT_EQ(bare.state, "running");
  EXPECT_EQ(bare.detail, "docker/library/alpine:3.20");
  EXPECT_EQ(bare.group, std::nullopt);
  EXPECT_EQ(bare.cpu, std::nullopt);
  EXPECT_EQ(bare.started, Calendar::rfc3339("2026-12-05T16:30:02.731009562Z"));

  EXPECT_EQ(tools.calls("docker"),
            (Calls{{"ps", "--no-trunc", "--format", "{{json .}}"},
                   {"info", "--format", "{{.NCPU}}"},
                   {"stats", "--no-stream", "--no-trunc", "--format", "{{json .}}"},
                   {"inspect", "--format", inspectFormat, dbId, devId, bareId},
                   {"top", devId, "-eo", "pid,args"}}));

  // A container that cannot list its processes has an unknown count.
  auto replies = engine(psOutput(project));
  replies.back() = {.pattern = "top *",
                    .err = "Error response from daemon: container " + devId + " is not running\n",
                    .status = 1};
  tools.add("docker", replies);
  const auto stopped = find(docker(context, {}, false, nullptr, now), devId).devContainer;
  ASSERT_TRUE(stopped);
  EXPECT_TRUE(stopped->hookInstalled);
  EXPECT_EQ(stopped->claudeProcesses, std::nullopt);
}

TEST(DockerProvider, CarriesStatisticsOverUntilAskedAgain) {
  TempDir dir;
  FakeTools tools;
  Context context = tools.context();
  tools.add("docker", engine(psOutput(dir / "webshop")));
  const Answer first = docker(context, {}, true, nullptr, now);
  const EnvironmentScan scan{.resources = first.resources, .providers = {*first.provider}};

  const Answer carried = docker(context, {}, false, &scan, now);
  EXPECT_EQ(find(carried, dbId), find(first, dbId));
  EXPECT_EQ(find(carried, devId), find(first, devId));
  // A container that had no figures last time is carried over as idle.
  EXPECT_EQ(find(carried, bareId).cpu, 0);
  EXPECT_EQ(find(carried, bareId).memory, 0);
  EXPECT_EQ(tools.calls("docker", "stats").size(), 1U);
  EXPECT_EQ(tools.calls("docker", "info").size(), 1U);
  EXPECT_EQ(find(docker(context, {}, false, nullptr, now), dbId).cpu, std::nullopt);

  auto replies = engine(psOutput(dir / "webshop"));
  replies.insert(replies.begin(),
                 {.pattern = statsArguments, .err = "context deadline exceeded\n", .status = 1});
  tools.add("docker", replies);
  for (const auto& resource : docker(context, {}, true, &scan, now).resources) {
    EXPECT_EQ(resource.cpu, std::nullopt) << resource.name;
    EXPECT_EQ(resource.memory, std::nullopt) << resource.name;
  }
}

TEST(DockerProvider, AsksEachContainersStartOnceAndFallsBackToCreation) {
  TempDir dir;
  const std::string ps = psOutput(dir / "webshop");
  FakeTools tools;
  Context context = tools.context();
  auto replies = engine(ps);
  replies.insert(replies.begin(), {.pattern = "inspect *",
                                   .err = "Error response from daemon: No such container\n",
                                   .status = 1});
  tools.add("docker", replies);
  EXPECT_EQ(find(docker(context, {}, false, nullptr, now), dbId).started, utc(5, 17, 51, 13));

  // Only the first container, then all of them, then all again.
  replies = engine(ps.substr(0, ps.find('\n') + 1));
  replies.insert(replies.begin(), {.pattern = "inspect --format * " + dbId,
                                   .out = inspectOutput.substr(0, inspectOutput.find('\n') + 1)});
  tools.add("docker", replies);
  docker(context, {}, false, nullptr, now);
  tools.add("docker", engine(ps));
  docker(context, {}, false, nullptr, now);
  const Answer answer = docker(context, {}, false, nullptr, now);
  EXPECT_EQ(find(answer, dbId).started, Calendar::rfc3339("2026-12-05T17:51:14.402817733Z"));
  EXPECT_EQ(find(answer, devId).started, utc(5, 13, 2, 56.9));
  EXPECT_EQ(tools.calls("docker", "inspect"),
            (Calls{{"inspect", "--format", inspectFormat, dbId, devId, bareId},
                   {"inspect", "--format", inspectFormat, dbId},
                   {"inspect", "--format", inspectFormat, devId, bareId}}));
}

TEST(DockerProvider, FindsDevPodWorkspacesByIdOrUid) {
  const std::string podId = "425c89ed5bb78a7623fae60fd8a6f648488168740fe82cf6ad34caa4d07aa972";
  const std::string gitId = "9a881b9b9f23849475296a8cd768ea1965bc3152df7118e60c145975af6aa58a";
  auto line = [](const std::string& id, const std::string& name, const std::string& workspace) {
    return R"j({"Command":"\"/bin/sh -c 'trap \\\"exit 0\\\" 15; sleep infinity'\"","CreatedAt":"2026-12-04 10:20:31 +0100 CET","ID":")j" +
           id +
           R"j(","Image":"mcr.microsoft.com/devcontainers/typescript-node:1-20-bookworm","Labels":"dev.containers.id=)j" +
           workspace + R"j(","Names":")j" + name +
           R"j(","State":"running","Status":"Up 31 hours"})j" + "\n";
  };
  FakeTools tools;
  Context context = tools.context();
  tools.add("docker", engine(line(podId, "default-we-8f3a1", "default-we-8f3a1") +
                             line(gitId, "api-gateway", "api-gateway") +
                             line(bareId, "stray", "default-gone-00000")));
  tools.add(
      "devpod",
      {{.pattern = "list --output json",
        .out =
            R"j([{"id":"webshop","uid":"default-we-8f3a1","provider":{"name":"docker"},"ide":{"name":"vscode"},"source":{"localFolder":"/home/ana/src/webshop"},"lastUsed":"2026-12-05T16:02:10Z"},{"id":"api-gateway","uid":"default-ap-2c9e7","source":{"gitRepository":"https://github.com/acme/api-gateway"}}])j"}});
  docker(context, {}, false, nullptr, now);
  const Answer answer = docker(context, {}, false, nullptr, now);

  EXPECT_EQ(find(answer, podId).devContainer,
            (DevContainer{.tool = "DevPod", .name = "webshop", .folder = "/home/ana/src/webshop"}));
  EXPECT_EQ(find(answer, gitId).devContainer,
            (DevContainer{.tool = "DevPod", .name = "api-gateway"}));
  EXPECT_EQ(find(answer, bareId).devContainer, std::nullopt);
  EXPECT_EQ(tools.calls("devpod"), (Calls{{"list", "--output", "json"}}));
  // No hook in the workspace's folder: its processes are not asked for.
  EXPECT_TRUE(tools.calls("docker", "top").empty());
}

TEST(DockerProvider, KeepsTheCPUCountAndDevPodWorkspacesForTheirLifetimesOnly) {
  FakeTools tools;
  const auto answers = [&](const std::string& cpus, const std::string& workspaces) {
    tools.add("docker", {{.pattern = "info --format {{.NCPU}}", .out = cpus}});
    tools.add("devpod", {{.pattern = "list --output json", .out = workspaces}});
  };
  answers("8\n", R"j([{"id":"webshop","source":{"localFolder":"/home/ana/src/webshop"}}])j");
  Context context = tools.context();
  const std::map<std::string, Workspace> webshop = {
      {"webshop", Workspace{.name = "webshop", .folder = "/home/ana/src/webshop"}}};
  EXPECT_EQ(dockerCPUs(context, now), 8);
  EXPECT_EQ(devPodWorkspaces(context, now), webshop);

  answers("12\n", "[]");
  EXPECT_EQ(dockerCPUs(context, now + 599.5), 8);
  EXPECT_EQ(devPodWorkspaces(context, now + 59.5), webshop);
  EXPECT_EQ(devPodWorkspaces(context, now + 60), (std::map<std::string, Workspace>{}));
  EXPECT_EQ(dockerCPUs(context, now + 600), 12);
  // A fresh answer's age counts from when it was asked, not from the first one.
  answers("", "[]");
  EXPECT_EQ(dockerCPUs(context, now + 1199), 12);
  // A failed question is an answer too: the engine is not asked again at every scan.
  tools.add("docker", {{.pattern = "*", .err = "Cannot connect\n", .status = 1}});
  EXPECT_EQ(dockerCPUs(context, now + 1200), std::nullopt);
  EXPECT_EQ(dockerCPUs(context, now + 1300), std::nullopt);
  EXPECT_EQ(tools.calls("docker", "info").size(), 3U);
  EXPECT_EQ(tools.calls("devpod").size(), 2U);
  // A clock set back does not keep an answer until it catches up.
  tools.add("docker", {{.pattern = "info --format {{.NCPU}}", .out = "6\n"}});
  EXPECT_EQ(dockerCPUs(context, now + 1100), 6);

  // Another context has learned nothing.
  Context other = tools.context();
  tools.add("docker", {{.pattern = "info --format {{.NCPU}}", .out = "4\n"}});
  EXPECT_EQ(dockerCPUs(other, now + 1300), 4);
}

}  // namespace
}  // namespace tessel
