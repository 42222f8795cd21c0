// This machine's own name and size, as the kernel knows them.
#pragma once

#include <cstdint>
#include <string>

namespace tessel::platform {

// The host name (empty when unknown). Read once per process; safe from any thread.
const std::string& hostName();
// Physical memory in bytes (0 when unknown).
uint64_t physicalMemory();

}  // namespace tessel::platform
