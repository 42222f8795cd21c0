// How much of the processor Tessel's own background threads may take when the machine is
// busy. Call from the thread itself; affects that thread and what it starts, nothing else.
#pragma once

namespace tessel::platform {

// Lets every other thread of normal priority run first. Failure is ignored: the thread
// then keeps its priority and only costs more when the machine is loaded.
void lowerCurrentThreadPriority();

}  // namespace tessel::platform
