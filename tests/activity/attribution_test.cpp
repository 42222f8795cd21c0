#include "activity/attribution.h"

#include <gtest/gtest.h>

#include "platform/user.h"

namespace tessel::Activity {
namespace {

const Date t0(1796500000);

ToolEvent call(std::string session, double at, std::string line,
               ToolEvent::Source source = ToolEvent::Source::hook) {
  static int next = 0;
  ToolEvent event{"toolu_" + std::to_string(++next), std::move(session), "Bash", std::move(line),
                  t0 + at};
  event.source = source;
  return event;
}

// A compose service as the Docker provider reports it.
Resource container(std::optional<Date> started) {
  return Resource{.id = "docker:7bdc25d1694e",
                  .kind = Resource::Kind::container,
                  .name = "shop-api-1",
                  .group = "shop",
                  .started = started,
                  .keywords = {"docker", "compose", "supabase", "shop-api-1", "shop"}};
}

Resource process(double started, std::string context, std::vector<std::string> keywords) {
  return Resource{.id = "process:4242",
                  .kind = Resource::Kind::process,
                  .name = "node",
                  .started = t0 + started,
                  .keywords = std::move(keywords),
                  .context = std::move(context)};
}

std::optional<std::string> who(const std::optional<Attribution>& link) {
  if (!link) return std::nullopt;
  return link->sessionId + (link->started ? " started" : " used");
}

TEST(Attribution, TheLatestStartingLineOfTheWindowStartedAMachine) {
  const std::vector<ToolEvent> history = {
      call("a", -1500, "docker compose up -d"),
      call("b", -30, "cd shop && docker compose up -d db"),
      call("a", -20, "docker compose -f shop.yml up --build"),
      call("c", -10, "docker ps -a | grep shop"),
      call("c", 3, "docker stop shop-api-1"),
      call("b", 600, "docker compose exec shop-api-1 bash"),
  };
  const auto link = attribute(container(t0), history);
  ASSERT_TRUE(link);
  EXPECT_EQ(*link, (Attribution{.sessionId = "a",
                                .how = Attribution::How::hook,
                                .started = true,
                                .command = "docker compose -f shop.yml up --build",
                                .at = t0 - 20}));
  EXPECT_TRUE(link->isCertain());

  // A stop and a start in one line still starts it; a stop alone never does.
  EXPECT_EQ(
      who(attribute(container(t0), {call("d", -5, "docker compose down && docker compose up -d")})),
      "d started");
  EXPECT_EQ(who(attribute(container(t0), {call("d", -5, "docker compose restart; docker stop x")})),
            std::nullopt);
  // The window: from 1200 s before the start to 5 s after, both ends included.
  EXPECT_EQ(who(attribute(container(t0), {call("e", -1200, "docker compose up")})), "e started");
  EXPECT_EQ(who(attribute(container(t0), {call("e", 5, "docker compose up")})), "e started");
  EXPECT_EQ(who(attribute(container(t0), {call("e", 5.5, "docker compose up")})), std::nullopt);
  EXPECT_EQ(who(attribute(container(t0), {call("e", -1201, "docker compose up")})), std::nullopt);
  // A line that names none of its terms starts something else.
  EXPECT_EQ(who(attribute(container(t0), {call("e", -2, "podman run redis")})), std::nullopt);
}

TEST(Attribution, LaterUseNeedsTheNameAndAVerbThatWorksWithIt) {
  // Started long before any command seen: the latest later use decides, and lines that
  // only look at it, however they name it, do not count.
  const std::vector<ToolEvent> history = {
      call("a", 100, "docker compose exec shop-api-1 npm test", ToolEvent::Source::history),
      call("b", 200, "docker compose logs -f shop-api-1"),
      call("b", 300, "docker compose ps shop-api-1 | head"),
      call("b", 400, "docker compose exec api npm test"),
      call("c", -100, "docker compose exec shop-api-1 sh"),
  };
  const auto link = attribute(container(t0), history);
  ASSERT_TRUE(link);
  EXPECT_EQ(who(link), "a used");
  EXPECT_FALSE(link->isCertain());
  // Without a start date every command counts.
  EXPECT_EQ(who(attribute(container(std::nullopt),
                          {call("c", -100, "docker compose exec shop-api-1 sh")})),
            "c used");
  // The project name is enough; its own words are not terms.
  EXPECT_EQ(who(attribute(container(t0), {call("d", 50, "docker compose -p shop build")})),
            "d used");
  // Names are found anywhere in the line, in any script, inside longer words too, up to
  // the line's last byte; a name that differs by one letter is not there.
  Resource café = container(t0);
  café.name = "café-db";
  café.group = std::nullopt;
  café.keywords = {"café-db", "psql"};
  EXPECT_EQ(who(attribute(café, {call("e", 50, "docker exec -it café-db psql")})), "e used");
  EXPECT_EQ(who(attribute(café, {call("e", 50, "docker exec -it cafe-db psql")})), std::nullopt);
  café.keywords = {"café-db", "docker"};
  EXPECT_EQ(who(attribute(café, {call("e", 50, "docker exec -i xcafé-db")})), "e used");
  Resource bare = container(t0);
  bare.keywords = {"shop-api-1", "shop"};
  EXPECT_EQ(who(attribute(bare, {call("d", 50, "docker compose -p shop build")})), std::nullopt);
}

TEST(Attribution, AProcessGoesToTheOneCallRunningInItsFolder) {
  const std::string& home = platform::userHomeDirectory();
  ToolEvent dev = call("a", -2, "cd web && npm run dev");
  dev.cwd = home + "/shop/";
  dev.isBackground = true;
  ToolEvent tests = call("b", -300, "npm test -- --watch");
  tests.cwd = home + "/shop";
  tests.end = t0 - 4;  // ended before the process started
  ToolEvent elsewhere = call("c", -1, "npm run dev");
  elsewhere.cwd = "/srv/other";
  const Resource vite = process(0, home + "/shop/web", {"node", "vite"});

  const auto link = attribute(vite, {dev, tests, elsewhere});
  ASSERT_TRUE(link);
  EXPECT_EQ(who(link), "a started");
  EXPECT_EQ(link->command, "cd web && npm run dev");

  // Two calls running there: no verdict.
  tests.end = t0 + 60;
  EXPECT_EQ(attribute(vite, {dev, tests, elsewhere}), std::nullopt);
  // A call elsewhere that writes the folder out, "~" or not, counts too.
  ToolEvent named = call("d", -1, "npm --prefix ~/shop/web run dev");
  named.cwd = "/tmp";
  EXPECT_EQ(who(attribute(vite, {named})), "d started");
  named.summary = "npm --prefix ~/shop/website run dev";
  EXPECT_EQ(attribute(vite, {named}), std::nullopt);
  // An open background call counts as running for 15 s, another for 600 s.
  EXPECT_EQ(who(attribute(process(20, home + "/shop/web", {"node"}), {dev})), std::nullopt);
  dev.isBackground = false;
  EXPECT_EQ(who(attribute(process(20, home + "/shop/web", {"node"}), {dev})), "a started");
  // Home, "/" and no folder at all say nothing.
  dev.cwd = home;
  EXPECT_EQ(attribute(process(0, home + "/", {"node"}), {dev}), std::nullopt);
  dev.cwd = "/";
  EXPECT_EQ(attribute(process(0, "/", {"node"}), {dev}), std::nullopt);
  EXPECT_EQ(attribute(process(0, "", {"node"}), {dev}), std::nullopt);
}

TEST(Attribution, AProcessStartedByANamedCommandNeedsNoFolder) {
  // Rule of the start window for a process: any verb, a term in a simple command.
  const Resource worker = process(0, "/srv/jobs", {"node", "worker"});
  EXPECT_EQ(who(attribute(worker, {call("a", -599, "node worker.js &"),
                                   call("b", -2, "ps aux | grep worker")})),
            "a started");
  EXPECT_EQ(who(attribute(worker, {call("a", -601, "node worker.js &")})), std::nullopt);
  Resource undated = worker;
  undated.started.reset();
  EXPECT_EQ(attribute(undated, {call("a", -1, "node worker.js &")}), std::nullopt);
}

}  // namespace
}  // namespace tessel::Activity
