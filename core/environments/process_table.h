// The machine's processes at one moment, read in process or from one `ps` run, indexed by
// pid and by parent, for walking the process tree. Tables and entries are immutable
// values, safe to read from any thread; `take` and `sample` block their caller while
// they read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "environments/shell.h"
#include "util/date.h"
#include "util/hash.h"

namespace tessel {

struct ProcessEntry {
  int32_t pid = 0;
  int32_t ppid = 0;
  int32_t uid = 0;
  // Percent of one core, may exceed 100: the share since the table before where the
  // table is read in process (`take`), else `ps`'s own figure.
  double cpu = 0;
  int64_t memory = 0;  // resident bytes
  Date started{};
  std::string command{};  // the whole command line, exactly as `ps` printed it

  bool operator==(const ProcessEntry&) const = default;

  int32_t id() const { return pid; }

  // Each of these asks the operating system afresh, one system call per read; a process
  // that has exited, or that we may not look into, has no paths.
  std::optional<std::string> executablePath() const;
  std::optional<std::string> workingDirectory() const;
  // The executable's file name, or failing that the file name of the command's first word.
  std::string name() const;
  // The same from an executable path already read, which saves asking again.
  std::string name(const std::optional<std::string>& executable) const;
};

struct ProcessTable {
  Date date{};
  // For a pid listed more than once, the first entry listed.
  std::unordered_map<int32_t, ProcessEntry> byPID{};
  // Parent pid -> its children's pids in listing order, duplicates included; a pid
  // without children has no key.
  std::unordered_map<int32_t, std::vector<int32_t>> children{};

  ProcessTable() = default;
  ProcessTable(Date date, std::vector<ProcessEntry> entries);

  bool operator==(const ProcessTable&) const = default;

  // The table now, from the cheapest source this system has: where the processes can be
  // read in process, that reading, with `cpu` the share of one core each used since the
  // previous table taken here (a process's first table: its lifetime average, as `ps`
  // gives); elsewhere `sample(tools)`. Blocks for the read, a few milliseconds in process.
  static ProcessTable take(const ToolRunner& tools);
  // Runs `ps` once through `tools` (5 s time-out) and builds a table from whatever it
  // printed; a failed run gives an empty table dated now.
  static ProcessTable sample(const ToolRunner& tools);
  // Entries in the order of `output`'s lines; lines that do not read as a process are
  // dropped one by one.
  static std::vector<ProcessEntry> parse(std::string_view output);

  // Every entry of `byPID`, in no particular order.
  std::vector<ProcessEntry> all() const;
  // Everything below `pid` in the parent tree, depth first with the last child first;
  // `pid` itself is never included, and parent links that form a cycle end the walk.
  std::vector<ProcessEntry> descendants(int32_t pid) const;
  // The nearest pid in `pids`, starting with `pid` itself and climbing through parents;
  // gives up at pid 1, at a pid missing from the table or after 64 pids.
  std::optional<int32_t> ancestor(int32_t pid, const std::unordered_set<int32_t>& pids) const;
};

}  // namespace tessel

template <>
struct std::hash<tessel::ProcessEntry> {
  size_t operator()(const tessel::ProcessEntry& e) const noexcept {
    return tessel::hashFields(e.pid, e.ppid, e.uid, e.cpu, e.memory, e.started.secondsSince1970(),
                              e.command);
  }
};
