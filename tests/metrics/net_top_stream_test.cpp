#include "metrics/net_top_stream.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_tools.h"

namespace tessel {
namespace {

using NetTop::Rates;
using NetTop::Totals;
using Clock = std::chrono::steady_clock;

// One socket as `ss -tinpH` prints it: the socket line, then its indented info line.
std::string ssSocket(const std::string& users, const std::string& counters) {
  std::string text = "ESTAB 0      0      127.0.0.1:43210 127.0.0.1:8080";
  if (!users.empty()) text += " users:(" + users + ")";
  return text + "\n\t cubic wscale:7,7 rto:204 rtt:0.03/0.01 mss:32768 " + counters +
         " segs_out:12 segs_in:9 lastsnd:20 rcv_space:65483\n";
}

TEST(NetTopParseSS, SumsEachProcessOverItsSocketsAndCountsSharedSocketsForEach) {
  const std::string text =
      ssSocket("(\"curl\",pid=1234,fd=5)", "bytes_sent:100 bytes_acked:101 bytes_received:5000") +
      ssSocket("(\"curl\",pid=1234,fd=6)", "bytes_sent:20 bytes_acked:21 bytes_received:7") +
      // Two workers share one listening child's socket; one of them holds it twice.
      ssSocket("(\"nginx\",pid=10,fd=6),(\"nginx\",pid=11,fd=6),(\"nginx\",pid=10,fd=9)",
               "bytes_acked:300 bytes_received:40") +
      "ESTAB 0 0 [::1]:443 [::1]:51234 users:((\"web server\",pid=77,fd=3)) uid:1000\n"
      "\t bbr bytes_retrans:999 bytes_acked:8 bytes_received:9 notsent:5\n";
  EXPECT_EQ(NetTop::parseSS(text),
            (Totals{{1234, {5007, 122}}, {10, {40, 300}}, {11, {40, 300}}, {77, {9, 8}}}));
}

TEST(NetTopParseSS, CountersMissingFromTheInfoLineCountAsZeroOrFallBackToBytesSent) {
  // ss leaves out counters that are still 0; nothing acknowledged yet means the bytes
  // sent are what went out.
  const std::string text = ssSocket("(\"a\",pid=1,fd=3)", "bytes_sent:4096") +
                           ssSocket("(\"b\",pid=2,fd=3)", "bytes_received:12") +
                           ssSocket("(\"c\",pid=3,fd=3)", "");
  EXPECT_EQ(NetTop::parseSS(text), (Totals{{1, {0, 4096}}, {2, {12, 0}}, {3, {0, 0}}}));
}

TEST(NetTopParseSS, SkipsSocketsWithoutProcessesAndLinesCutShortOrOdd) {
  const std::string good = ssSocket("(\"ok\",pid=5,fd=3)", "bytes_acked:10 bytes_received:20");
  const std::string text =
      // An info line before any socket line: the output's start was lost.
      "\t cubic bytes_acked:1000000 bytes_received:1000000\n" +
      // Another user's socket: no process field.
      ssSocket("", "bytes_acked:1000000 bytes_received:1000000") + good +
      // The users field cut off before its end.
      ssSocket("(\"cut\",pid=6,fd=3),(\"cut\",pid=", "bytes_received:1000000") +
      ssSocket("(\"cut\",pid=61", "bytes_received:1000000") +
      // Pids that are not pids.
      ssSocket("(\"odd\",pid=-4,fd=3),(\"odd\",pid=x1,fd=3),(\"odd\",pid=,fd=3)",
               "bytes_received:1000000") +
      // Counters that are not numbers, or past a signed 64-bit total.
      ssSocket(
          "(\"ok\",pid=5,fd=4)",
          "bytes_acked:12x bytes_received:-3 bytes_sent: bytes_received:18446744073709551615") +
      "garbage without any structure\n\n\x01\x02\xff\n" + good + good +
      // A second indented line does not count the socket again.
      "\t skmem:(r0,rb131072,t0,tb2626560) bytes_received:1000000\n" +
      // The last socket line without its info line.
      "ESTAB 0 0 127.0.0.1:1 127.0.0.1:2 users:((\"late\",pid=8,fd=3))";
  EXPECT_EQ(NetTop::parseSS(text), (Totals{{5, {60, 30}}}));
  EXPECT_EQ(NetTop::parseSS(""), Totals{});
  EXPECT_EQ(NetTop::parseSS("\n\n\t\n"), Totals{});
}

TEST(NetTopParseNettop, ReadsNameDotPidAndTwoTotalsAndSkipsTheRest) {
  const std::string text =
      ",bytes_in,bytes_out,\n"
      "launchd.1,0,0,\n"
      "com.apple.WebKit.Networking.812,123456789012,4567,\n"
      "node.4242,10,20\n"
      "node.4242,11,21,\n"  // listed again: the later line stands
      "nodot4243,1,2,\n"
      "badpid.42x,1,2,\n"
      "badbytes.44,1.5,2,\n"
      "short.45,1\n"
      "empty.46,,2,\n"
      "\n"
      "garbage\xff\n"
      "trailing.47,5,6";
  EXPECT_EQ(NetTop::parseNettop(text),
            (Totals{{1, {0, 0}}, {812, {123456789012, 4567}}, {4242, {11, 21}}, {47, {5, 6}}}));
}

TEST(NetTopRates, CountPidsInBothReadingsOnlyAndNeverGoBelowZero) {
  const Totals earlier{{1, {1000, 500}}, {2, {50, 50}}, {3, {9000, 100}}};
  const Totals later{{1, {3000, 1500}}, {3, {4000, 300}}, {4, {10, 10}}};
  // Pid 2 is gone and pid 4 is new: neither has a rate. Pid 3 closed a socket that had
  // received more than its others since.
  EXPECT_EQ(NetTop::ratesBetween(earlier, later, 2.0),
            (Rates{{1, {1000.0, 500.0}}, {3, {0.0, 100.0}}}));
  EXPECT_EQ(NetTop::ratesBetween(earlier, later, 0.0), Rates{});
  EXPECT_EQ(NetTop::ratesBetween(earlier, later, -1.0), Rates{});
}

TEST(NetTopReadSS, RunsSsFromTheToolFoldersAndGivesNothingWhenItFails) {
  test::FakeTools tools;
  EXPECT_EQ(NetTop::readSS(tools.runner()), Totals{}) << "ss is not installed";

  tools.add("ss", {{.pattern = "-tinpH",
                    .out = ssSocket("(\"curl\",pid=31,fd=5)", "bytes_acked:7 bytes_received:9")}});
  EXPECT_EQ(NetTop::readSS(tools.runner()), (Totals{{31, {9, 7}}}));
  EXPECT_EQ(tools.calls("ss"), (std::vector<std::vector<std::string>>{{"-tinpH"}}));

  // A failing ss may have printed part of the table; none of it counts.
  tools.add("ss", {{.pattern = "*",
                    .out = ssSocket("(\"curl\",pid=31,fd=5)", "bytes_received:9"),
                    .err = "Cannot open netlink socket",
                    .status = 1}});
  EXPECT_EQ(NetTop::readSS(tools.runner()), Totals{});
}

// A totals source that plays `steps` in order, one per call, then answers empty forever.
// At each call it keeps the stream's rates of the moment and the time, so a test sees
// what every reading before it left behind.
class ScriptedSource {
 public:
  using Step = std::function<Totals()>;
  explicit ScriptedSource(std::vector<Step> steps) : steps_(std::move(steps)) {}

