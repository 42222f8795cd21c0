// Every process on the machine read in one pass, without starting a program: what the
// process table needs of each. A lister remembers what a process keeps for its life
// (its user, its command line) between reads, so one lister serves every table; it is
// safe from any thread and serialises its reads.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::platform {

struct ProcessReading {
  int32_t pid = 0;
  int32_t ppid = 0;
  int32_t uid = 0;  // effective user id, the one `ps` shows as uid
  int64_t residentBytes = 0;
  double startedSeconds = 0;  // since 1970, to the kernel's clock tick
  // When the process started, in the system's own finest unit: the same on every read of
  // one process, different for a later process that got the same pid.
  uint64_t startStamp = 0;
  double cpuSeconds = 0;  // user and system time used so far
  // The command line as `ps -ww` prints it: the arguments joined by spaces, trailing
  // spaces dropped; "[name]" for a process without arguments (a kernel thread, or an
  // exiting process, then marked " <defunct>").
  std::string command{};

  bool operator==(const ProcessReading&) const = default;
};

// When a process's memory is read again rather than kept from the last table: always
// while it is younger than `youngSeconds`, otherwise when it has run since, or after
// `keptSeconds` all the same.
struct MemoryRereads {
  double youngSeconds = 30;
  double keptSeconds = 30;
};

class ProcessLister {
 public:
  // Nothing where this system has no in-process listing (then `ps` is the way).
  static std::unique_ptr<ProcessLister> open(MemoryRereads rereads = {});
  ~ProcessLister();
  ProcessLister(const ProcessLister&) = delete;
  ProcessLister& operator=(const ProcessLister&) = delete;

  // Every process that is there for the whole read; one that exits meanwhile is left out.
  std::vector<ProcessReading> list();

 private:
  struct Handle;  // the remembered processes
  explicit ProcessLister(std::unique_ptr<Handle> handle);

  mutable std::mutex lock_;
  // Guarded by lock_.
  std::unique_ptr<Handle> handle_;
};

// One argument as `ps` shows it in a UTF-8 locale: control characters and bytes that are
// not UTF-8 each become '?', everything else stays.
void appendArgument(std::string& command, std::string_view argument);

}  // namespace tessel::platform
