#include "platform/process_info.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/linux/proc_cmdline.h"
#include "platform/linux/proc_stat.h"
#include "platform/linux/text_file.h"

namespace tessel::platform {

namespace {

// The target of /proc/<pid>/<entry>. Another user's process (without privileges) or a
// kernel thread has no readable link, and a cut-off path would name something else.
std::optional<std::string> procLink(int32_t pid, const char* entry) {
  char link[48];
  snprintf(link, sizeof link, "/proc/%d/%s", pid, entry);
  char target[4096];
  const ssize_t size = readlink(link, target, sizeof target);
  if (size <= 0 || static_cast<size_t>(size) >= sizeof target) return std::nullopt;
  return std::string(target, static_cast<size_t>(size));
}

}  // namespace

std::optional<std::string> executablePath(int32_t pid) { return procLink(pid, "exe"); }

std::optional<std::string> workingDirectory(int32_t pid) { return procLink(pid, "cwd"); }

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

std::vector<std::string> arguments(int32_t pid) {
  char path[32];
  snprintf(path, sizeof path, "/proc/%d/cmdline", pid);
  const auto text = readTextFile(path);
  return text ? ProcCmdline::parse(*text) : std::vector<std::string>();
}

std::vector<std::string> openFiles(int32_t pid) {
  char folder[32];
  snprintf(folder, sizeof folder, "/proc/%d/fd", pid);
  DIR* listing = opendir(folder);
  if (listing == nullptr) return {};
  std::vector<int> descriptors;
  while (const dirent* entry = readdir(listing)) {
    char* end = nullptr;
    const long number = strtol(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0') descriptors.push_back(static_cast<int>(number));
  }
  closedir(listing);
  std::sort(descriptors.begin(), descriptors.end());
  std::vector<std::string> paths;
  for (const int descriptor : descriptors) {
    char entry[24];
    snprintf(entry, sizeof entry, "fd/%d", descriptor);
    // Sockets, pipes and anonymous inodes read as "socket:[1234]" and the like.
    auto path = procLink(pid, entry);
    if (path && path->starts_with('/')) paths.push_back(std::move(*path));
  }
  return paths;
}

}  // namespace tessel::platform
