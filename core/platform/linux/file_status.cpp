#include "platform/file_status.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace tessel::platform {

namespace {

FileStatus statusOf(const struct stat& info) {
  return FileStatus{.sizeBytes = static_cast<uint64_t>(info.st_size),
                    .modifiedSeconds = static_cast<double>(info.st_mtim.tv_sec) +
                                       static_cast<double>(info.st_mtim.tv_nsec) / 1e9,
                    .isDirectory = S_ISDIR(info.st_mode)};
}

}  // namespace

std::optional<FileStatus> fileStatus(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return statusOf(info);
}

std::optional<FileStatus> fileStatus(int folder, const char* name) {
  struct stat info {};
  if (::fstatat(folder, name, &info, 0) != 0) return std::nullopt;
  return statusOf(info);
}

}  // namespace tessel::platform
