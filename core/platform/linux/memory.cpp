#include "platform/memory.h"

#include <malloc.h>

namespace tessel::platform {

void releaseFreeMemory() { malloc_trim(0); }

void mapBigBuffersApart() { mallopt(M_MMAP_THRESHOLD, 1 << 20); }

}  // namespace tessel::platform
