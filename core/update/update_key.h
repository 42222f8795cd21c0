// The release tool's signing key, kept in a file only its owner may read or write:
// <support dir>/update-key, holding the base64 of the raw 32-byte Ed25519 private key.
// For the release tool alone; one call at a time.
#pragma once

#include <stdexcept>
#include <string>

#include "paths/claude_paths.h"
#include "update/ed25519.h"

namespace tessel::UpdateKey {

// A failure the user reads: what() is the whole sentence.
class Failure : public std::runtime_error {
 public:
  enum class Kind { missing, exists, notPrivate, unreadable, unsaved };

  Failure(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// The stored key. Throws Failure: missing when there is no file, notPrivate when its
// mode lets the group or others at it at all (such a key may have been copied, so it is
// not used), unreadable when it cannot be read or holds no key.
Ed25519::PrivateKey load(const ClaudePaths& paths);

// Makes and stores a new key and returns its public half in base64. Folders missing on
// the way to the file are made with mode 0700, the file with 0600 whatever the umask;
// it is never replaced. Throws Failure: exists (naming the public half) when a key
// loads, unsaved when the file cannot be written, an unusable one included.
std::string create(const ClaudePaths& paths);

}  // namespace tessel::UpdateKey
