#include "platform/memory.h"

#include <malloc.h>

namespace tessel::platform {

void releaseFreeMemory() { malloc_trim(0); }

}  // namespace tessel::platform
