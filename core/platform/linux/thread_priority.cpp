#include "platform/thread_priority.h"

#include <sys/resource.h>
#include <unistd.h>

namespace tessel::platform {

void lowerCurrentThreadPriority() {
  // On Linux a nice value belongs to one thread when set through its thread id, so the
  // rest of the process keeps its own; 19 is the lowest an unprivileged thread may take.
  static_cast<void>(setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19));
}

}  // namespace tessel::platform
