#include "update/ed25519.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>
#include <stdexcept>

namespace tessel::Ed25519 {
namespace {

struct FreeKey {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct FreeContext {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Key = std::unique_ptr<EVP_PKEY, FreeKey>;
using Context = std::unique_ptr<EVP_MD_CTX, FreeContext>;

const unsigned char* bytesOf(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

// libcrypto fails here only when it cannot allocate or its random source is broken;
// neither leaves anything sensible to do but stop, as std::bad_alloc would.
[[noreturn]] void cryptoFailed() { throw std::runtime_error("The signing library failed."); }

Key privateKey(const std::array<unsigned char, keyBytes>& seed) {
  Key key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
  if (!key) cryptoFailed();
  return key;
}

}  // namespace

PrivateKey PrivateKey::generate() {
  std::array<unsigned char, keyBytes> seed{};
  // An Ed25519 private key is any 32 random bytes (RFC 8032, 5.1.5).
  if (RAND_priv_bytes(seed.data(), static_cast<int>(seed.size())) != 1) cryptoFailed();
  PrivateKey key(seed);
  OPENSSL_cleanse(seed.data(), seed.size());
  return key;
}

std::optional<PrivateKey> PrivateKey::fromRaw(std::string_view raw) {
  if (raw.size() != keyBytes) return std::nullopt;
  std::array<unsigned char, keyBytes> seed{};
  std::copy(raw.begin(), raw.end(), seed.begin());
  PrivateKey key(seed);
  OPENSSL_cleanse(seed.data(), seed.size());
  return key;
}

PrivateKey::~PrivateKey() { OPENSSL_cleanse(seed_.data(), seed_.size()); }

std::string PrivateKey::raw() const { return {seed_.begin(), seed_.end()}; }

std::string PrivateKey::publicKey() const {
  const Key key = privateKey(seed_);
  std::string half(keyBytes, '\0');
  size_t length = half.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), reinterpret_cast<unsigned char*>(half.data()),
                                  &length) != 1 ||
      length != keyBytes) {
    cryptoFailed();
  }
  return half;
}

std::string PrivateKey::sign(std::string_view message) const {
  const Key key = privateKey(seed_);
  const Context context(EVP_MD_CTX_new());
  std::string signature(signatureBytes, '\0');
  size_t length = signature.size();
  // Ed25519 hashes the message itself: no digest is named, and the whole message goes
  // in one call.
  if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                     bytesOf(message), message.size()) != 1 ||
      length != signatureBytes) {
    cryptoFailed();
  }
  return signature;
}

bool verify(std::string_view publicKey, std::string_view message, std::string_view signature) {
  if (publicKey.size() != keyBytes || signature.size() != signatureBytes) return false;
  const Key key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytesOf(publicKey), publicKey.size()));
  const Context context(EVP_MD_CTX_new());
  return key && context &&
         EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
         EVP_DigestVerify(context.get(), bytesOf(signature), signature.size(), bytesOf(message),
                          message.size()) == 1;
}

}  // namespace tessel::Ed25519
