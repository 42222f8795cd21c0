// What the file system records about one path, asked without opening it. Stateless;
// safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessel::platform {

struct FileStatus {
  uint64_t sizeBytes = 0;
  // Seconds since 1970-01-01T00:00:00Z, to the file system's own precision.
  double modifiedSeconds = 0;
  bool isDirectory = false;
};

// Follows symbolic links; nothing when the path cannot be reached.
std::optional<FileStatus> fileStatus(const std::string& path);
// The same for the entry `name` of the folder open as `folder`: only the name is looked
// up, not the folder's whole path again.
std::optional<FileStatus> fileStatus(int folder, const char* name);

}  // namespace tessel::platform
