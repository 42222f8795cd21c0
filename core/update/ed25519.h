// Ed25519 signing (RFC 8032) for the update feed: a private key held in memory, its
// signatures, and checking a signature against a public key. Raw keys only: 32 bytes
// for either half, 64 for a signature. Stateless but for the key; safe from any thread.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tessel::Ed25519 {

constexpr size_t keyBytes = 32;
constexpr size_t signatureBytes = 64;

class PrivateKey {
 public:
  // A new key from the system's random source.
  static PrivateKey generate();
  // The key whose raw form is `raw`; nothing unless it is 32 bytes.
  static std::optional<PrivateKey> fromRaw(std::string_view raw);

  ~PrivateKey();
  PrivateKey(const PrivateKey& other) = default;
  PrivateKey& operator=(const PrivateKey& other) = default;

  // The 32 raw bytes, for storing the key.
  std::string raw() const;
  // The raw public half.
  std::string publicKey() const;
  // The 64-byte signature of `message`.
  std::string sign(std::string_view message) const;

 private:
  explicit PrivateKey(const std::array<unsigned char, keyBytes>& seed) : seed_(seed) {}
  std::array<unsigned char, keyBytes> seed_{};
};

// True when `signature` is `publicKey`'s signature of `message`; false for anything
// else, including a key or signature of the wrong length or a key that is no point.
bool verify(std::string_view publicKey, std::string_view message, std::string_view signature);

}  // namespace tessel::Ed25519
