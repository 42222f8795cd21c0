#include "update/update_feed.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "support/processes.h"
#include "support/temp_dir.h"
#include "update/base64.h"
#include "util/calendar.h"
#include "util/text.h"

namespace tessel {
namespace {

using Kind = UpdateFeed::Failure::Kind;
using nlohmann::json;

std::string fromHex(std::string_view hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  }
  return bytes;
}

// RFC 8032, section 7.1, test 1.
const std::string rfcSeed =
    fromHex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
const std::string rfcPublic =
    fromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");

const Ed25519::PrivateKey& key() {
  static const auto key = *Ed25519::PrivateKey::fromRaw(rfcSeed);
  return key;
}
const std::string publicKey = Base64::encode(rfcPublic);

json release() {
  return json::parse(R"({"app":{"version":"1.10","url":"https://example.com/dl/Tessel-1.10.tar.gz",
    "sha256":"9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08",
    "size":1048576,"page":"https://example.com/releases/1.10","minimumSystem":"Debian 12"},
    "signedAt":"2026-03-01T10:00:00Z"})");
}

// The document after `change`, signed as changed.
std::string signedAfter(const std::function<void(json&)>& change) {
  json document = release();
  change(document);
  return UpdateFeed::sign(document, key()).dump();
}

// The failure `verify` throws for `data`, or nothing when it accepts it.
std::optional<Kind> failureOf(const std::string& data, std::optional<Date> lastSignedAt = {},
                              const std::string& trustedKey = publicKey) {
  try {
    UpdateFeed::verify(data, trustedKey, lastSignedAt);
    return std::nullopt;
  } catch (const UpdateFeed::Failure& failure) {
    return failure.kind();
  }
}

TEST(UpdateFeed, SignsAsRfc8032Says) {
  EXPECT_EQ(key().publicKey(), rfcPublic);
  EXPECT_EQ(key().sign(""),
            fromHex("e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
                    "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"));
  EXPECT_TRUE(Ed25519::verify(rfcPublic, "", key().sign("")));
  EXPECT_FALSE(Ed25519::verify(rfcPublic, "x", key().sign("")));
}

TEST(UpdateFeed, AcceptsTheSignedReleaseInAnyEquivalentSpelling) {
  const UpdateFeed::Release expected{
      .version = "1.10",
      .notes = "",
      .url = "https://example.com/dl/Tessel-1.10.tar.gz",
      .sha256 = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08",
      .size = 1048576,
      .page = "https://example.com/releases/1.10",
      .minimumSystem = "Debian 12",
      .signedAt = Date(Calendar::utcSeconds(2026, 3, 1, 10, 0, 0))};
  const json document = UpdateFeed::sign(release(), key());
  EXPECT_EQ(UpdateFeed::verify(document.dump(), publicKey, std::nullopt), expected);

  // Keys reordered, slashes escaped, white space and a number's other spelling.
  const std::string signature = document["signature"];
  const std::string respelled =
      "{\n  \"signature\" : \"" + signature +
      "\",\n  \"signedAt\": \"2026-03-01T10:00:00Z\",\n  \"app\": {\n    \"size\": 1.048576e6,"
      "\"minimumSystem\":\"Debian 12\", \"page\": \"https:\\/\\/example.com\\/releases\\/1.10\","
      "\"sha256\":\"9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08\","
      "\"url\": \"https:\\/\\/example.com\\/dl\\/Tessel-1.10.tar.gz\", \"version\": \"1.\\u0031"
      "0\"\n  }\n}\n";
  EXPECT_EQ(UpdateFeed::verify(respelled, publicKey, std::nullopt), expected);
  // Signing again gives the same bytes: the signature never covers itself.
  EXPECT_EQ(UpdateFeed::sign(document, key()), document);
}

// `data` with its top-level member `key` set to `value`, or removed when `value` is
// discarded.
std::string withMember(const std::string& data, const char* key, const json& value) {
  json document = json::parse(data);
  if (value.is_discarded()) {
    document.erase(key);
  } else {
    document[key] = value;
  }
  return document.dump();
}
const json removed(json::value_t::discarded);

