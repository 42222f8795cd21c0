// The fields of /proc/<pid>/stat that Tessel uses, parsed from the file's text.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tessel::platform::ProcStat {

// The parent pid (fourth field). The command name in parentheses may itself hold
// spaces and parentheses, so fields are counted after the last ')'.
std::optional<int32_t> parseParentPid(std::string_view text);

}  // namespace tessel::platform::ProcStat
