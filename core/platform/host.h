// This machine's own name, as the kernel knows it.
#pragma once

#include <string>

namespace tessel::platform {

// The host name (empty when unknown). Read once per process; safe from any thread.
const std::string& hostName();

}  // namespace tessel::platform
