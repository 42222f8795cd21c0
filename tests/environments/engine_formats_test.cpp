#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "environments/environments.h"
#include "support/time_zone.h"
#include "util/calendar.h"

namespace tessel {
namespace {

using namespace Environments;
using Strings = std::vector<std::string>;

double utc(int month, int day, int hour, int minute, double second) {
  return Calendar::utcSeconds(2026, month, day, hour, minute, second);
}

// Seconds since 1970, or NaN for no date, so a miss fails EXPECT_NEAR instead of crashing.
double seconds(const std::optional<Date>& date) {
  return date ? date->secondsSince1970() : std::numeric_limits<double>::quiet_NaN();
}

TEST(EngineFormats, LabelsAndTheDevContainerTheyDescribe) {
  // Label values are not escaped: dev-container metadata brings its own commas and "=".
  const auto labels = parseLabels(
      "devcontainer.local_folder=/home/ana/src/webshop/,devcontainer.metadata=[{\"id\":"
      "\"ghcr.io/devcontainers/features/node:1\"},{\"NODE_OPTIONS\":\"--x=4096\"}],,owner=ana,"
      "owner=ben,empty=");
  EXPECT_EQ(labels,
            (std::map<std::string, std::string>{
                {"devcontainer.local_folder", "/home/ana/src/webshop/"},
                {"devcontainer.metadata", "[{\"id\":\"ghcr.io/devcontainers/features/node:1\"}"},
                {"{\"NODE_OPTIONS\":\"--x", "4096\"}]"},
                {"owner", "ben"},
                {"empty", ""}}));
  EXPECT_TRUE(parseLabels("").empty());

  // The folder loses its trailing slash; DevPod is never asked without its own label.
  Context noTools(std::vector<std::string>{});
  EXPECT_EQ(devContainer(labels, noTools, Date(0)),
            (DevContainer{
                .tool = "Dev container", .name = "webshop", .folder = "/home/ana/src/webshop"}));
  EXPECT_EQ(devContainer({{"com.docker.compose.project", "webshop"}}, noTools, Date(0)),
            std::nullopt);
}

TEST(EngineFormats, ImagesPortsAndSizes) {
  // Only a first piece with a dot is a registry host, and only with two pieces after it.
  EXPECT_EQ(shortImage("public.ecr.aws/supabase/postgres:15.8"), "supabase/postgres:15.8");
  EXPECT_EQ(shortImage("ghcr.io/acme/tools/runner:2"), "acme/tools/runner:2");
  EXPECT_EQ(shortImage("localhost:5000/team/app"), "localhost:5000/team/app");
  EXPECT_EQ(shortImage("ghcr.io/acme"), "ghcr.io/acme");
  EXPECT_EQ(shortImage("postgres:16-alpine"), "postgres:16-alpine");

  EXPECT_EQ(publishedPorts("6379/tcp, 127.0.0.1:4510-4512->4510-4512/tcp, 0.0.0.0:8080->80/tcp"),
            (Strings{"4510-4512", "8080"}));

  EXPECT_EQ(bytes(" 660MiB "), 692060160);
  EXPECT_EQ(bytes("18.7MB"), 18700000);
  EXPECT_EQ(bytes("3KiB"), 3072);
  EXPECT_EQ(bytes("4.1kB"), 4100);
  EXPECT_EQ(bytes("1.074GB"), 1074000000);
  EXPECT_EQ(bytes("2TiB"), 2199023255552);
  EXPECT_EQ(bytes("88B"), 88);
  EXPECT_EQ(bytes("7PB"), 7);  // an unknown unit counts as bytes
  EXPECT_EQ(bytes("N/A"), 0);
}

TEST(EngineFormats, DatesOfTheEngines) {
  // "CreatedAt" carries its own offset, whatever the machine's zone.
  const test::ScopedTimeZone zone("Asia/Tokyo");
  EXPECT_NEAR(seconds(dockerDate("2026-12-05 18:51:13 +0100 CET")), utc(12, 5, 17, 51, 13), 1e-6);
  EXPECT_NEAR(seconds(dockerDate("2026-07-04 09:05:00 -0400 EDT")), utc(7, 4, 13, 5, 0), 1e-6);
  EXPECT_FALSE(dockerDate(std::nullopt));
  EXPECT_FALSE(dockerDate("2026-12-05 18:51:13"));
  EXPECT_FALSE(dockerDate("3 hours ago"));
}

TEST(EngineFormats, RecognisesClaudeCodeInTopLines) {
  EXPECT_TRUE(isClaudeCommand("49102               claude"));
  EXPECT_TRUE(isClaudeCommand("49103               /home/node/.local/bin/claude --resume"));
  EXPECT_TRUE(isClaudeCommand(
      "49377               node /usr/local/lib/node_modules/@anthropic-ai/claude-code/cli.js"));
  EXPECT_TRUE(isClaudeCommand("7 /usr/bin/node --max-old-space-size=4096 claude-code/cli.js"));
  EXPECT_FALSE(isClaudeCommand("48290               node /app/server.js"));
  EXPECT_FALSE(isClaudeCommand("48291               vim claude-notes.md"));
  EXPECT_FALSE(isClaudeCommand("48292               claude-code-helper node"));
  EXPECT_FALSE(isClaudeCommand("claude"));  // the first word is the pid
}

}  // namespace
}  // namespace tessel
