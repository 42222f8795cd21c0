// The update feed: checking a signed update-information document ("updates.json") and
// turning it into the release it announces, signing such documents for the release
// tool, comparing versions, and the SHA-256 of a downloaded file. Stateless; safe from
// any thread. Every failure is thrown as an exception whose what() the user reads.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "update/ed25519.h"
#include "util/date.h"

namespace tessel::UpdateFeed {

struct Release {
  std::string version;
  std::string notes;   // "" when the document has none
  std::string url;     // the download, always https
  std::string sha256;  // lower-cased as given; the download's digest should equal it
  int64_t size = 0;    // bytes
  std::optional<std::string> page;
  std::optional<std::string> minimumSystem;
  Date signedAt;

  bool operator==(const Release&) const = default;
};

// Why a document was refused; what() is the sentence the user is shown, after which
// the caller keeps the release it knew before.
class Failure : public std::runtime_error {
 public:
  // `notSigned` is the document without a signature (`unsigned` is taken in C++).
  enum class Kind { unreadable, notSigned, badSignature, stale, notHTTPS };

  explicit Failure(Kind kind);
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// Where the release feed lives: the build's TESSEL_FEED_URL, empty when the build names
// none (then there is nothing to check).
extern const std::string_view feedURL;

// The release `data` announces, when it is a JSON object signed by the key whose raw
// 32 bytes `publicKey` holds in base64, and signed no earlier than `lastSignedAt` (the
// newest document the caller accepted before; the same instant passes). The checks run
// in this order and the first that fails is thrown: parsing (unreadable), the
// signature's presence and base64 (unsigned), the signature over the canonical bytes
// (badSignature), the release's fields (unreadable), an https download (notHTTPS),
// the date (stale). Fields are read from the very value whose bytes were verified, so
// where a key appears twice the last one counts for both.
Release verify(std::string_view data, std::string_view publicKey, std::optional<Date> lastSignedAt);

// The bytes a signature covers: `object` without its "signature" member, in the form of
// util/canonical_json.h.
std::string canonical(const nlohmann::json& object);

// `object` with "signature" set to the base64 of `key`'s signature over its canonical
// bytes; an earlier signature is replaced. Throws Failure (unreadable) unless `object`
// is an object.
nlohmann::json sign(const nlohmann::json& object, const Ed25519::PrivateKey& key);

// True when version `a` sorts after `b`, comparing runs of ASCII digits by their value
// ("1.10" after "1.9"; "007" equals "7") and everything else byte by byte; a version
// that runs on past an equal start is the newer ("2.0.1" after "2.0").
bool isNewer(std::string_view a, std::string_view b);

// The file's SHA-256 as 64 lower-case hex digits, read in 1 MiB pieces. Throws
// std::runtime_error, saying why, when the file cannot be opened or read.
std::string sha256(const std::string& path);

}  // namespace tessel::UpdateFeed
