#include "activity/command.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/system_layout.h"

namespace tessel::Activity {
namespace {

using Words = std::vector<std::string>;

// A process the table could list; no such pid runs, so its name comes from the command.
ProcessEntry process(std::string command) {
  return ProcessEntry{.pid = 50000001, .ppid = 1, .command = std::move(command)};
}

std::vector<std::string> segmentTexts(const Command& command) {
  std::vector<std::string> texts;
  for (const Segment& segment : command.segments()) texts.push_back(segment.text);
  return texts;
}

TEST(Command, WordsAreRunsOfLettersAndNumbersOfAnyScript) {
  const Command empty("");
  EXPECT_TRUE(empty.words().empty() && empty.verbs().empty() && empty.segments().empty());

  const Command line(
      "Docker Compose UP --env=PROD ÉTÉ café_2 ٣x 日本語\xff"
      "ab\xc3(x)");
  EXPECT_EQ(line.words().items(),
            (Words{"2", "Compose", "Docker", "PROD", "UP", "ab", "caf\xc3\xa9", "env", "x",
                   "\xc3\x89T\xc3\x89", "\xd9\xa3x", "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e"}));
  // Unicode lower-casing; the invalid bytes only separated words.
  EXPECT_TRUE(line.verbs().contains("docker") && line.verbs().contains("up") &&
              line.verbs().contains("\xc3\xa9t\xc3\xa9") && line.verbs().contains("env"));
  EXPECT_FALSE(line.verbs().contains("Docker"));
  EXPECT_TRUE(line.verbs().containsAny(startingWords));
  EXPECT_FALSE(line.verbs().containsAny(stoppingWords));
}

TEST(Command, SegmentsAreTheSimpleCommandsThatDoMoreThanLook) {
  const Command assigned("FOO=1 BAR=2 docker compose up -d");
  ASSERT_EQ(assigned.segments().size(), 1u);
  EXPECT_EQ(assigned.segments()[0].words.items(),
            (Words{"-d", "1", "2", "BAR", "FOO", "compose", "docker", "up"}));

  EXPECT_TRUE(Command("/usr/bin/grep foo").segments().empty());
  EXPECT_TRUE(Command("ps aux | grep postgres").segments().empty());
  EXPECT_TRUE(Command("A=1 B=2").segments().empty());
  EXPECT_EQ(segmentTexts(Command("docker ps; docker run redis")),
            (Words{"docker ps", " docker run redis"}));
  EXPECT_EQ(segmentTexts(Command("(cd web && npm run dev) &\n\tcat log | tail -5")),
            (Words{"cd web ", " npm run dev"}));
  // An option with "=" is no assignment: it is the program here.
  EXPECT_EQ(segmentTexts(Command("--env=PROD\tdocker\trun x")), Words{"--env=PROD\tdocker\trun x"});
  EXPECT_EQ(Command("run ünï_x-1.2/ok").segments()[0].words.items(),
            (Words{"ok", "run", "\xc3\xbcn\xc3\xaf_x-1.2"}));
}

TEST(CommandCache, CarriesEachEventAndReparsesOnlyChangedLines) {
  CommandCache cache;
  ToolEvent up{"toolu_1", "s1", "Bash", "docker compose up -d", Date(100)};
  ToolEvent test{"toolu_2", "s1", "Bash", "npm test", Date(110)};
  const auto first = cache.prepare({up, test});
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(*first[0].event, up);
  EXPECT_EQ(first[1].text(), "npm test");

  up.end = Date(104);
  test.summary = "npm run test";
  const auto second = cache.prepare({test, up});
  EXPECT_EQ(second[0].text(), "npm run test");
  EXPECT_TRUE(second[0].verbs().contains("run"));
  EXPECT_EQ(second[1].event->end, Date(104));
  EXPECT_EQ(second[1].segments(), first[0].segments());
}

TEST(Command, TrigramsNeverRuleOutAPartOfTheText) {
  // Every piece of every line, bytes of any value included, must pass; most lines that
  // do not hold a name must not, or the test saves nothing.
  std::mt19937 random(11);
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyz0123456789-_./ \t";
  int ruledOut = 0;
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    const size_t size = random() % 120;
    for (size_t i = 0; i < size; ++i) {
      text +=
          round % 3 == 0 ? static_cast<char>(random() % 256) : alphabet[random() % alphabet.size()];
    }
    const Trigrams whole(text);
    for (size_t from = 0; from < text.size(); from += 1 + random() % 7) {
      const std::string part = text.substr(from, random() % 20);
      ASSERT_TRUE(whole.mayContain(Trigrams(part))) << round << " " << from;
    }
    if (!whole.mayContain(Trigrams("compose-project-" + std::to_string(round)))) ++ruledOut;
  }
  EXPECT_GT(ruledOut, 1800);
}

TEST(Command, WindowIncludesBothEnds) {
  std::vector<Command> commands;
  for (const double start : {10.0, 20.0, 20.0, 30.0, 30.0005, 30.002}) {
    Command command("x");
    command.event = std::make_shared<const ToolEvent>(
        ToolEvent{.id = std::to_string(start), .start = Date(start)});
    commands.push_back(std::move(command));
  }
  const auto starts = [](std::span<const Command> slice) {
    std::vector<double> found;
    for (const Command& c : slice) found.push_back(c.event->start.secondsSince1970());
    return found;
  };
  EXPECT_EQ(starts(window(commands, Date(20), Date(30))),
            (std::vector<double>{20, 20, 30, 30.0005}));
  EXPECT_TRUE(window(commands, Date(31), Date(30)).empty());
  EXPECT_TRUE(window(commands, Date(40), Date(50)).empty());
  EXPECT_TRUE(window({}, Date(0), Date(50)).empty());
}

TEST(Process, ToolsAreWhatLiesOutsideTheSystemAndApplicationBundles) {
  EXPECT_TRUE(looksLikeTool(process("/home/dev/.nvm/versions/node/v22/bin/node server.js")));
  EXPECT_TRUE(looksLikeTool(process("postgres -D /var/lib/postgres")));
  EXPECT_FALSE(looksLikeTool(process("/usr/lib/systemd/systemd --user")));
  EXPECT_FALSE(looksLikeTool(process("/usr/sbin/cupsd -l")));
  EXPECT_FALSE(looksLikeTool(process("/Applications/Slack.app/Contents/MacOS/Slack")));
  EXPECT_FALSE(looksLikeTool(process("/opt/x/Helper.xpc/Contents/MacOS/Helper")));

  const auto keywords = [](std::string command) {
    return processKeywords(process(std::move(command)));
  };
  EXPECT_EQ(keywords("node /Users/x/app/worker.js --port 3000"), (Words{"node", "worker"}));
  EXPECT_EQ(keywords("python3 -u tools/fetch.py"), (Words{"python3", "fetch"}));
  EXPECT_EQ(keywords("node index.js"), Words{"node"});
  EXPECT_EQ(keywords("/usr/bin/ruby bin/ab.rb"), Words{"ruby"});
  EXPECT_EQ(keywords("/opt/my-server --listen"), (Words{"my-server", "my server"}));
  EXPECT_EQ(keywords("sh -c x"), Words{});
  EXPECT_EQ(keywords("bash   ./deploy.tar.gz"), (Words{"bash", "deploy.tar"}));
}

TEST(Platform, OrphansGoToProcessOneOrTheUsersServiceManager) {
  const int32_t me = platform::userId();
  EXPECT_TRUE(platform::adoptsOrphans(1, 0, "systemd"));
  EXPECT_TRUE(platform::adoptsOrphans(1, 0, "init"));
  EXPECT_TRUE(platform::adoptsOrphans(812, me, "systemd"));
  EXPECT_FALSE(platform::adoptsOrphans(812, me + 1, "systemd"));
  EXPECT_FALSE(platform::adoptsOrphans(812, me, "systemd-journald"));
}

}  // namespace
}  // namespace tessel::Activity
