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
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket_counters.h"
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
      "negative.48,-5,6,\n"
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

// A reader's world played from a script: each call of the source takes the next reading
// and moves the clock to that reading's time; past the end it answers no sockets and the
// clock stands still. At each call it keeps the stream's rates of the moment, so a test
// sees what every reading before it left behind.
class ScriptedSource {
 public:
  struct Reading {
    double at = 0;  // seconds on the stream's clock
    Totals totals{};
  };
  explicit ScriptedSource(std::vector<Reading> readings) : readings_(std::move(readings)) {}

  NetTopStream::TotalsSource source(NetTopStream*& stream) {
    return [this, &stream] {
      const Rates rates = stream->latest();
      std::lock_guard guard(lock_);
      const size_t call = snapshots_.size();
      snapshots_.push_back(rates);
      changed_.notify_all();
      if (call >= readings_.size()) return Totals{};
      now_ = readings_[call].at;
      return readings_[call].totals;
    };
  }
  NetTopStream::MonotonicClock clock() {
    return [this] {
      std::lock_guard guard(lock_);
      return now_;
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

 private:
  const std::vector<Reading> readings_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  // Guarded by lock_.
  std::vector<Rates> snapshots_;
  double now_ = 0;
};

// Totals of a process that has received 1 MB and sent 200 kB every second since 0.
Totals steady(double seconds) {
  return Totals{{10, {static_cast<int64_t>(1e6 * seconds), static_cast<int64_t>(2e5 * seconds)}}};
}

TEST(NetTopStream, RatesAreTheGrowthOverTheTimeBetweenReadings) {
  // Readings far apart on the clock but 10 ms apart in real time: dividing by the pause
  // instead of the clock's time between readings is off by far.
  Totals withVisitor = steady(1.5);
  withVisitor[20] = {5000, 5000};
  ScriptedSource script(
      {{100.0, steady(0)}, {101.5, withVisitor}, {103.5, steady(3.5)}, {104.0, steady(4.0)}});
  NetTopStream* stream = nullptr;
  NetTopStream owned({.readingSeconds = 0.01, .idleSeconds = 600}, script.source(stream),
                     script.clock());
  stream = &owned;
  EXPECT_FALSE(owned.isRunning());
  EXPECT_EQ(owned.latest(), Rates{}) << "no reading yet";
  EXPECT_TRUE(owned.isRunning());
  ASSERT_TRUE(script.waitForCalls(5));

  const std::vector<Rates> seen = script.snapshots();
  EXPECT_EQ(seen[1], Rates{}) << "one reading gives no rate";
  for (size_t call = 2; call < 5; ++call) {
    // Pid 20 was there at one reading only.
    ASSERT_EQ(seen[call].size(), 1U) << call;
    EXPECT_NEAR(seen[call].at(10).first, 1e6, 1e-3) << call;
    EXPECT_NEAR(seen[call].at(10).second, 2e5, 1e-3) << call;
  }
}

TEST(NetTopStream, AReadingWithoutSocketsForgetsThePreviousTotals) {
  const auto bytes = [](int64_t count) { return Totals{{1, {count, count}}}; };
  ScriptedSource script(
      {{0, bytes(0)}, {2, bytes(1000)}, {4, {}}, {14, bytes(1'000'000)}, {16, bytes(1'000'000)}});
  NetTopStream* stream = nullptr;
  NetTopStream owned({.readingSeconds = 0.01, .idleSeconds = 0.01}, script.source(stream),
                     script.clock());
  stream = &owned;
  owned.latest();
  ASSERT_TRUE(script.waitForCalls(6));

  const std::vector<Rates> seen = script.snapshots();
  EXPECT_EQ(seen[2], (Rates{{1, {500.0, 500.0}}}));
  // The empty reading leaves the rates as they were, and the reading after it is not
  // compared with the one before the gap.
  EXPECT_EQ(seen[3], seen[2]);
  EXPECT_EQ(seen[4], seen[2]);
  EXPECT_EQ(seen[5], (Rates{{1, {0.0, 0.0}}}));
}

TEST(NetTopStream, WaitsLongerAfterAReadingWithoutSocketsAndStopsPromptlyInAnyPause) {
  {
    NetTopStream neverStarted({}, [] { return Totals{}; });
  }

  const auto stopTakes = [](std::unique_ptr<NetTopStream>& stream) {
    const Clock::time_point stopping = Clock::now();
    stream.reset();
    return std::chrono::duration<double>(Clock::now() - stopping).count();
  };
  const Totals some{{1, {1, 1}}};
  {
    // Quick readings while there are sockets, then the idle pause after none.
    ScriptedSource script({{0, some}, {1, some}, {2, {}}});
    NetTopStream* stream = nullptr;
    auto owned = std::make_unique<NetTopStream>(
        NetTopStream::Intervals{.readingSeconds = 0.01, .idleSeconds = 600}, script.source(stream),
        script.clock());
    stream = owned.get();
    owned->latest();
    ASSERT_TRUE(script.waitForCalls(3));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(script.snapshots().size(), 3U);
    EXPECT_LT(stopTakes(owned), 3.0);
  }
  {
    ScriptedSource script({{0, some}});
    NetTopStream* stream = nullptr;
    auto owned = std::make_unique<NetTopStream>(
        NetTopStream::Intervals{.readingSeconds = 600, .idleSeconds = 0.01}, script.source(stream),
        script.clock());
    stream = owned.get();
    owned->latest();
    ASSERT_TRUE(script.waitForCalls(1));
    EXPECT_LT(stopTakes(owned), 3.0);
    EXPECT_EQ(script.snapshots().size(), 1U);
  }
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

// A child downloads from a server in this process over loopback; `read` takes the totals
// while both still hold the connection.
void expectDownloadCounted(const std::function<std::optional<Totals>()>& read) {
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
  ASSERT_EQ(::read(connection, &reply, 1), 1);

  const std::optional<Totals> totals = read();
  close(connection);
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  ASSERT_TRUE(totals);
  ASSERT_TRUE(totals->contains(child)) << "the child's socket was not found";
  EXPECT_GE(totals->at(child).first, downloadBytes);
  EXPECT_GE(totals->at(child).second, 1);
  ASSERT_TRUE(totals->contains(getpid()));
  EXPECT_GE(totals->at(getpid()).second, downloadBytes);
}

TEST(NetTopReadSS, CountsALoopbackDownloadForTheProcessThatReceivedIt) {
  const ToolRunner runner;
  if (!runner.find("ss")) GTEST_SKIP() << "ss (iproute2) is not installed";
  expectDownloadCounted([&] { return std::optional(NetTop::readSS(runner)); });
}

TEST(NetTopKernel, CountsALoopbackDownloadForTheProcessThatReceivedIt) {
  if (!platform::tcpBytesByProcess()) GTEST_SKIP() << "the kernel has no socket diagnostics here";
  expectDownloadCounted([] { return platform::tcpBytesByProcess(); });
}

}  // namespace
}  // namespace tessel
