#include "platform/process_info.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "platform/linux/proc_stat.h"

namespace tessel::platform {

std::optional<std::string> executablePath(int32_t pid) {
  char link[32];
  snprintf(link, sizeof link, "/proc/%d/exe", pid);
  char target[4096];
  const ssize_t size = readlink(link, target, sizeof target);
  // Another user's process, or a kernel thread, has no readable link.
  if (size <= 0 || static_cast<size_t>(size) >= sizeof target) return std::nullopt;
  return std::string(target, static_cast<size_t>(size));
}

std::optional<std::string> workingDirectory(int32_t pid) {
  char link[32];
  snprintf(link, sizeof link, "/proc/%d/cwd", pid);
  char target[4096];
  const ssize_t size = readlink(link, target, sizeof target);
  // Another user's process has no readable link without privileges; a truncated path
  // would name some other folder.
  if (size <= 0 || static_cast<size_t>(size) >= sizeof target) return std::nullopt;
  return std::string(target, static_cast<size_t>(size));
}

std::optional<int32_t> parentPid(int32_t pid) {
  char path[32];
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char text[1024];
  const ssize_t size = read(fd, text, sizeof text);
  close(fd);
  if (size <= 0) return std::nullopt;
  return ProcStat::parseParentPid(std::string_view(text, static_cast<size_t>(size)));
}

}  // namespace tessel::platform
