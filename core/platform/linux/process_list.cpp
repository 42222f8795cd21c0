#include "platform/process_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "platform/linux/proc_stat.h"
#include "platform/linux/text_file.h"

namespace tessel::platform {
namespace {

double seconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// A start time counts from boot on the clock that includes suspended time; this is when
// that clock read zero, on the wall clock, to the whole second as the kernel's "btime"
// gives it to `ps`, so that both show the same start times.
double bootSeconds() { return std::floor(seconds(CLOCK_REALTIME) - seconds(CLOCK_BOOTTIME)); }

// The length of the UTF-8 sequence at the start of `text`, 0 when it is not one; a
// character `ps` would not print (C1 controls) counts as not one.
size_t sequenceLength(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  size_t length = 0;
  uint32_t point = 0;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    point = lead & 0x1fU;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    point = lead & 0x0fU;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    point = lead & 0x07U;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xc0U) != 0x80U) return 0;
    point = (point << 6U) | (byte(i) & 0x3fU);
  }
  // Overlong forms, surrogates and points past U+10FFFF are not UTF-8.
  static constexpr uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (point < smallest[length] || (point >= 0xd800 && point <= 0xdfff) || point > 0x10ffff) {
    return 0;
  }
  if (point < 0xa0) return 0;
  return length;
}

// Reads a small /proc file into `buffer` with one call, as the kernel hands these out
// whole; empty when the process is gone.
std::string_view readSmall(const char* path, char* buffer, size_t size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  const ssize_t got = read(fd, buffer, size);
  close(fd);
  return got > 0 ? std::string_view(buffer, static_cast<size_t>(got)) : std::string_view();
}

// The effective uid: the second number of the status file's "Uid:" line.
std::optional<int32_t> effectiveUid(std::string_view status) {
  const size_t line = status.find("\nUid:");
  if (line == std::string_view::npos) return std::nullopt;
  std::string_view rest = status.substr(line + 5);
  for (int field = 0; field < 2; ++field) {
    const size_t start = rest.find_first_not_of(" \t");
    if (start == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(start);
    if (field == 1) break;
    rest.remove_prefix(std::min(rest.find_first_of(" \t"), rest.size()));
  }
  int32_t uid = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), uid);
  if (error != std::errc() || end == rest.data()) return std::nullopt;
  return uid;
}

// The arguments joined by spaces as `ps -ww` joins them, an empty argument still taking
// its space, and trailing spaces dropped.
std::string joinedArguments(std::string_view cmdline) {
  if (cmdline.ends_with('\0')) cmdline.remove_suffix(1);
  std::string command;
  command.reserve(cmdline.size());
  while (true) {
    const size_t end = cmdline.find('\0');
    appendArgument(command, cmdline.substr(0, end));
    if (end == std::string_view::npos) break;
    command.push_back(' ');
    cmdline.remove_prefix(end + 1);
  }
  const size_t last = command.find_last_not_of(' ');
  command.resize(last == std::string::npos ? 0 : last + 1);
  return command;
}

bool isNumber(const char* name) {
  if (*name == '\0') return false;
  for (; *name != '\0'; ++name) {
    if (*name < '0' || *name > '9') return false;
  }
  return true;
}

}  // namespace

void appendArgument(std::string& command, std::string_view argument) {
  while (!argument.empty()) {
    const auto lead = static_cast<unsigned char>(argument.front());
    if (lead >= 0x20 && lead < 0x7f) {
      command.push_back(argument.front());
      argument.remove_prefix(1);
    } else if (const size_t length = lead < 0x80 ? 0 : sequenceLength(argument); length > 0) {
      command.append(argument.substr(0, length));
      argument.remove_prefix(length);
    } else {
      command.push_back('?');
      argument.remove_prefix(1);
    }
  }
}

// What a process keeps for its whole life, or until it runs another program: read once,
// so that a table costs one small read per process (its times), and one more for the
// memory of each process that ran since the last table.
struct Known {
  uint64_t startTicks = 0;
  std::string name;
  int32_t uid = 0;
  std::string command;
  double readAt = 0;
  uint64_t round = 0;
  // The resident pages, read when the process last ran (its CPU ticks then).
  int64_t pages = 0;
  uint64_t ticks = 0;
  double memoryAt = 0;
};

struct ProcessLister::Handle {
  MemoryRereads rereads;
  double ticksPerSecond = 100;
  int64_t pageBytes = 4096;
  uint64_t round = 0;
  std::unordered_map<int32_t, Known> known;
};

ProcessLister::ProcessLister(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}

ProcessLister::~ProcessLister() = default;

