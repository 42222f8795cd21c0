#include "platform/applications.h"

namespace tessel::platform {

std::string dockerDesktopPath() { return "/opt/docker-desktop"; }

}  // namespace tessel::platform
