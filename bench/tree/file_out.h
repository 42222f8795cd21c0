// One file of the projects tree, written in large blocks and dated by its last line when
// closed. Owned by one writing thread. Failures end the program: a half-written tree is
// of no use to a benchmark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tree/units.h"

namespace tessel::bench {

class FileOut {
 public:
  static constexpr size_t flushBytes = 4 * kMiB;

  explicit FileOut(std::string path);
  FileOut(const FileOut&) = delete;
  FileOut& operator=(const FileOut&) = delete;
  ~FileOut();

  // Lines are appended here; maybeFlush writes them out once there are enough.
  std::string& buffer() { return buffer_; }
  uint64_t size() const { return flushed_ + buffer_.size(); }
  void maybeFlush() {
    if (buffer_.size() >= flushBytes) flush();
  }
  void close(int64_t modifiedMs);

 private:
  void flush();
  [[noreturn]] void fail(const char* what) const;

  std::string path_;
  int fd_ = -1;
  std::string buffer_;
  uint64_t flushed_ = 0;
};

}  // namespace tessel::bench
