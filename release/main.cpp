// tessel-release: the maker's tool for the update feed. It keeps the signing key in the
// support folder, signs update-information documents, checks them as the app will,
// and prints the SHA-256 of a download.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

#include "paths/claude_paths.h"
#include "update/base64.h"
#include "update/update_feed.h"
#include "update/update_key.h"
#include "util/calendar.h"
#include "util/files.h"
#include "util/json_object.h"

namespace tessel {
namespace {

// Every failure ends the same way: its sentence alone on standard error, status 1.
int fail(const std::string& sentence) {
  std::cerr << sentence << "\n";
  return 1;
}

std::optional<std::string> readDocument(const std::string& path) {
  auto bytes = Files::read(path);
  if (!bytes) std::cerr << "Couldn\u2019t read " << path << ".\n";
  return bytes;
}

int keygen() {
  std::cout << UpdateKey::create(ClaudePaths::standard()) << "\n";
  return 0;
}

// Signs `input` as of `signedAt` and writes it to `output` ("-": standard output). The
// result is checked as the app checks it first, so a document the app would refuse (an
// http download, a missing field) is never written.
int sign(const std::string& input, const std::string& output, Date signedAt) {
  const auto bytes = readDocument(input);
  if (!bytes) return 1;
  nlohmann::json document = Json::parse(*bytes);
  if (!document.is_object()) throw UpdateFeed::Failure(UpdateFeed::Failure::Kind::unreadable);
  const auto key = UpdateKey::load(ClaudePaths::standard());
  document["signedAt"] = Calendar::formatInternetDateTime(signedAt, false);
  const nlohmann::json signedDocument = UpdateFeed::sign(document, key);
  const std::string text = signedDocument.dump(2, ' ', false) + "\n";
  UpdateFeed::verify(text, Base64::encode(key.publicKey()), std::nullopt);

  if (output == "-") {
    std::cout << text;
    return 0;
  }
  if (!Files::replace(output, text, ".signing", 0644)) {
    return fail("Couldn\u2019t save " + output + ".");
  }
  std::cout << "Signed " << output << ".\n";
  return 0;
}

int verify(const std::string& input, const std::string& publicKey,
           const std::optional<Date>& lastSignedAt) {
  const auto bytes = readDocument(input);
  if (!bytes) return 1;
  const UpdateFeed::Release release = UpdateFeed::verify(*bytes, publicKey, lastSignedAt);
  std::cout << "version: " << release.version << "\n"
            << "notes: " << release.notes << "\n"
            << "url: " << release.url << "\n"
            << "sha256: " << release.sha256 << "\n"
            << "size: " << release.size << "\n";
  if (release.page) std::cout << "page: " << *release.page << "\n";
  if (release.minimumSystem) std::cout << "minimumSystem: " << *release.minimumSystem << "\n";
  std::cout << "signedAt: " << Calendar::formatInternetDateTime(release.signedAt, false) << "\n";
  return 0;
}

std::optional<Date> dateOption(const std::string& text, const char* option) {
  if (text.empty()) return std::nullopt;
  const auto date = Calendar::parseInternetDateTime(text);
  if (!date) {
    throw CLI::ValidationError(option, text +
                                           " isn\u2019t an ISO 8601 date-time such as "
                                           "2026-01-31T12:00:00Z");
  }
  return date;
}

int run(int argc, char** argv) {
  CLI::App app("Signs and checks Tessel's update information.", "tessel-release");
  app.require_subcommand(1);

  app.add_subcommand("keygen",
                     "Make the signing key (in the support folder) and print its "
                     "public half in base64");

  auto* signCommand = app.add_subcommand(
      "sign", "Set signedAt, sign, and write the document back (or to OUTPUT; - for stdout)");
  std::string signInput, signOutput, signedAtText;
  signCommand->add_option("document", signInput, "updates.json")->required();
  signCommand->add_option("output", signOutput, "Where to write it; - for standard output");
  signCommand->add_option("--signed-at", signedAtText,
                          "The signing time to record (default: now), ISO 8601");

  auto* verifyCommand =
      app.add_subcommand("verify", "Check a document as the app does and print its release");
  std::string verifyInput, publicKey, lastSignedAtText;
  verifyCommand->add_option("document", verifyInput, "updates.json")->required();
  verifyCommand->add_option("--key", publicKey, "The public key, base64")->required();
  verifyCommand->add_option("--last-signed-at", lastSignedAtText,
                            "The signing time of the newest document seen, ISO 8601");

  auto* digestCommand = app.add_subcommand("sha256", "Print a file's SHA-256");
  std::string digestInput;
  digestCommand->add_option("file", digestInput)->required();

  try {
    app.parse(argc, argv);
    if (app.got_subcommand("keygen")) return keygen();
    if (app.got_subcommand("sign")) {
      const Date signedAt = dateOption(signedAtText, "--signed-at").value_or(Date::now());
      return sign(signInput, signOutput.empty() ? signInput : signOutput, signedAt);
    }
    if (app.got_subcommand("verify")) {
      return verify(verifyInput, publicKey, dateOption(lastSignedAtText, "--last-signed-at"));
    }
    std::cout << UpdateFeed::sha256(digestInput) << "\n";
    return 0;
  } catch (const CLI::ParseError& error) {
    return app.exit(error);
  } catch (const std::exception& error) {
    return fail(error.what());
  }
}

}  // namespace
}  // namespace tessel

int main(int argc, char** argv) {
  try {
    return tessel::run(argc, argv);
  } catch (...) {
    // Only the set-up of the command line can end here (out of memory, say); every
    // failure of a command has already been reported by run().
    return 1;
  }
}
