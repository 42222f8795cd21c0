// Whether a process is still there, asked of the operating system without touching it.
// Stateless; safe from any thread.
#pragma once

#include <cstdint>

namespace tessel::platform {

// True while `pid` names a process, including one of another user that we may not
// signal. A pid that is not positive names no single process and answers false.
bool processExists(int32_t pid);

}  // namespace tessel::platform
