// The arguments of a process as /proc/<pid>/cmdline holds them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessel::platform::ProcCmdline {

// Each argument ends with a NUL. A process that rewrote its own title may leave text
// without a final NUL, which still counts as an argument, and NULs of padding after a
// shorter title, which read as empty arguments.
std::vector<std::string> parse(std::string_view text);

}  // namespace tessel::platform::ProcCmdline
