#include "update/update_feed.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <system_error>
#include <vector>

#include "update/base64.h"
#include "util/calendar.h"
#include "util/canonical_json.h"
#include "util/files.h"
#include "util/json_object.h"

namespace tessel::UpdateFeed {
namespace {

using nlohmann::json;

const char* description(Failure::Kind kind) {
  switch (kind) {
    case Failure::Kind::unreadable:
      return "The update information couldn\u2019t be read.";
    case Failure::Kind::notSigned:
      return "The update information isn\u2019t signed.";
    case Failure::Kind::badSignature:
      return "The update information isn\u2019t signed by Brackwater, so it was ignored.";
    case Failure::Kind::stale:
      return "The update information is older than one already seen, so it was ignored.";
    case Failure::Kind::notHTTPS:
      return "The update\u2019s download isn\u2019t over a secure connection, so it was ignored.";
  }
  return "";
}

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The URL's scheme ("" for a relative reference), or nothing when `text` is not a URL
// by RFC 3986's grammar: only its unreserved and reserved characters and %-escapes,
// and a scheme of a letter followed by letters, digits, "+", "-" or ".".
std::optional<std::string> urlScheme(std::string_view text) {
  static constexpr std::string_view punctuation = "-._~:/?#[]@!$&'()*+,;=";
  if (text.empty()) return std::nullopt;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) return std::nullopt;
      i += 2;
    } else if (!isAlpha(c) && !isDigit(c) && punctuation.find(c) == std::string_view::npos) {
      return std::nullopt;
    }
  }
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon > text.find_first_of("/?#")) return "";
  const std::string_view scheme = text.substr(0, colon);
  if (scheme.empty() || !isAlpha(scheme[0])) return std::nullopt;
  std::string lower;
  for (char c : scheme) {
    if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return std::nullopt;
    lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  return lower;
}

