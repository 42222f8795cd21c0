// The process's own heap. Stateless; safe from any thread.
#pragma once

namespace tessel::platform {

// Hands memory the allocator holds free back to the system. A long scan leaves pieces of
// freed buffers scattered through the heap that the allocator would otherwise keep for
// the life of the process.
void releaseFreeMemory();

}  // namespace tessel::platform