  NetTopStream::TotalsSource source(NetTopStream*& stream) {
    return [this, &stream] {
      const Rates rates = stream->latest();
      std::lock_guard guard(lock_);
      const size_t call = snapshots_.size();
      snapshots_.push_back(rates);
      calledAt_.push_back(Clock::now());
      changed_.notify_all();
      return call < steps_.size() ? steps_[call]() : Totals{};
    };
  }

  // Waits (up to 20 s) until the source has been called `count` times.
  bool waitForCalls(size_t count) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::seconds(20),
                             [&] { return snapshots_.size() >= count; });
  }
  std::vector<Rates> snapshots() const {
    std::lock_guard guard(lock_);
    return snapshots_;
  }
  double secondsBetweenCalls(size_t first, size_t second) const {
    std::lock_guard guard(lock_);
    return std::chrono::duration<double>(calledAt_.at(second) - calledAt_.at(first)).count();
  }

 private:
  const std::vector<Step> steps_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  // Guarded by lock_.
  std::vector<Rates> snapshots_;
  std::vector<Clock::time_point> calledAt_;
};

TEST(NetTopStream, RatesAreTheGrowthOverTheTimeBetweenReadings) {
  const Clock::time_point start = Clock::now();
  // Totals that grow at a known rate, read as each reading ends; the reading itself takes
  // 30 ms, so dividing by the pause instead of the time between readings is off by far.
  const ScriptedSource::Step growing = [start] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return Totals{{10, {static_cast<int64_t>(1e6 * seconds), static_cast<int64_t>(2e5 * seconds)}}};
  };
  ScriptedSource script({growing, growing, growing, growing});
  NetTopStream* stream = nullptr;
  NetTopStream owned({.readingSeconds = 0.02, .idleSeconds = 60}, script.source(stream));
  stream = &owned;
  EXPECT_FALSE(owned.isRunning());
  EXPECT_EQ(owned.latest(), Rates{}) << "no reading yet";
  EXPECT_TRUE(owned.isRunning());
  ASSERT_TRUE(script.waitForCalls(5));

  const std::vector<Rates> seen = script.snapshots();
  EXPECT_EQ(seen[1], Rates{}) << "one reading gives no rate";
  for (size_t call = 2; call < 5; ++call) {
    ASSERT_EQ(seen[call].size(), 1U) << call;
    EXPECT_NEAR(seen[call].at(10).first, 1e6, 1e5) << call;
    EXPECT_NEAR(seen[call].at(10).second, 2e5, 2e4) << call;
  }
}

