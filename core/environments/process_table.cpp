#include "environments/process_table.h"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>

#include "environments/process_cpu.h"
#include "environments/shell.h"
#include "platform/process_info.h"
#include "platform/process_list.h"
#include "util/calendar.h"
#include "util/path.h"
#include "util/text.h"

namespace tessel {
namespace {

// pid, ppid, uid, pcpu, rss, the five words of lstart, then the command.
constexpr size_t fieldCount = 11;
using Fields = std::array<std::string_view, fieldCount>;

// A walk up the tree tests at most this many pids, so parent links that loop back on
// themselves cannot hold it.
constexpr int maxAncestorSteps = 64;

// Only U+0020 separates: `ps` pads its columns with spaces, while a tab is part of a
// word. The command is everything after the tenth word's space, so its own runs of
// spaces survive. False when the line has no command.
bool splitFields(std::string_view line, Fields& fields) {
  size_t pos = 0;
  for (size_t i = 0; i + 1 < fieldCount; ++i) {
    while (pos < line.size() && line[pos] == ' ') ++pos;
    const size_t end = line.find(' ', pos);
    if (end == std::string_view::npos) return false;
    fields[i] = line.substr(pos, end - pos);
    pos = end + 1;
  }
  if (pos == line.size()) return false;
  fields[fieldCount - 1] = line.substr(pos);
  return true;
}

template <class T>
bool readNumber(std::string_view text, T& value) {
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && stop == end;
}

// lstart's five words joined by single spaces, which drops the padding `ps` puts before
// a one-digit day, read in the machine's time zone.
std::optional<Date> startDate(const Fields& fields, std::string& text) {
  text.assign(fields[5]).append(" ").append(fields[6]).append(" ").append(fields[7]);
  text.append(" ").append(fields[8]).append(" ").append(fields[9]);
  return Calendar::parseFixed(text, "%a %b %d %H:%M:%S %Y");
}

std::optional<ProcessEntry> readLine(std::string_view line, std::string& scratch) {
  Fields fields;
  if (!splitFields(line, fields)) return std::nullopt;
  ProcessEntry entry;
  int64_t rss = 0;
  if (!readNumber(fields[0], entry.pid) || !readNumber(fields[1], entry.ppid) ||
      !readNumber(fields[2], entry.uid) || !readNumber(fields[3], entry.cpu) ||
      !readNumber(fields[4], rss)) {
    return std::nullopt;
  }
  // No real process comes near this; a line claiming it is garbage, not a reason to overflow.
  constexpr int64_t maxKiB = std::numeric_limits<int64_t>::max() / 1024;
  if (rss > maxKiB || rss < -maxKiB) return std::nullopt;
  const std::optional<Date> started = startDate(fields, scratch);
  if (!started) return std::nullopt;
  entry.memory = rss * 1024;
  entry.started = *started;
  entry.command.assign(fields[10]);
  return entry;
}

}  // namespace

std::optional<std::string> ProcessEntry::executablePath() const {
  const auto path = platform::executablePath(pid);
  if (!path) return std::nullopt;
  return Text::repairUtf8(*path);
}

std::optional<std::string> ProcessEntry::workingDirectory() const {
  const auto path = platform::workingDirectory(pid);
  if (!path || path->empty()) return std::nullopt;
  return Text::repairUtf8(*path);
}

std::string ProcessEntry::name() const { return name(executablePath()); }

std::string ProcessEntry::name(const std::optional<std::string>& executable) const {
  if (executable) return std::string(Path::lastComponent(*executable));
  const size_t start = command.find_first_not_of(' ');
  if (start == std::string::npos) return std::string(Path::lastComponent(command));
  const size_t end = command.find(' ', start);
  const std::string_view firstWord = std::string_view(command).substr(
      start, end == std::string::npos ? std::string_view::npos : end - start);
  return std::string(Path::lastComponent(firstWord));
}

// The entries are moved into the table one by one, which clang-tidy does not follow.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
ProcessTable::ProcessTable(Date date, std::vector<ProcessEntry> entries) : date(date) {
  byPID.reserve(entries.size());
  for (ProcessEntry& entry : entries) {
    children[entry.ppid].push_back(entry.pid);
    // try_emplace leaves `entry` untouched when the pid is already there.
    byPID.try_emplace(entry.pid, std::move(entry));
  }
}

ProcessTable ProcessTable::take(const ToolRunner& tools) {
  static const std::unique_ptr<platform::ProcessLister> lister = platform::ProcessLister::open();
  if (!lister) return sample(tools);
  std::vector<platform::ProcessReading> readings = lister->list();
  const Date now = Date::now();
  const std::vector<double> percents = ProcessCpu::shared().percents(readings, now);
  std::vector<ProcessEntry> entries;
  entries.reserve(readings.size());
  for (size_t i = 0; i < readings.size(); ++i) {
    platform::ProcessReading& reading = readings[i];
    // To the second, as `ps` prints a start time, so both sources give equal entries.
    entries.push_back(ProcessEntry{reading.pid, reading.ppid, reading.uid, percents[i],
                                   reading.residentBytes, Date(std::floor(reading.startedSeconds)),
                                   std::move(reading.command)});
  }
  return ProcessTable(now, std::move(entries));
}

ProcessTable ProcessTable::sample(const ToolRunner& tools) {
  const Shell::Result result =
      tools.run("/bin/ps", {"-axww", "-o", "pid=,ppid=,uid=,pcpu=,rss=,lstart=,args="}, 5);
  // A failed or timed-out run still hands back what it printed; that is the best
  // snapshot there is, and an empty one is a valid table.
  std::vector<ProcessEntry> entries = parse(result.out);
  return ProcessTable(Date::now(), std::move(entries));
}

std::vector<ProcessEntry> ProcessTable::parse(std::string_view output) {
  std::vector<ProcessEntry> entries;
  std::string scratch;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string_view::npos) end = output.size();
    if (end > start) {
      if (auto entry = readLine(output.substr(start, end - start), scratch)) {
        entries.push_back(std::move(*entry));
      }
    }
    start = end + 1;
  }
  return entries;
}

std::vector<ProcessEntry> ProcessTable::all() const {
  std::vector<ProcessEntry> entries;
  entries.reserve(byPID.size());
  for (const auto& [pid, entry] : byPID) entries.push_back(entry);
  return entries;
}

std::vector<ProcessEntry> ProcessTable::descendants(int32_t pid) const {
  std::vector<ProcessEntry> result;
  std::vector<int32_t> stack;
  if (const auto found = children.find(pid); found != children.end()) stack = found->second;
  // The seen set is what ends a walk over parent links that loop back on themselves.
  std::unordered_set<int32_t> seen{pid};
  while (!stack.empty()) {
    const int32_t next = stack.back();
    stack.pop_back();
    if (!seen.insert(next).second) continue;
    const auto entry = byPID.find(next);
    if (entry == byPID.end()) continue;
    result.push_back(entry->second);
    if (const auto below = children.find(next); below != children.end()) {
      stack.insert(stack.end(), below->second.begin(), below->second.end());
    }
  }
  return result;
}

std::optional<int32_t> ProcessTable::ancestor(int32_t pid,
                                              const std::unordered_set<int32_t>& pids) const {
  int32_t current = pid;
  for (int tested = 1;; ++tested) {
    if (pids.contains(current)) return current;
    const auto entry = byPID.find(current);
    if (entry == byPID.end()) return std::nullopt;
    const int32_t parent = entry->second.ppid;
    if (parent == current || parent < 1 || tested >= maxAncestorSteps) return std::nullopt;
    current = parent;
  }
}

}  // namespace tessel
