#include "tree/file_out.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

namespace tessel::bench {

FileOut::FileOut(std::string path) : path_(std::move(path)) {
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) fail("open");
  buffer_.reserve(flushBytes + 256 * kKiB);
}

FileOut::~FileOut() {
  if (fd_ >= 0) ::close(fd_);
}

void FileOut::close(int64_t modifiedMs) {
  flush();
  if (::close(fd_) != 0) fail("close");
  fd_ = -1;
  timespec times[2];
  times[0].tv_sec = static_cast<time_t>(modifiedMs / kSecondMs);
  times[0].tv_nsec = static_cast<long>(modifiedMs % kSecondMs * 1000000);
  times[1] = times[0];
  if (::utimensat(AT_FDCWD, path_.c_str(), times, 0) != 0) fail("utimensat");
}

void FileOut::flush() {
  size_t done = 0;
  while (done < buffer_.size()) {
    const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("write");
    done += static_cast<size_t>(n);
  }
  flushed_ += buffer_.size();
  buffer_.clear();
}

void FileOut::fail(const char* what) const {
  std::fprintf(stderr, "make_projects: %s %s: %s\n", what, path_.c_str(), std::strerror(errno));
  std::exit(1);
}

}  // namespace tessel::bench
