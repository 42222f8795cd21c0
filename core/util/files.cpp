#include "util/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "platform/file_status.h"

namespace tessel::Files {
namespace {

std::optional<Attributes> attributesOf(const std::optional<platform::FileStatus>& status) {
  if (!status) return std::nullopt;
  return Attributes{.size = status->sizeBytes,
                    .modified = Date(status->modifiedSeconds),
                    .isDirectory = status->isDirectory};
}

}  // namespace

std::optional<std::string> read(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      close(fd);
      return std::nullopt;
    }
    if (got == 0) break;
    bytes.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return bytes;
}

bool create(const std::string& path, std::string_view bytes, unsigned mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) break;
    done += static_cast<size_t>(wrote);
  }
  return close(fd) == 0 && done == bytes.size();
}

bool replace(const std::string& path, std::string_view bytes, std::string_view suffix,
             unsigned mode) {
  const std::string temporary = path + std::string(suffix);
  if (!create(temporary, bytes, mode)) {
    std::remove(temporary.c_str());
    return false;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

bool appendOnce(const std::string& path, std::string_view bytes, unsigned mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, mode);
  if (fd < 0) return false;
  const ssize_t wrote = write(fd, bytes.data(), bytes.size());
  close(fd);
  return wrote == static_cast<ssize_t>(bytes.size());
}

void createDirectories(const std::string& path) {
  if (path.empty() || mkdir(path.c_str(), 0777) == 0 || errno != ENOENT) return;
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return;
  createDirectories(path.substr(0, slash));
  mkdir(path.c_str(), 0777);
}

std::optional<std::string> resolved(const std::string& path) {
  std::error_code error;
  auto canonical = std::filesystem::canonical(path, error);
  if (error) return std::nullopt;
  return canonical.string();
}

std::optional<Date> modificationTime(const std::string& path) {
  std::error_code error;
  const auto modified = std::filesystem::last_write_time(path, error);
  if (error) return std::nullopt;
  const auto sinceEpoch = std::chrono::file_clock::to_sys(modified).time_since_epoch();
  return Date(std::chrono::duration<double>(sinceEpoch).count());
}

std::optional<Attributes> attributes(const std::string& path) {
  return attributesOf(platform::fileStatus(path));
}

std::optional<std::vector<std::string>> list(const std::string& folder) {
  DIR* directory = ::opendir(folder.c_str());
  if (directory == nullptr) return std::nullopt;
  std::vector<std::string> names;
  // readdir tells its end from an error only through errno.
  errno = 0;
  while (const dirent* entry = ::readdir(directory)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  const bool failed = errno != 0;
  ::closedir(directory);
  if (failed) return std::nullopt;
  return names;
}

std::optional<OpenFolder> OpenFolder::open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  return OpenFolder(fd);
}

OpenFolder::~OpenFolder() {
  if (fd_ >= 0) close(fd_);
}

Descriptor::~Descriptor() {
  if (fd_ >= 0) close(fd_);
}

OpenFolder::OpenFolder(OpenFolder&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

std::optional<Attributes> OpenFolder::attributes(const std::string& name) const {
  return attributesOf(platform::fileStatus(fd_, name.c_str()));
}

ListingCache::Names ListingCache::list(const std::string& folder, Date now) {
  static const Names none = std::make_shared<const std::vector<std::string>>();
  const auto folderAttributes = attributes(folder);
  if (!folderAttributes || !folderAttributes->isDirectory) {
    std::lock_guard guard(lock_);
    listings_.erase(folder);
    return none;
  }
  {
    std::lock_guard guard(lock_);
    const auto cached = listings_.find(folder);
    if (cached != listings_.end() && cached->second.modified == folderAttributes->modified) {
      cached->second.used = true;
      return cached->second.names;
    }
  }
  std::optional<std::vector<std::string>> names = Files::list(folder);
  if (!names) return none;
  Names listing = std::make_shared<const std::vector<std::string>>(std::move(*names));
  // The file system stamps changes with a coarse clock: a change in the same tick as this
  // listing would leave the time as it is. Only listings of folders that have been quiet
  // for a while are kept.
  const double quiet = now - folderAttributes->modified;
  std::lock_guard guard(lock_);
  if (quiet > 2) {
    listings_[folder] = Listing{folderAttributes->modified, listing};
  } else {
    listings_.erase(folder);
  }
  return listing;
}

void ListingCache::forgetUnused() {
  std::lock_guard guard(lock_);
  std::erase_if(listings_, [](const auto& entry) { return !entry.second.used; });
  for (auto& [folder, listing] : listings_) listing.used = false;
}

std::optional<OpenFile> OpenFile::open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return std::nullopt;
  }
  return OpenFile(fd, info.st_size > 0 ? static_cast<uint64_t>(info.st_size) : 0);
}

OpenFile::~OpenFile() {
  if (fd_ >= 0) close(fd_);
}

OpenFile::OpenFile(OpenFile&& other) noexcept : fd_(other.fd_), size_(other.size_) {
  other.fd_ = -1;
}

std::string OpenFile::read(uint64_t start, uint64_t end, size_t spare) const {
  std::string bytes;
  if (end <= start) return bytes;
  bytes.reserve(end - start + spare);
  bytes.resize(end - start);
  bytes.resize(readAt(start, bytes.data(), bytes.size()));
  return bytes;
}

size_t OpenFile::readAt(uint64_t start, char* into, size_t length) const {
  size_t done = 0;
  while (done < length) {
    const ssize_t got = pread(fd_, into + done, length - done, static_cast<off_t>(start + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

std::optional<ExclusiveLock> ExclusiveLock::acquire(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return std::nullopt;
  int result = 0;
  while ((result = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (result != 0) {
    close(fd);
    return std::nullopt;
  }
  return ExclusiveLock(fd);
}

ExclusiveLock::~ExclusiveLock() {
  if (fd_ >= 0) close(fd_);
}

ExclusiveLock::ExclusiveLock(ExclusiveLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

}  // namespace tessel::Files
