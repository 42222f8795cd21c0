// The current user as the operating system knows it, independent of the environment.
#pragma once

#include <string>

namespace tessel::platform {

// The home directory in the user database (not $HOME); empty when unknown.
// Looked up once per process; safe from any thread.
const std::string& userHomeDirectory();

}  // namespace tessel::platform