TEST(UpdateFeed, RefusesEachFaultWithItsOwnFailureInCheckingOrder) {
  const std::string good = signedAfter([](json&) {});
  const std::string signature = json::parse(good)["signature"];
  const std::string plain = signedAfter([](json& d) { d["app"]["url"] = "http://example.com/a"; });
  json changed = json::parse(good);
  changed["app"]["version"] = "1.11";

  const std::vector<std::pair<std::string, Kind>> cases = {
      {"", Kind::unreadable},
      {"[" + good + "]", Kind::unreadable},
      {"\"text\"", Kind::unreadable},
      {good.substr(0, good.size() - 1), Kind::unreadable},
      {std::string(100000, '[') + std::string(100000, ']'), Kind::unreadable},
      {withMember(good, "signature", removed), Kind::notSigned},
      // A fault further on is not reached before the signature is refused.
      {withMember(plain, "signature", removed), Kind::notSigned},
      {withMember(good, "signature", 7), Kind::notSigned},
      {withMember(good, "signature", signature.substr(1)), Kind::notSigned},
      {withMember(good, "signature", signature + "\n"), Kind::notSigned},
      {withMember(good, "signature", signature.substr(0, 84)), Kind::badSignature},
      {withMember(good, "signature", ""), Kind::badSignature},
      {UpdateFeed::sign(release(), Ed25519::PrivateKey::generate()).dump(), Kind::badSignature},
      {changed.dump(), Kind::badSignature},
      {withMember(changed.dump(), "app", 3), Kind::badSignature},
      {withMember(good, "signedAt", "2026-03-01T10:00:01Z"), Kind::badSignature},
  };
  for (const auto& [data, kind] : cases) {
    EXPECT_EQ(failureOf(data), kind) << data.substr(0, 200);
  }
  EXPECT_EQ(failureOf(good, std::nullopt, "AAAA"), Kind::badSignature);
  EXPECT_EQ(failureOf(good, std::nullopt, publicKey.substr(0, 40)), Kind::badSignature);
  EXPECT_EQ(failureOf(good), std::nullopt);
}

TEST(UpdateFeed, ReadsTheReleaseOnlyFromWellTypedFields) {
  using Change = std::function<void(json&)>;
  const std::vector<Change> unreadable = {
      [](json& d) { d["app"] = "1.10"; },
      [](json& d) { d.erase("app"); },
      [](json& d) { d["app"].erase("version"); },
      [](json& d) { d["app"]["version"] = 110; },
      [](json& d) { d["app"].erase("url"); },
      [](json& d) { d["app"]["url"] = "https://example.com/a file.tar.gz"; },
      [](json& d) { d["app"]["url"] = ""; },
      [](json& d) { d["app"]["url"] = "1https://example.com/"; },
      [](json& d) { d["app"]["sha256"] = nullptr; },
      [](json& d) { d["app"].erase("size"); },
      [](json& d) { d["app"]["size"] = "1048576"; },
      [](json& d) { d["app"]["size"] = 1.5; },
      [](json& d) { d["app"]["size"] = 1e19; },
      [](json& d) { d["app"]["notes"] = json::array(); },
      [](json& d) { d["app"]["page"] = 1; },
      [](json& d) { d["app"]["page"] = "<page>"; },
      [](json& d) { d["app"]["minimumSystem"] = 12; },
      [](json& d) { d.erase("signedAt"); },
      [](json& d) { d["signedAt"] = "2026-03-01T10:00:00.000Z"; },
      [](json& d) { d["signedAt"] = "2026-03-01 10:00:00"; },
      [](json& d) { d["signedAt"] = 1772359200; },
      // Missing fields come before the scheme.
      [](json& d) {
        d["app"]["url"] = "http://example.com/a";
        d["app"].erase("sha256");
      },
  };
  for (size_t i = 0; i < unreadable.size(); ++i) {
    EXPECT_EQ(failureOf(signedAfter(unreadable[i])), Kind::unreadable) << "case " << i;
  }

  const auto accepted = UpdateFeed::verify(signedAfter([](json& d) {
                                             d["app"].erase("page");
                                             d["app"]["minimumSystem"] = nullptr;
                                             d["app"]["notes"] = "Faster \u2014 now";
                                             d["app"]["size"] = 2.0;
                                             d["app"]["url"] = "HTTPS://example.com/a";
                                             d["signedAt"] = "2026-03-01T11:00:00+01:00";
                                           }),
                                           publicKey, std::nullopt);
  EXPECT_EQ(accepted.page, std::nullopt);
  EXPECT_EQ(accepted.minimumSystem, std::nullopt);
  EXPECT_EQ(accepted.notes, "Faster \u2014 now");
  EXPECT_EQ(accepted.size, 2);
  EXPECT_EQ(accepted.signedAt, Date(Calendar::utcSeconds(2026, 3, 1, 10, 0, 0)));
}

