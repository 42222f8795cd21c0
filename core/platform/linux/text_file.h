// Whole reads of the kernel's small text files (/proc, /sys), whose reported size is 0,
// and a walk over their lines.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tessel::platform {

// Nothing when the file cannot be opened or read, or holds more than `limit` bytes.
inline std::optional<std::string> readTextFile(const char* path, size_t limit = 4 << 20) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char piece[16384];
  ssize_t got = 0;
  while ((got = read(fd, piece, sizeof piece)) > 0) {
    text.append(piece, static_cast<size_t>(got));
    if (text.size() > limit) break;
  }
  close(fd);
  if (got < 0 || text.size() > limit) return std::nullopt;
  return text;
}

// Calls `visit(line)` for each line of `text`, the last one even without a line feed.
template <class Visit>
void forEachLine(std::string_view text, Visit&& visit) {
  while (!text.empty()) {
    const size_t feed = text.find('\n');
    visit(text.substr(0, feed));
    if (feed == std::string_view::npos) break;
    text.remove_prefix(feed + 1);
  }
}

}  // namespace tessel::platform
