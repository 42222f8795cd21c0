#include "platform/process_list.h"

#include <libproc2/misc.h>
#include <libproc2/pids.h>
#include <time.h>

#include <cstring>
#include <iterator>

namespace tessel::platform {
namespace {

// Where each item's result sits in a process's results: the order `open` asks for them.
// The uid is the effective one and the resident size comes from the status file, both
// as `ps` reads them.
enum Item {
  pidItem,
  ppidItem,
  uidItem,
  rssItem,
  beganItem,
  ticksItem,
  argsItem,
  nameItem,
  stateItem
};

double seconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// A start time counts from boot on the clock that includes suspended time; this is when
// that clock read zero, on the wall clock.
double bootSeconds() { return seconds(CLOCK_REALTIME) - seconds(CLOCK_BOOTTIME); }

// The library stands "-" in for a command line it found empty: a kernel thread has none,
// and neither has a process that is exiting. `ps` shows both by name, the latter marked.
bool isWithoutArguments(char** args) {
  return args == nullptr || args[0] == nullptr ||
         (std::strcmp(args[0], "-") == 0 && args[1] == nullptr);
}

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

struct ProcessLister::Handle {
  pids_info* info = nullptr;
  double ticksPerSecond = 100;
  ~Handle() { procps_pids_unref(&info); }
};

ProcessLister::ProcessLister(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}

ProcessLister::~ProcessLister() = default;

std::unique_ptr<ProcessLister> ProcessLister::open() {
  pids_item items[] = {PIDS_ID_PID,   PIDS_ID_PPID,   PIDS_ID_EUID, PIDS_VM_RSS, PIDS_TICS_BEGAN,
                       PIDS_TICS_ALL, PIDS_CMDLINE_V, PIDS_CMD,     PIDS_STATE};
  auto handle = std::make_unique<Handle>();
  // Without /proc (a sandbox that hides it) the library cannot start; `ps` could not
  // list anything either, but it is the caller's to try.
  if (procps_pids_new(&handle->info, items, static_cast<int>(std::size(items))) < 0) return nullptr;
  const long hertz = procps_hertz_get();
  if (hertz > 0) handle->ticksPerSecond = static_cast<double>(hertz);
  return std::unique_ptr<ProcessLister>(new ProcessLister(std::move(handle)));
}

std::vector<ProcessReading> ProcessLister::list() {
  std::vector<ProcessReading> readings;
  std::lock_guard guard(lock_);
  pids_info* info = handle_->info;
  const pids_fetch* fetched = procps_pids_reap(info, PIDS_FETCH_TASKS_ONLY);
  if (fetched == nullptr) return readings;
  const double boot = bootSeconds();
  const double hertz = handle_->ticksPerSecond;
  const int total = fetched->counts->total;
  readings.reserve(static_cast<size_t>(total));
  for (int i = 0; i < total; ++i) {
    const pids_stack* stack = fetched->stacks[i];
    ProcessReading reading;
    reading.pid = PIDS_VAL(pidItem, s_int, stack, info);
    reading.ppid = PIDS_VAL(ppidItem, s_int, stack, info);
    reading.uid = static_cast<int32_t>(PIDS_VAL(uidItem, u_int, stack, info));
    reading.residentBytes = static_cast<int64_t>(PIDS_VAL(rssItem, ul_int, stack, info)) * 1024;
    const unsigned long long began = PIDS_VAL(beganItem, ull_int, stack, info);
    reading.startStamp = began;
    reading.startedSeconds = boot + static_cast<double>(began) / hertz;
    reading.cpuSeconds = static_cast<double>(PIDS_VAL(ticksItem, ull_int, stack, info)) / hertz;
    char** args = PIDS_VAL(argsItem, strv, stack, info);
    if (isWithoutArguments(args)) {
      reading.command.append("[");
      appendArgument(reading.command, PIDS_VAL(nameItem, str, stack, info));
      reading.command.append("]");
      if (PIDS_VAL(stateItem, s_ch, stack, info) == 'Z') reading.command.append(" <defunct>");
    } else {
      for (char** arg = args; *arg != nullptr; ++arg) {
        if (arg != args) reading.command.push_back(' ');
        appendArgument(reading.command, *arg);
      }
      // `ps` ends its last column at the last character that is not a space.
      const size_t last = reading.command.find_last_not_of(' ');
      reading.command.resize(last == std::string::npos ? 0 : last + 1);
    }
    readings.push_back(std::move(reading));
  }
  return readings;
}

}  // namespace tessel::platform
