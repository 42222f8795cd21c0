// How much of the processor Tessel's own background threads may take when the machine is
// busy. Call from the thread itself; affects that thread and what it starts, nothing else.
#pragma once

#include <string>

namespace tessel::platform {

// Lets every other thread of normal priority run first. Failure is ignored: the thread
// then keeps its priority and only costs more when the machine is loaded.
void lowerCurrentThreadPriority();

// Names the calling thread for `top -H` and debuggers; names past the system's limit
// (15 bytes on Linux) are cut.
void nameCurrentThread(const std::string& name);

}  // namespace tessel::platform
