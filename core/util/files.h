// Whole-file reads and writes with the error handling every reader wants: failures
// are answers (nullopt / false), never exceptions. Safe from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "util/date.h"

namespace tessel::Files {

// The whole file, or nothing when it cannot be opened or read.
std::optional<std::string> read(const std::string& path);
// Creates (or truncates) `path` with `bytes`; `mode` applies when the file is new.
bool create(const std::string& path, std::string_view bytes, unsigned mode = 0644);
// Writes `bytes` to `path` + `suffix` and renames that over `path`; the temporary
// file is removed when the rename fails.
bool replace(const std::string& path, std::string_view bytes, std::string_view suffix,
             unsigned mode = 0644);

// Appends `bytes` with one write on a descriptor opened for appending, creating the
// file with `mode` when missing: the kernel places the whole write at the end of the
// file even when other processes append at the same moment. A short write is not retried.
bool appendOnce(const std::string& path, std::string_view bytes, unsigned mode);
// mkdir -p with default permissions; errors (including "exists") are ignored. The
// common case, an existing folder, costs one system call.
void createDirectories(const std::string& path);

// `path` with symbolic links, "." and ".." resolved; nothing when it does not exist.
std::optional<std::string> resolved(const std::string& path);

// The modification time of what is at `path`; nothing when it cannot be read.
std::optional<Date> modificationTime(const std::string& path);

struct Attributes {
  uint64_t size = 0;
  Date modified{};
  bool isDirectory = false;
};
// One stat of `path` (links followed); nothing when it cannot be read.
std::optional<Attributes> attributes(const std::string& path);

// The names in `folder` (without "." and ".."), in the order the file system lists
// them; nothing when it cannot be listed, which says nothing about what it holds.
std::optional<std::vector<std::string>> list(const std::string& folder);

// A folder held open for asking about many of its entries: each then costs a lookup of
// its name alone, where a stat of the whole path walks every folder above it again.
class OpenFolder {
 public:
  static std::optional<OpenFolder> open(const std::string& path);
  ~OpenFolder();
  OpenFolder(OpenFolder&& other) noexcept;
  OpenFolder(const OpenFolder&) = delete;
  OpenFolder& operator=(const OpenFolder&) = delete;
  OpenFolder& operator=(OpenFolder&&) = delete;

  // One stat of the entry `name` (links followed), like `attributes(folder + "/" + name)`.
  std::optional<Attributes> attributes(const std::string& name) const;

 private:
  explicit OpenFolder(int fd) : fd_(fd) {}
  int fd_;
};

// Folder listings kept by the folder's modification time, for readers that list the same
// folders on every refresh: an unchanged folder costs one stat instead of a listing.
// One lock, never held while a folder is read; safe from any thread.
class ListingCache {
 public:
  using Names = std::shared_ptr<const std::vector<std::string>>;
  // `Files::list(folder)` (empty when it cannot be listed), from the cache when the
  // folder has not changed since. Shared, not copied: a walk of thousands of files asks
  // for every listing on every refresh.
  Names list(const std::string& folder, Date now);
  // Drops the listings of folders not listed since the previous call: a reader calls it
  // after each full walk, so folders that went away do not stay in memory.
  void forgetUnused();

 private:
  struct Listing {
    Date modified;
    Names names;
    bool used = true;
  };
  std::mutex lock_;
  // Guarded by lock_.
  std::unordered_map<std::string, Listing> listings_;
};

// A regular file opened for ranged reads; closed when the object goes.
class OpenFile {
 public:
  // Nothing when `path` cannot be opened or is not a regular file (a folder would
  // report a length that means nothing).
  static std::optional<OpenFile> open(const std::string& path);
  ~OpenFile();
  OpenFile(OpenFile&& other) noexcept;
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  OpenFile& operator=(OpenFile&&) = delete;

  uint64_t size() const { return size_; }
  // The bytes from `start` to `end` (fewer if the file shrank meanwhile), with room for
  // `spare` more bytes reserved after them.
  std::string read(uint64_t start, uint64_t end, size_t spare = 0) const;
  // Up to `length` bytes from `start` into `into`, for readers that reuse one buffer;
  // how many were read (fewer at the end of the file).
  size_t readAt(uint64_t start, char* into, size_t length) const;

 private:
  OpenFile(int fd, uint64_t size) : fd_(fd), size_(size) {}
  int fd_;
  uint64_t size_;
};

// A descriptor the caller opened itself, closed when the object goes: for callers that
// need the errno of a failed open or read, which the helpers above do not keep.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor();
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int fd() const { return fd_; }
  bool isOpen() const { return fd_ >= 0; }

 private:
  int fd_;
};

// An advisory lock that processes of ours take on `path` (created when missing) around
// a read-modify-write of a file others may rewrite at the same moment; released when the
// object goes. Blocks until the lock is free.
class ExclusiveLock {
 public:
  static std::optional<ExclusiveLock> acquire(const std::string& path);
  ~ExclusiveLock();
  ExclusiveLock(ExclusiveLock&& other) noexcept;
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(ExclusiveLock&&) = delete;

 private:
  explicit ExclusiveLock(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace tessel::Files
