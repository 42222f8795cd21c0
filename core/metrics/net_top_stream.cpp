#include "metrics/net_top_stream.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/socket_counters.h"
#include "platform/thread_priority.h"
#include "util/text.h"

namespace tessel {
namespace {

constexpr double ssTimeoutSeconds = 20;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The whole of `text` as a number of type T, or nothing.
template <typename T>
std::optional<T> wholeNumber(std::string_view text) {
  T value{};
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc{} || stop != end || text.empty()) return std::nullopt;
  return value;
}

// The pids of a socket line's users:(("name",pid=1,fd=3),("name",pid=2,fd=4)), each once
// (one process holding the socket in two descriptors is listed twice). A field cut off
// before its closing "))" gives nothing, so a half-read line never counts.
std::vector<int32_t> socketPids(std::string_view line) {
  const size_t users = line.find("users:((");
  if (users == std::string_view::npos) return {};
  const size_t close = line.find("))", users);
  if (close == std::string_view::npos) return {};
  const std::string_view field = line.substr(users, close + 2 - users);
  std::vector<int32_t> pids;
  constexpr std::string_view marker = "\",pid=";
  for (size_t at = field.find(marker); at != std::string_view::npos; at = field.find(marker, at)) {
    at += marker.size();
    const size_t comma = field.find(',', at);
    if (comma == std::string_view::npos) break;
    const auto pid = wholeNumber<int32_t>(field.substr(at, comma - at));
    if (!pid || *pid <= 0) continue;
    if (std::find(pids.begin(), pids.end(), *pid) == pids.end()) pids.push_back(*pid);
  }
  return pids;
}

struct SocketBytes {
  std::optional<int64_t> received{};
  std::optional<int64_t> acked{};
  std::optional<int64_t> sent{};

  // ss leaves out counters that are still 0.
  int64_t in() const { return received.value_or(0); }
  // bytes_acked counts each byte once, when the peer has it; bytes_sent counts
  // retransmitted bytes again. A socket without bytes_acked has had nothing acknowledged
  // yet, so its bytes_sent is at most what is in flight: counting it shows a starting
  // upload at once, and the dip when the acknowledgements catch up is clamped to 0.
  int64_t out() const { return acked.value_or(sent.value_or(0)); }
};

// Reads the byte counters among an info line's space-separated "name:value" fields.
void readCounters(std::string_view line, SocketBytes& bytes) {
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && isBlank(line[at])) ++at;
    size_t end = at;
    while (end < line.size() && !isBlank(line[end])) ++end;
    const std::string_view field = line.substr(at, end - at);
    at = end;
    const size_t colon = field.find(':');
    if (colon == std::string_view::npos || field.compare(0, 6, "bytes_") != 0) continue;
    const std::string_view name = field.substr(0, colon);
    std::optional<int64_t>* slot = name == "bytes_received" ? &bytes.received
                                   : name == "bytes_acked"  ? &bytes.acked
                                   : name == "bytes_sent"   ? &bytes.sent
                                                            : nullptr;
    if (slot == nullptr) continue;
    // The kernel's counters are unsigned 64-bit; one past int64's range is not a total.
    const auto value = wholeNumber<uint64_t>(field.substr(colon + 1));
    if (value && *value <= uint64_t{INT64_MAX}) *slot = static_cast<int64_t>(*value);
  }
}

}  // namespace

namespace NetTop {

Totals parseSS(std::string_view text) {
  Totals totals;
  // The socket line seen last, waiting for its info line.
  std::vector<int32_t> pids;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (line.empty()) continue;
    if (!isBlank(line.front())) {
      pids = socketPids(line);
      continue;
    }
    if (pids.empty()) continue;
    SocketBytes bytes;
    readCounters(line, bytes);
    for (const int32_t pid : pids) {
      auto& [in, out] = totals[pid];
      in += bytes.in();
      out += bytes.out();
    }
    // A second indented line must not count the same socket twice.
    pids.clear();
  }
  return totals;
}

