// The process's own heap. Stateless; safe from any thread.
#pragma once

namespace tessel::platform {

// Hands memory the allocator holds free back to the system. A long scan leaves pieces of
// freed buffers scattered through the heap that the allocator would otherwise keep for
// the life of the process.
void releaseFreeMemory();

// Has buffers of a mebibyte or more mapped apart from the heap, so that each goes back to
// the system as soon as it is released. Otherwise the allocator raises its threshold to
// the largest buffer released so far, and the big reads of a long-lived process leave
// their pages in the heaps of its threads for good.
void mapBigBuffersApart();

}  // namespace tessel::platform
