// The fields of /proc/<pid>/stat that Tessel uses, parsed from the file's text.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tessel::platform::ProcStat {

// A kernel thread's flag (field 9): it has no memory and no command line of its own.
inline constexpr uint32_t kernelThread = 0x00200000;

struct Fields {
  std::string_view name;  // the command name, inside the text parsed
  char state = '?';
  int32_t ppid = 0;
  uint32_t flags = 0;
  uint64_t userTicks = 0;
  uint64_t systemTicks = 0;
  uint64_t startTicks = 0;  // since boot
};

// The command name in parentheses may itself hold spaces and parentheses, so fields are
// counted after the last ')'.
std::optional<Fields> parse(std::string_view text);

// The parent pid (fourth field) alone, from a line that may stop short after it.
std::optional<int32_t> parseParentPid(std::string_view text);

}  // namespace tessel::platform::ProcStat
