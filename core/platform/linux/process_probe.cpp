#include "platform/process_probe.h"

#include <signal.h>

#include <cerrno>

namespace tessel::platform {

bool processExists(int32_t pid) {
  // kill() with 0 or a negative pid addresses whole process groups; never probe those.
  if (pid <= 0) return false;
  if (kill(pid, 0) == 0) return true;
  // EPERM means the process is there but belongs to someone else.
  return errno == EPERM;
}

}  // namespace tessel::platform