TEST(UpdateFeed, RefusesPlainDownloadsAndOlderDocuments) {
  const Date signedAt(Calendar::utcSeconds(2026, 3, 1, 10, 0, 0));
  for (const char* url : {"http://example.com/a.tar.gz", "ftp://example.com/a", "a.tar.gz",
                          "//example.com/a.tar.gz", "file:///tmp/a.tar.gz"}) {
    const std::string plain = signedAfter([&](json& d) { d["app"]["url"] = url; });
    EXPECT_EQ(failureOf(plain), Kind::notHTTPS) << url;
    // The download's scheme is checked before the date.
    EXPECT_EQ(failureOf(plain, signedAt + 1), Kind::notHTTPS) << url;
  }
  const std::string good = signedAfter([](json&) {});
  EXPECT_EQ(failureOf(good, signedAt), std::nullopt);
  EXPECT_EQ(failureOf(good, signedAt - 1), std::nullopt);
  EXPECT_EQ(failureOf(good, signedAt + 1), Kind::stale);
}

TEST(UpdateFeed, ComparesVersionsByTheirNumbers) {
  EXPECT_TRUE(UpdateFeed::isNewer("1.10", "1.9"));
  EXPECT_FALSE(UpdateFeed::isNewer("1.9", "1.10"));
  EXPECT_TRUE(UpdateFeed::isNewer("2.0.1", "2.0"));
  EXPECT_FALSE(UpdateFeed::isNewer("2.0", "2.0.1"));
  EXPECT_FALSE(UpdateFeed::isNewer("2.0", "2.0"));
  EXPECT_FALSE(UpdateFeed::isNewer("1.007", "1.7"));
  EXPECT_FALSE(UpdateFeed::isNewer("1.7", "1.007"));
  EXPECT_TRUE(UpdateFeed::isNewer("1.010", "1.9"));
  EXPECT_TRUE(UpdateFeed::isNewer("10", "9"));
  EXPECT_TRUE(UpdateFeed::isNewer("1.0b", "1.0a"));
  EXPECT_TRUE(UpdateFeed::isNewer("123456789012345678901234567890", "99999999999999999999"));
  EXPECT_FALSE(UpdateFeed::isNewer("", ""));
  EXPECT_TRUE(UpdateFeed::isNewer("1", ""));
}

TEST(UpdateFeed, HashesFilesInLowerCaseHex) {
  test::TempDir dir;
  EXPECT_EQ(UpdateFeed::sha256(dir.write("empty", "")),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  // 3 MiB and a bit: several whole pieces and a short last one.
  std::string large(3 * 1048576 + 17, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>((i * 7919) >> 3);
  const std::string path = dir.write("large", large);
  const auto sum = test::runProgram("/usr/bin/sha256sum", {path}, "");
  ASSERT_EQ(sum.exitStatus, 0) << sum.err;
  EXPECT_EQ(UpdateFeed::sha256(path), sum.out.substr(0, 64));

  try {
    UpdateFeed::sha256(dir / "missing");
    FAIL() << "a missing file was hashed";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(error.what(),
              "Couldn\u2019t read " + dir / "missing" + " (No such file or directory).");
  }
  EXPECT_THROW(UpdateFeed::sha256(dir.path()), std::runtime_error);
}

TEST(Base64, DecodesOnlyTheOneEncodingOfTheBytes) {
  for (const std::string bytes : {"", "f", "fo", "foo", "foob", "fooba", "foobar"}) {
    EXPECT_EQ(Base64::decode(Base64::encode(bytes)), bytes);
  }
  EXPECT_EQ(Base64::encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64::decode("/+8="), "\xFF\xEF");
  for (const char* text : {"Zm9", "Zm9vY", "Zm=v", "Zm9v\n", " Zm9v", "Zg",
                           "Zh==", "Zm9=", "Zg===", "====", "Zm-v", "Zm_v", "Z\xC3\xA9v"}) {
    EXPECT_EQ(Base64::decode(text), std::nullopt) << text;
  }
}

}  // namespace
}  // namespace tessel