std::unique_ptr<ProcessLister> ProcessLister::open(MemoryRereads rereads) {
  // Without /proc (a sandbox that hides it) nothing can be listed in process; `ps` could
  // not list anything either, but it is the caller's to try.
  if (access("/proc/self/stat", R_OK) != 0) return nullptr;
  auto handle = std::make_unique<Handle>();
  handle->rereads = rereads;
  if (const long hertz = sysconf(_SC_CLK_TCK); hertz > 0) {
    handle->ticksPerSecond = static_cast<double>(hertz);
  }
  if (const long page = sysconf(_SC_PAGESIZE); page > 0) handle->pageBytes = page;
  return std::unique_ptr<ProcessLister>(new ProcessLister(std::move(handle)));
}

std::vector<ProcessReading> ProcessLister::list() {
  // A command line read this long ago is read again: a program may rewrite its own
  // arguments without changing its name.
  constexpr double commandAge = 60;
  std::vector<ProcessReading> readings;
  std::lock_guard guard(lock_);
  Handle& handle = *handle_;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return readings;
  const uint64_t round = ++handle.round;
  const double boot = bootSeconds();
  const double now = seconds(CLOCK_MONOTONIC);
  const double uptime = seconds(CLOCK_BOOTTIME);
  char path[64];
  char stat[1024];
  char memory[256];
  while (const dirent* entry = readdir(proc)) {
    if (!isNumber(entry->d_name)) continue;
    int32_t pid = 0;
    std::from_chars(entry->d_name, entry->d_name + strlen(entry->d_name), pid);
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    const auto fields = ProcStat::parse(readSmall(path, stat, sizeof stat));
    if (!fields) continue;
    const bool kernel = (fields->flags & ProcStat::kernelThread) != 0;
    const uint64_t ticks = fields->userTicks + fields->systemTicks;
    Known& known = handle.known[pid];
    const bool isSame =
        known.round != 0 && known.startTicks == fields->startTicks && known.name == fields->name;
    // The memory figure of the stat file is a per-processor estimate that can read 0;
    // statm's is the exact sum, the one `ps` shows. A kernel thread has no memory of its
    // own, and a process that has not run since the last table has mostly not changed
    // its memory either: most of a machine's processes sleep, and reading their memory
    // again was half the cost of a table. A young process maps its libraries and grows
    // within its first clock tick, so it is read every time; one that has not run is read
    // again after a while all the same, since the system may have taken pages from it.
    const bool isYoung = uptime - static_cast<double>(fields->startTicks) / handle.ticksPerSecond <
                         handle.rereads.youngSeconds;
    if (kernel) {
      known.pages = 0;
    } else if (!isSame || isYoung || ticks != known.ticks ||
               now - known.memoryAt >= handle.rereads.keptSeconds) {
      snprintf(path, sizeof path, "/proc/%d/statm", pid);
      const std::string_view statm = readSmall(path, memory, sizeof memory);
      const size_t space = statm.find(' ');
      if (space == std::string_view::npos) {
        handle.known.erase(pid);
        continue;
      }
      int64_t pages = 0;
      std::from_chars(statm.data() + space + 1, statm.data() + statm.size(), pages);
      known.pages = pages;
      known.ticks = ticks;
      known.memoryAt = now;
    }
    if (!isSame || known.command.empty() || now - known.readAt > commandAge) {
      snprintf(path, sizeof path, "/proc/%d/status", pid);
      const auto status = readTextFile(path, 1 << 16);
      const auto uid = status ? effectiveUid(*status) : std::nullopt;
      if (!uid) {
        handle.known.erase(pid);
        continue;
      }
      snprintf(path, sizeof path, "/proc/%d/cmdline", pid);
      const auto cmdline = kernel ? std::nullopt : readTextFile(path);
      known.startTicks = fields->startTicks;
      known.name = std::string(fields->name);
      known.uid = *uid;
      known.command = cmdline && !cmdline->empty() ? joinedArguments(*cmdline) : std::string();
      known.readAt = now;
    }
    known.round = round;

    ProcessReading reading;
    reading.pid = pid;
    reading.ppid = fields->ppid;
    reading.uid = known.uid;
    reading.residentBytes = known.pages * handle.pageBytes;
    reading.startStamp = fields->startTicks;
    reading.startedSeconds = boot + static_cast<double>(fields->startTicks) / handle.ticksPerSecond;
    reading.cpuSeconds =
        static_cast<double>(fields->userTicks + fields->systemTicks) / handle.ticksPerSecond;
    if (!known.command.empty()) {
      reading.command = known.command;
    } else {
      // A kernel thread has no command line, and neither has a process that is exiting
      // or one caught between fork and exec; `ps` shows them by name, the exiting ones
      // marked. Only a kernel thread's name is kept: the others are read again.
      reading.command.push_back('[');
      appendArgument(reading.command, fields->name);
      reading.command.push_back(']');
      if (fields->state == 'Z') reading.command.append(" <defunct>");
      if (kernel) known.command = reading.command;
    }
    readings.push_back(std::move(reading));
  }
  closedir(proc);
  std::erase_if(handle.known, [&](const auto& item) { return item.second.round != round; });
  return readings;
}

}  // namespace tessel::platform
