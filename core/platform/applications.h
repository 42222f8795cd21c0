// Where the desktop applications Tessel looks for are installed on this system. Pure:
// nothing is checked on disk.
#pragma once

#include <string>

namespace tessel::platform {

// Docker Desktop's installation folder, present only while Docker Desktop is installed.
std::string dockerDesktopPath();

}  // namespace tessel::platform
