// How the operating system lays out its own processes: where its programs live, and
// which process adopts the processes whose parent has exited.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tessel::platform {

// Folders whose programs belong to the operating system, each ending in "/".
std::span<const std::string_view> systemPathPrefixes();

// Whether the process (`pid`, owned by `uid`, named `name`) is where this user's
// orphaned processes end up: process 1, or where a service manager adopts them, that
// service manager.
bool adoptsOrphans(int32_t pid, int32_t uid, std::string_view name);

// The real user id of this process.
int32_t userId();

}  // namespace tessel::platform
