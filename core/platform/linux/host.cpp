#include "platform/host.h"

#include <unistd.h>

namespace tessel::platform {

const std::string& hostName() {
  static const std::string name = [] {
    char buffer[256] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0) return std::string();
    return std::string(buffer);
  }();
  return name;
}

}  // namespace tessel::platform
