#include "support/undeletable.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessel::test {
namespace {

bool setImmutable(const std::string& path, bool on) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (done) {
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  close(fd);
  return done;
}

}  // namespace

UndeletableFolder::UndeletableFolder(std::string path) : path_(std::move(path)) {
  if (geteuid() == 0) {
    immutable_ = setImmutable(path_, true);
    ok_ = immutable_;
  } else {
    ok_ = chmod(path_.c_str(), 0555) == 0;
  }
}

UndeletableFolder::~UndeletableFolder() {
  if (immutable_) {
    setImmutable(path_, false);
  } else {
    chmod(path_.c_str(), 0755);
  }
}

}  // namespace tessel::test