Totals parseNettop(std::string_view text) {
  Totals totals;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    std::string_view fields[3];
    size_t found = 0;
    while (found < 3) {
      const size_t comma = line.find(',');
      fields[found++] = line.substr(0, comma);
      if (comma == std::string_view::npos) break;
      line.remove_prefix(comma + 1);
    }
    if (found < 3) continue;
    const size_t dot = fields[0].rfind('.');
    if (dot == std::string_view::npos) continue;
    const auto pid = wholeNumber<int32_t>(fields[0].substr(dot + 1));
    const auto in = wholeNumber<int64_t>(fields[1]);
    const auto out = wholeNumber<int64_t>(fields[2]);
    // Byte counts below zero are not counts; they would also overflow the rates' subtraction.
    if (!pid || !in || !out || *in < 0 || *out < 0) continue;
    totals[*pid] = {*in, *out};
  }
  return totals;
}

Totals readSS(const ToolRunner& runner) {
  const std::optional<Shell::Result> result = runner.tool("ss", {"-tinpH"}, ssTimeoutSeconds);
  // Output cut off by the time-out would undercount the sockets it lost.
  if (!result || !result->ok()) return {};
  return parseSS(result->out);
}

Rates ratesBetween(const Totals& earlier, const Totals& later, double seconds) {
  Rates rates;
  if (!(seconds > 0)) return rates;
  for (const auto& [pid, now] : later) {
    const auto before = earlier.find(pid);
    if (before == earlier.end()) continue;
    const double in = static_cast<double>(std::max<int64_t>(now.first - before->second.first, 0));
    const double out =
        static_cast<double>(std::max<int64_t>(now.second - before->second.second, 0));
    rates[pid] = {in / seconds, out / seconds};
  }
  return rates;
}

}  // namespace NetTop

NetTopStream::NetTopStream(Intervals intervals, TotalsSource source, MonotonicClock clock)
    : intervals_(intervals), source_(std::move(source)), clock_(std::move(clock)) {}

NetTopStream::~NetTopStream() {
  std::thread reader;
  {
    std::lock_guard guard(lock_);
    isStopping_ = true;
    reader = std::move(reader_);
  }
  wake_.notify_all();
  if (reader.joinable()) reader.join();
}

NetTopStream& NetTopStream::shared() {
  // Whatever static the reader uses must be made before the stream, so that it is
  // destroyed after the stream's destructor has joined the reader. The runner is made
  // while the stream's arguments are evaluated; the JSON library picks its implementation
  // for this processor on first use, and the reader's output checks are such a use.
  static const bool warmed = Text::isValidUtf8("");
  (void)warmed;
  static NetTopStream stream(Intervals{}, [runner = std::make_shared<const ToolRunner>()] {
    // Asking the kernel costs a fraction of starting ss, which looks through the same
    // descriptors; ss is for kernels or sandboxes that do not answer.
    if (auto totals = platform::tcpBytesByProcess()) return std::move(*totals);
    return NetTop::readSS(*runner);
  });
  return stream;
}

NetTop::Rates NetTopStream::latest() {
  std::lock_guard guard(lock_);
  if (!isRunning_ && !isStopping_) {
    // A machine out of threads leaves the stream stopped, and the next call tries again.
    try {
      reader_ = std::thread([this] { run(); });
      isRunning_ = true;
    } catch (const std::system_error&) {
    }
  }
  return rates_;
}

bool NetTopStream::isRunning() const {
  std::lock_guard guard(lock_);
  return isRunning_;
}

void NetTopStream::run() {
  platform::lowerCurrentThreadPriority();
  // A monotonic clock: a wall-clock step between two readings would make up a rate.
  const MonotonicClock clock = clock_ ? clock_ : [] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  };
  NetTop::Totals previous;
  double previousAt = 0;
  while (true) {
    NetTop::Totals totals = source_();
    const double takenAt = clock();
    double pauseSeconds = intervals_.readingSeconds;
    if (totals.empty()) {
      // Nothing to compare with: the next reading with sockets starts afresh rather than
      // spreading everything since the last one over the idle time.
      previous.clear();
      pauseSeconds = intervals_.idleSeconds;
    } else {
      if (!previous.empty()) {
        NetTop::Rates rates = NetTop::ratesBetween(previous, totals, takenAt - previousAt);
        std::lock_guard guard(lock_);
        rates_ = std::move(rates);
      }
      previous = std::move(totals);
      previousAt = takenAt;
    }
    std::unique_lock guard(lock_);
    if (wake_.wait_for(guard, std::chrono::duration<double>(pauseSeconds),
                       [this] { return isStopping_; })) {
      return;
    }
  }
}

}  // namespace tessel