// A whole number of bytes: the parser keeps integers as integers, but a writer may
// have put 1e6 or 1048576.0.
std::optional<int64_t> integerValue(const json& value) {
  if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<int64_t>();
  if (value.is_number_unsigned()) {
    const auto number = value.get<uint64_t>();
    if (number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(number);
  }
  if (value.is_number_float()) {
    const auto number = value.get<double>();
    if (number != std::trunc(number) || number < -9223372036854775808.0 ||
        number >= 9223372036854775808.0) {
      return std::nullopt;
    }
    return static_cast<int64_t>(number);
  }
  return std::nullopt;
}

std::string lowerCased(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// An optional member: absent and null mean none; anything but a string is a fault.
bool optionalString(const json& object, const char* key, std::optional<std::string>& into) {
  if (!Json::isPresent(object, key)) return true;
  into = Json::stringAt(object, key);
  return into.has_value();
}

// The release's fields, or nothing when one is missing or of the wrong type.
std::optional<Release> readRelease(const json& document) {
  const json* app = Json::objectAt(document, "app");
  if (app == nullptr) return std::nullopt;
  Release release;
  const auto version = Json::stringAt(*app, "version");
  const auto url = Json::stringAt(*app, "url");
  const auto sha256 = Json::stringAt(*app, "sha256");
  const json* size = Json::memberAt(*app, "size");
  const auto signedAt = Json::stringAt(document, "signedAt");
  if (!version || !url || !urlScheme(*url) || !sha256 || size == nullptr || !signedAt) {
    return std::nullopt;
  }
  const auto bytes = integerValue(*size);
  // An internet date-time to the second, as tessel-release writes it: a fraction is refused.
  const auto date = Calendar::parseInternetDateTime(*signedAt, false);
  std::optional<std::string> notes;
  if (!bytes || !date || !optionalString(*app, "notes", notes) ||
      !optionalString(*app, "page", release.page) || (release.page && !urlScheme(*release.page)) ||
      !optionalString(*app, "minimumSystem", release.minimumSystem)) {
    return std::nullopt;
  }
  release.version = *version;
  release.notes = notes.value_or("");
  release.url = *url;
  release.sha256 = lowerCased(*sha256);
  release.size = *bytes;
  release.signedAt = *date;
  return release;
}

// How deeply arrays and objects nest in `data`, read from its brackets outside strings.
// Update documents nest two levels; anything far deeper is refused before it is walked
// (the canonical form is written recursively).
size_t nestingDepth(std::string_view data) {
  size_t depth = 0;
  size_t deepest = 0;
  bool inString = false;
  for (size_t i = 0; i < data.size(); ++i) {
    const char c = data[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

struct FreeDigest {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

[[noreturn]] void unreadableFile(const std::string& path, int error) {
  throw std::runtime_error("Couldn\u2019t read " + path + " (" +
                           std::error_code(error, std::generic_category()).message() + ").");
}

}  // namespace

Failure::Failure(Kind kind) : std::runtime_error(description(kind)), kind_(kind) {}

const std::string_view feedURL = TESSEL_FEED_URL;

Release verify(std::string_view data, std::string_view publicKey,
               std::optional<Date> lastSignedAt) {
  static constexpr size_t deepestNesting = 256;
  if (nestingDepth(data) > deepestNesting) throw Failure(Failure::Kind::unreadable);
  const json document = Json::parse(data);
  if (!document.is_object()) throw Failure(Failure::Kind::unreadable);

  const auto signatureText = Json::stringAt(document, "signature");
  const auto signature = signatureText ? Base64::decode(*signatureText) : std::nullopt;
  if (!signature) throw Failure(Failure::Kind::notSigned);

  const auto key = Base64::decode(publicKey);
  if (!key || !Ed25519::verify(*key, canonical(document), *signature)) {
    throw Failure(Failure::Kind::badSignature);
  }

  auto release = readRelease(document);
  if (!release) throw Failure(Failure::Kind::unreadable);
  if (urlScheme(release->url) != "https") throw Failure(Failure::Kind::notHTTPS);
  if (lastSignedAt && release->signedAt < *lastSignedAt) throw Failure(Failure::Kind::stale);
  return std::move(*release);
}

std::string canonical(const json& object) {
  if (!object.contains("signature")) return CanonicalJson::write(object);
  json unsigned_ = object;
  unsigned_.erase("signature");
  return CanonicalJson::write(unsigned_);
}

json sign(const json& object, const Ed25519::PrivateKey& key) {
  if (!object.is_object()) throw Failure(Failure::Kind::unreadable);
  json signed_ = object;
  signed_["signature"] = Base64::encode(key.sign(canonical(object)));
  return signed_;
}

bool isNewer(std::string_view a, std::string_view b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (!isDigit(a[i]) || !isDigit(b[j])) {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) > static_cast<unsigned char>(b[j]);
      ++i;
      ++j;
      continue;
    }
    // Two runs of digits: without their leading zeros, the longer is the larger, and
    // runs of one length compare digit by digit. No run is too long for this.
    size_t endA = i;
    size_t endB = j;
    while (endA < a.size() && isDigit(a[endA])) ++endA;
    while (endB < b.size() && isDigit(b[endB])) ++endB;
    while (i + 1 < endA && a[i] == '0') ++i;
    while (j + 1 < endB && b[j] == '0') ++j;
    const std::string_view runA = a.substr(i, endA - i);
    const std::string_view runB = b.substr(j, endB - j);
    if (runA.size() != runB.size()) return runA.size() > runB.size();
    if (runA != runB) return runA > runB;
    i = endA;
    j = endB;
  }
  return i < a.size() && j == b.size();
}

std::string sha256(const std::string& path) {
  const Files::Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.isOpen()) unreadableFile(path, errno);
  const std::unique_ptr<EVP_MD_CTX, FreeDigest> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("Couldn\u2019t compute the SHA-256 of " + path + ".");
  }
  std::vector<unsigned char> chunk(1048576);
  while (true) {
    const ssize_t count = read(file.fd(), chunk.data(), chunk.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) unreadableFile(path, errno);
    if (count == 0) break;
    EVP_DigestUpdate(context.get(), chunk.data(), static_cast<size_t>(count));
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context.get(), digest, &length);
  std::string hex;
  for (unsigned int k = 0; k < length; ++k) {
    char pair[3];
    snprintf(pair, sizeof pair, "%02x", digest[k]);
    hex += pair;
  }
  return hex;
}

}  // namespace tessel::UpdateFeed
