#include "platform/system_layout.h"

#include <unistd.h>

#include <array>

namespace tessel::platform {

std::span<const std::string_view> systemPathPrefixes() {
  // The macOS folders stay: the same rules then hold for a table read on either system.
  static constexpr std::array<std::string_view, 8> prefixes = {
      "/System/",          "/usr/libexec/",
      "/usr/sbin/",        "/sbin/",
      "/Library/Apple/",   "/Library/PrivilegedHelperTools/",
      "/usr/lib/systemd/", "/lib/systemd/"};
  return prefixes;
}

bool adoptsOrphans(int32_t pid, int32_t uid, std::string_view name) {
  // A desktop session's `systemd --user` is a subreaper: orphans of the user's programs
  // are re-parented to it, not to process 1.
  return pid == 1 || (uid == userId() && name == "systemd");
}

int32_t userId() { return static_cast<int32_t>(getuid()); }

}  // namespace tessel::platform
