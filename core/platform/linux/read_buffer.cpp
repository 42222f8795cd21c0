#include "platform/read_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tessel::platform {

// The block is a large reservation of address space whose pages are made present a
// chunk at a time, one system call per chunk: on virtual machines a page fault per
// 4 KiB page costs more than parsing the page, and a hook's tool response can be
// megabytes. Nothing is copied as the input grows.
ReadBuffer::ReadBuffer(size_t padding) : padding_(padding) {
  for (size_t size : {size_t{1} << 30, size_t{64} << 20}) {
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base != MAP_FAILED) {
      base_ = static_cast<char*>(base);
      reserved_ = size;
      return;
    }
  }
}

ReadBuffer::~ReadBuffer() {
  if (base_ != nullptr) munmap(base_, reserved_);
}

bool ReadBuffer::readAll(int fd) {
  if (base_ == nullptr) return false;
  for (;;) {
    if (present_ - size_ < 4096 + padding_ && !grow()) return false;
    const ssize_t got = read(fd, base_ + size_, present_ - size_ - padding_);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    size_ += static_cast<size_t>(got);
  }
}

bool ReadBuffer::grow() {
  const size_t next = std::min(reserved_, present_ == 0 ? size_t{16} << 10 : present_ * 2);
  if (next <= present_) return false;
  // Kernels before 5.14 lack this advice; the pages then arrive one fault at a time.
  madvise(base_ + present_, next - present_, MADV_POPULATE_WRITE);
  present_ = next;
  return true;
}

}  // namespace tessel::platform
