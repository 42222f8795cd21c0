#include "platform/user.h"

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace tessel::platform {

const std::string& userHomeDirectory() {
  static const std::string home = [] {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr) {
      return std::string();
    }
    return std::string(found->pw_dir);
  }();
  return home;
}

}  // namespace tessel::platform
