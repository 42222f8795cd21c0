// The built tessel-release, with HOME pointed at a temporary folder, checked against a
// second Ed25519 signer: the openssl command-line tool.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "support/processes.h"
#include "support/temp_dir.h"
#include "update/base64.h"
#include "update/update_feed.h"
#include "util/json_object.h"

namespace tessel {
namespace {

const std::string releaseBinary = TESSEL_RELEASE_BINARY;

std::string findTool(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  for (size_t start = 0; start <= folders.size();) {
    const size_t end = std::min(folders.find(':', start), folders.size());
    std::string candidate = folders.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "/usr/bin/" + name;
}

test::Finished release(const test::TempDir& home, const std::vector<std::string>& arguments) {
  return test::runProgram(releaseBinary, arguments, "", {{"HOME", home.path()}});
}

test::Finished openssl(const std::vector<std::string>& arguments) {
  static const std::string tool = findTool("openssl");
  return test::runProgram(tool, arguments, "");
}

// A failure as the tool reports it: the sentence alone on standard error, status 1.
void expectRefused(const test::Finished& run, const std::string& sentence) {
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, sentence + "\n");
}

// The canonical bytes of one release, written out by hand from the rules: keys in UTF-16
// order (U+1F600 before U+E000), "/" plain, non-ASCII raw, control characters escaped,
// numbers by value.
const std::string handCanonical =
    "{\"app\":{\"minimumSystem\":\"Debian 12\",\"notes\":\"Caf\xC3\xA9 \xE2\x86\x92 2/3\\n"
    "\\u0001\",\"sha256\":\"AB12\",\"size\":1048576,\"url\":\"https://example.com/dl/"
    "Tessel-1.10.tar.gz\",\"version\":\"1.10\",\"\xF0\x9F\x98\x80\":0.25,\"\xEE\x80\x80\":[]},"
    "\"signedAt\":\"2026-03-01T10:00:00Z\"}";

// The same object spelled otherwise: keys shuffled, slashes and non-ASCII escaped, white
// space, 1048576 as a fraction, with `signature` added.
std::string respelled(const std::string& signature) {
  return "{ \"signedAt\" : \"2026-03-01T10:00:00Z\",\n \"signature\": \"" + signature +
         "\",\n \"app\": {\n  \"\\ue000\": [ ],\n  \"\\ud83d\\ude00\": 2.5e-1,\n"
         "  \"version\": \"1.10\",\n  \"url\": "
         "\"https:\\/\\/example.com\\/dl\\/Tessel-1.10.tar.gz\",\n"
         "  \"size\": 1048576.0,\n  \"sha256\": \"AB12\",\n"
         "  \"notes\": \"Caf\\u00e9 \\u2192 2\\/3\\n\\u0001\",\n  \"minimumSystem\": \"Debian "
         "12\"\n }\n}\n";
}

TEST(ReleaseTool, AcceptsWhatAnIndependentSignerSignedOverTheCanonicalBytes) {
  test::TempDir dir;
  ASSERT_EQ(openssl({"genpkey", "-algorithm", "ed25519", "-out", dir / "key.pem"}).exitStatus, 0);
  const auto der = openssl({"pkey", "-in", dir / "key.pem", "-pubout", "-outform", "DER"});
  ASSERT_EQ(der.exitStatus, 0) << der.err;
  dir.write("public.raw", der.out.substr(der.out.size() - 32));
  const std::string publicKey = openssl({"base64", "-A", "-in", dir / "public.raw"}).out;
  const std::string canonicalFile = dir.write("canonical.json", handCanonical);
  const auto signing = openssl({"pkeyutl", "-sign", "-rawin", "-inkey", dir / "key.pem", "-in",
                                canonicalFile, "-out", dir / "signature.bin"});
  ASSERT_EQ(signing.exitStatus, 0) << signing.err;
  const std::string signature = openssl({"base64", "-A", "-in", dir / "signature.bin"}).out;
  ASSERT_EQ(signature.size(), 88u) << signature;

  const std::string document = respelled(signature);
  EXPECT_EQ(UpdateFeed::canonical(Json::parse(document)), handCanonical);
  const auto verified =
      release(dir, {"verify", dir.write("updates.json", document), "--key", publicKey});
  EXPECT_EQ(verified.exitStatus, 0) << verified.err;
  EXPECT_EQ(verified.out,
            "version: 1.10\nnotes: Caf\xC3\xA9 \xE2\x86\x92 2/3\n\x01\n"
            "url: https://example.com/dl/Tessel-1.10.tar.gz\nsha256: ab12\nsize: 1048576\n"
            "minimumSystem: Debian 12\nsignedAt: 2026-03-01T10:00:00Z\n");

  std::string tampered = document;
  tampered.replace(tampered.find("1048576.0"), 9, "1048577.0");
  const auto refused =
      release(dir, {"verify", dir.write("tampered.json", tampered), "--key", publicKey});
  expectRefused(refused,
                "The update information isn\u2019t signed by Brackwater, so it was ignored.");
  // The canonical bytes alone are the document without its signature.
  expectRefused(release(dir, {"verify", canonicalFile, "--key", publicKey}),
                "The update information isn\u2019t signed.");
}

TEST(ReleaseTool, SignsWithItsOwnKeyWhatAnIndependentCheckerAccepts) {
  test::TempDir home;
  const auto keygen = release(home, {"keygen"});
  ASSERT_EQ(keygen.exitStatus, 0) << keygen.err;
  const std::string publicKey = keygen.out.substr(0, keygen.out.size() - 1);
  ASSERT_EQ(Base64::decode(publicKey).value_or("").size(), 32u) << keygen.out;
  const auto again = release(home, {"keygen"});
  expectRefused(again, "An update key already exists. Its public half is " + publicKey);

  const std::string unsignedText =
      "{\"app\": {\"version\": \"2.0.1\", \"url\": \"https://example.com/a/b.tar.gz\",\n"
      "  \"sha256\": \"00FF\", \"size\": 12, \"notes\": \"\xE2\x80\x94 \xF0\x9F\x98\x80\"}}\n";
  const std::string path = home.write("updates.json", unsignedText);
  const auto toStdout = release(home, {"sign", path, "-", "--signed-at", "2026-03-01T10:00:00Z"});
  ASSERT_EQ(toStdout.exitStatus, 0) << toStdout.err;
  EXPECT_EQ(test::readFile(path), unsignedText);
  const auto signing = release(home, {"sign", path, "--signed-at", "2026-03-01T11:00:00+01:00"});
  ASSERT_EQ(signing.exitStatus, 0) << signing.err;
  EXPECT_EQ(test::readFile(path), toStdout.out);

  // openssl checks the signature over the canonical bytes.
  const nlohmann::json document = Json::parse(test::readFile(path));
  EXPECT_EQ(document["signedAt"], "2026-03-01T10:00:00Z");
  const std::string spki = std::string("\x30\x2a\x30\x05\x06\x03\x2b\x65\x70\x03\x21\x00", 12);
  const auto checked = openssl(
      {"pkeyutl", "-verify", "-pubin", "-keyform", "DER", "-inkey",
       home.write("public.der", spki + *Base64::decode(publicKey)), "-rawin", "-in",
       home.write("canonical.json", UpdateFeed::canonical(document)), "-sigfile",
       home.write("signature.bin", *Base64::decode(document["signature"].get<std::string>()))});
  EXPECT_EQ(checked.exitStatus, 0) << checked.out << checked.err;

  const auto verified = release(
      home, {"verify", path, "--key", publicKey, "--last-signed-at", "2026-03-01T10:00:00Z"});
  EXPECT_EQ(verified.exitStatus, 0) << verified.err;
  EXPECT_EQ(verified.out,
            "version: 2.0.1\nnotes: \xE2\x80\x94 \xF0\x9F\x98\x80\n"
            "url: https://example.com/a/b.tar.gz\nsha256: 00ff\nsize: 12\n"
            "signedAt: 2026-03-01T10:00:00Z\n");
  const auto stale = release(
      home, {"verify", path, "--key", publicKey, "--last-signed-at", "2026-03-01T10:00:01Z"});
  expectRefused(stale, "The update information is older than one already seen, so it was ignored.");
}

TEST(ReleaseTool, NeverWritesADocumentTheAppWouldRefuse) {
  test::TempDir home;
  const std::string plain =
      home.write("updates.json",
                 R"({"app":{"version":"1","url":"http://example.com/a","sha256":"00","size":1}})");
  const auto noKey = release(home, {"sign", plain});
  expectRefused(noKey, "No update key in " + home.path() +
                           "/Library/Application Support/Tessel/update-key (run: "
                           "tessel-release keygen).");

  ASSERT_EQ(release(home, {"keygen"}).exitStatus, 0);
  const std::string before = test::readFile(plain);
  const auto refused = release(home, {"sign", plain});
  expectRefused(
      refused,
      "The update\u2019s download isn\u2019t over a secure connection, so it was ignored.");
  EXPECT_EQ(test::readFile(plain), before);
  const auto missingField =
      release(home, {"sign", home.write("partial.json", R"({"app":{"version":"1"}})"), "-"});
  expectRefused(missingField, "The update information couldn\u2019t be read.");
}

TEST(ReleaseTool, PrintsTheDigestOfAFile) {
  test::TempDir dir;
  const std::string path = dir.write("Tessel.tar.gz", std::string(100000, 'x'));
  const auto digest = release(dir, {"sha256", path});
  EXPECT_EQ(digest.exitStatus, 0);
  EXPECT_EQ(digest.out,
            test::runProgram(findTool("sha256sum"), {path}, "").out.substr(0, 64) + "\n");
  const auto missing = release(dir, {"sha256", dir / "missing"});
  expectRefused(missing, "Couldn\u2019t read " + dir / "missing" + " (No such file or directory).");
}

}  // namespace
}  // namespace tessel
