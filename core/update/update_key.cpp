#include "update/update_key.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <system_error>

#include "update/base64.h"
#include "util/files.h"
#include "util/text.h"

namespace tessel::UpdateKey {
namespace {

std::string reason(int error) { return std::error_code(error, std::generic_category()).message(); }

Failure unsaved(const std::string& path, int error) {
  return Failure(Failure::Kind::unsaved,
                 "Couldn\u2019t save the key to " + path + " (" + reason(error) + ").");
}

Failure unreadable(const std::string& path, const std::string& why) {
  return Failure(Failure::Kind::unreadable,
                 "Couldn\u2019t read the update key in " + path + " (" + why + ").");
}

// Erases what it holds when it goes: the key's text passes through it.
struct Secret {
  std::string text;
  ~Secret() { OPENSSL_cleanse(text.data(), text.size()); }
};

// mkdir -p of the folder holding `file`, each new folder owner-only; 0 or the errno of
// the first folder that could not be made.
int makeFolders(const std::string& file) {
  for (size_t slash = file.find('/', 1); slash != std::string::npos;
       slash = file.find('/', slash + 1)) {
    const std::string folder = file.substr(0, slash);
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written == 0) errno = EIO;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

}  // namespace

Ed25519::PrivateKey load(const ClaudePaths& paths) {
  const std::string path = paths.updateKeyFile();
  // Without O_NONBLOCK a FIFO put in the key's place would hang the open.
  const Files::Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.isOpen() && errno == ENOENT) {
    throw Failure(Failure::Kind::missing,
                  "No update key in " + path + " (run: tessel-release keygen).");
  }
  if (!file.isOpen()) throw unreadable(path, reason(errno));
  struct stat status {};
  if (fstat(file.fd(), &status) != 0) throw unreadable(path, reason(errno));
  if (!S_ISREG(status.st_mode)) throw unreadable(path, "not a regular file");
  if ((status.st_mode & 077) != 0) {
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    throw Failure(Failure::Kind::notPrivate,
                  "The update key in " + path + " is open to other users (mode " + mode +
                      "), so it wasn\u2019t used (run: chmod 600 " + path + ").");
  }
  // A key file is 45 bytes; anything much longer is not one.
  Secret contents{std::string(128, '\0')};
  size_t length = 0;
  while (length < contents.text.size()) {
    const ssize_t count =
        read(file.fd(), contents.text.data() + length, contents.text.size() - length);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) throw unreadable(path, reason(errno));
    if (count == 0) break;
    length += static_cast<size_t>(count);
  }
  const Secret raw{Base64::decode(Text::trimmed(std::string_view(contents.text).substr(0, length)))
                       .value_or("")};
  auto key = Ed25519::PrivateKey::fromRaw(raw.text);
  if (!key) throw unreadable(path, "not the base64 of a 32-byte Ed25519 key");
  return *key;
}

std::string create(const ClaudePaths& paths) {
  const std::string path = paths.updateKeyFile();
  try {
    const auto existing = load(paths);
    throw Failure(Failure::Kind::exists, "An update key already exists. Its public half is " +
                                             Base64::encode(existing.publicKey()));
  } catch (const Failure& failure) {
    if (failure.kind() == Failure::Kind::exists) throw;
    // Any other answer means no usable key; the file itself, if there is one, stays.
  }

  if (const int error = makeFolders(path); error != 0) throw unsaved(path, error);
  const auto key = Ed25519::PrivateKey::generate();
  const Secret raw{key.raw()};
  const Secret text{Base64::encode(raw.text) + "\n"};
  const Files::Descriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!file.isOpen()) throw unsaved(path, errno);
  // The umask can only take bits away from 0600, but a key its owner cannot read back
  // is no use either.
  if (fchmod(file.fd(), 0600) != 0 || !writeAll(file.fd(), text.text) || fsync(file.fd()) != 0) {
    const int error = errno;
    unlink(path.c_str());
    throw unsaved(path, error);
  }
  return Base64::encode(key.publicKey());
}

}  // namespace tessel::UpdateKey
