// All the bytes of a descriptor (standard input of the hook), read once into one block
// that keeps `padding` writable bytes after the data, as parsers that read ahead need.
// Sized for inputs from a few bytes to hundreds of megabytes without copying as it grows.
#pragma once

#include <cstddef>

namespace tessel::platform {

class ReadBuffer {
 public:
  explicit ReadBuffer(size_t padding);
  ~ReadBuffer();
  ReadBuffer(const ReadBuffer&) = delete;
  ReadBuffer& operator=(const ReadBuffer&) = delete;

  // Reads to end of file; false when that failed or the input does not fit.
  bool readAll(int fd);

  const char* data() const { return base_; }
  size_t size() const { return size_; }
  // Bytes usable from data(): at least size() + padding.
  size_t capacity() const { return present_; }

 private:
  bool grow();

  size_t padding_;
  char* base_ = nullptr;
  size_t reserved_ = 0;
  size_t present_ = 0;
  size_t size_ = 0;
};

}  // namespace tessel::platform
