// Per-process network rates: the bytes per second each process moves over TCP, from the
// kernel's per-socket counters summed per pid. `NetTopStream::shared().latest()` may be
// called from any thread; its first call starts one low-priority reader for the program's
// life. The `NetTop` functions are stateless and safe from any thread.
//
// Only TCP sockets open at two readings count: UDP is not seen, nor the bytes of a socket
// that closed between readings. Without privileges only the user's own processes appear.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>

#include "environments/shell.h"

namespace tessel {
namespace NetTop {

// pid -> cumulative bytes (in, out) over the process's sockets open at one reading.
using Totals = std::map<int32_t, std::pair<int64_t, int64_t>>;
// pid -> bytes per second (in, out).
using Rates = std::map<int32_t, std::pair<double, double>>;

// `ss -tinpH` output: each socket line names its processes in users:((…)), and the
// indented line below it carries the socket's byte counters. A socket shared by several
// processes counts for each of them; sockets without processes, and lines that are cut
// short or do not fit, count for nobody.
Totals parseSS(std::string_view text);
// nettop's CSV lines "name.pid,bytes_in,bytes_out,…"; lines that do not fit are skipped,
// and a pid listed twice keeps its last line.
Totals parseNettop(std::string_view text);
// Runs `ss -tinpH` found through `runner`; nothing when ss is missing or fails.
Totals readSS(const ToolRunner& runner);

// The rates of the pids present in both readings, `seconds` apart. A total that went
// down (a socket closed) gives 0 in that direction, never a negative rate.
Rates ratesBetween(const Totals& earlier, const Totals& later, double seconds);

}  // namespace NetTop

// Reads totals again and again on its own thread and keeps the rates between the last
// two readings. The reader starts on the first `latest()` and stops when the object goes;
// the destructor waits for a reading in progress to end.
class NetTopStream {
 public:
  struct Intervals {
    double readingSeconds = 2;  // between readings that found sockets
    double idleSeconds = 10;    // after a reading that found none
  };
  using TotalsSource = std::function<NetTop::Totals()>;
  // Seconds since any fixed instant, never going back; empty means the steady clock.
  using MonotonicClock = std::function<double()>;

  // `source` and `clock` are called on the reader thread only, the clock right after
  // each reading.
  NetTopStream(Intervals intervals, TotalsSource source, MonotonicClock clock = {});
  ~NetTopStream();
  NetTopStream(const NetTopStream&) = delete;
  NetTopStream& operator=(const NetTopStream&) = delete;

  // The program's one stream, on `ss` from the standard tool folders.
  static NetTopStream& shared();

  // The rates between the last two readings in a row that found sockets; a reading that
  // found none leaves them as they were. Empty until the reader has taken two.
  NetTop::Rates latest();
  bool isRunning() const;

 private:
  void run();

  const Intervals intervals_;
  const TotalsSource source_;
  const MonotonicClock clock_;
  std::condition_variable wake_;
  mutable std::mutex lock_;
  // Guarded by lock_.
  NetTop::Rates rates_{};
  bool isRunning_ = false;
  bool isStopping_ = false;
  std::thread reader_{};
};

}  // namespace tessel