TEST(NetTopStream, AReadingWithoutSocketsForgetsThePreviousTotalsAndWaitsLonger) {
  const auto fixed = [](int64_t bytes) { return [bytes] { return Totals{{1, {bytes, bytes}}}; }; };
  ScriptedSource script({fixed(0), fixed(1000), [] { return Totals{}; }, fixed(1'000'000'000'000),
                         fixed(1'000'000'000'000)});
  NetTopStream* stream = nullptr;
  NetTopStream owned({.readingSeconds = 0.02, .idleSeconds = 0.4}, script.source(stream));
  stream = &owned;
  owned.latest();
  ASSERT_TRUE(script.waitForCalls(6));

  const std::vector<Rates> seen = script.snapshots();
  ASSERT_EQ(seen[2].size(), 1U);
  EXPECT_GT(seen[2].at(1).first, 0);
  EXPECT_LT(seen[2].at(1).first, 1000 / 0.02);
  // The empty reading leaves the rates as they were, and the reading after it is not
  // compared with the one before the gap.
  EXPECT_EQ(seen[3], seen[2]);
  EXPECT_EQ(seen[4], seen[2]);
  EXPECT_EQ(seen[5], (Rates{{1, {0.0, 0.0}}}));
  EXPECT_GE(script.secondsBetweenCalls(2, 3), 0.4);
  EXPECT_LT(script.secondsBetweenCalls(0, 1), 0.3);
}

TEST(NetTopStream, StopsPromptlyWhenDestroyedEvenInALongPause) {
  {
    NetTopStream neverStarted({}, [] { return Totals{}; });
  }

  ScriptedSource script({[] { return Totals{{1, {1, 1}}}; }});
  NetTopStream* stream = nullptr;
  auto owned = std::make_unique<NetTopStream>(
      NetTopStream::Intervals{.readingSeconds = 600, .idleSeconds = 600}, script.source(stream));
  stream = owned.get();
  owned->latest();
  ASSERT_TRUE(script.waitForCalls(1));
  const Clock::time_point stopping = Clock::now();
  owned.reset();
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - stopping).count(), 1.0);
  EXPECT_EQ(script.snapshots().size(), 1U);
}

TEST(NetTopStream, SharedStreamRunsFromItsFirstUseUntilTheProgramEnds) {
  // Left running on purpose: the sanitizer builds check that the program's exit stops it
  // without touching what is already destroyed.
  NetTopStream& shared = NetTopStream::shared();
  shared.latest();
  EXPECT_TRUE(shared.isRunning());
  EXPECT_EQ(&NetTopStream::shared(), &shared);
}

// A listening loopback socket on a free port.
struct Listener {
  int fd = -1;
  sockaddr_in address{};

  Listener() {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(fd, 1) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      close(fd);
      fd = -1;
    }
  }
  ~Listener() {
    if (fd >= 0) close(fd);
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
};

constexpr int64_t downloadBytes = int64_t{5} * 1024 * 1024;

// The child's whole life: connect, take the download, say so with one byte, then hold
// the socket open until the server closes it. System calls only, as after fork in a
// program with threads.
[[noreturn]] void downloadAndWait(const sockaddr_in& server) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
    _exit(2);
  }
  static char buffer[65536];
  int64_t received = 0;
  while (received < downloadBytes) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) _exit(3);
    received += got;
  }
  if (write(fd, "k", 1) != 1) _exit(4);
  while (read(fd, buffer, sizeof buffer) > 0) {
  }
  _exit(0);
}

TEST(NetTopReadSS, CountsALoopbackDownloadForTheProcessThatReceivedIt) {
  const ToolRunner runner;
  if (!runner.find("ss")) GTEST_SKIP() << "ss (iproute2) is not installed";
  Listener listener;
  ASSERT_GE(listener.fd, 0);

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) downloadAndWait(listener.address);

  const int connection = accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(connection, 0);
  const std::string chunk(65536, 'x');
  int64_t sent = 0;
  while (sent < downloadBytes) {
    const ssize_t wrote = write(connection, chunk.data(), chunk.size());
    ASSERT_GT(wrote, 0);
    sent += wrote;
  }
  char reply = 0;
  ASSERT_EQ(read(connection, &reply, 1), 1);

  const Totals totals = NetTop::readSS(runner);
  close(connection);
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  ASSERT_TRUE(totals.contains(child)) << "the child's socket is not in ss's table";
  EXPECT_GE(totals.at(child).first, downloadBytes);
  EXPECT_GE(totals.at(child).second, 1);
  ASSERT_TRUE(totals.contains(getpid()));
  EXPECT_GE(totals.at(getpid()).second, downloadBytes);
}

}  // namespace
}  // namespace tessel
