#include "platform/thread_priority.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace tessel::platform {

void lowerCurrentThreadPriority() {
  // On Linux a nice value belongs to one thread when set through its thread id, so the
  // rest of the process keeps its own; 19 is the lowest an unprivileged thread may take.
  static_cast<void>(setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19));
}

void nameCurrentThread(const std::string& name) {
  static_cast<void>(pthread_setname_np(pthread_self(), name.substr(0, 15).c_str()));
}

}  // namespace tessel::platform
