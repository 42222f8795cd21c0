// Facts about one running process, read from the operating system. Every call may
// race with the process's exit, so every answer is optional.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::platform {

// Absolute path of the process's executable file.
std::optional<std::string> executablePath(int32_t pid);
// The process's current directory; nothing for a process we may not look into.
std::optional<std::string> workingDirectory(int32_t pid);
// The process's parent pid.
std::optional<int32_t> parentPid(int32_t pid);
// The process's command line, one string per argument, argv[0] first. Empty for a
// process that has gone, and for a kernel thread, which has none.
std::vector<std::string> arguments(int32_t pid);
// The paths of the files the process holds open, in descriptor order; sockets, pipes
// and other descriptors without a path are left out. Nothing for a process we may not
// look into.
std::vector<std::string> openFiles(int32_t pid);

}  // namespace tessel::platform
