#include "update/update_key.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_dir.h"
#include "update/base64.h"

namespace tessel {
namespace {

unsigned modeOf(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// What `action` throws, as its kind and sentence.
template <class Action>
std::pair<UpdateKey::Failure::Kind, std::string> failureOf(Action&& action) {
  try {
    action();
  } catch (const UpdateKey::Failure& failure) {
    return {failure.kind(), failure.what()};
  }
  ADD_FAILURE() << "nothing was thrown";
  return {};
}

TEST(UpdateKey, CreatesAnOwnerOnlyKeyWhateverTheUmask) {
  test::TempDir home;
  const ClaudePaths paths = home.claudePaths();
  const mode_t previous = umask(0);
  const std::string publicKey = UpdateKey::create(paths);
  umask(previous);

  EXPECT_EQ(modeOf(paths.supportDir), 0700u);
  EXPECT_EQ(modeOf(paths.updateKeyFile()), 0600u);
  EXPECT_EQ(Base64::encode(UpdateKey::load(paths).publicKey()), publicKey);
  EXPECT_EQ(Base64::decode(publicKey)->size(), 32u);
  const std::string stored = test::readFile(paths.updateKeyFile());
  EXPECT_EQ(stored.size(), 45u);

  // A second key never replaces the first.
  EXPECT_EQ(failureOf([&] { UpdateKey::create(paths); }),
            std::pair(UpdateKey::Failure::Kind::exists,
                      "An update key already exists. Its public half is " + publicKey));
  EXPECT_EQ(test::readFile(paths.updateKeyFile()), stored);
  // Nor does a key that was refused: it may still be the only copy.
  chmod(paths.updateKeyFile().c_str(), 0640);
  EXPECT_EQ(
      failureOf([&] { UpdateKey::create(paths); }),
      std::pair(UpdateKey::Failure::Kind::unsaved,
                "Couldn\u2019t save the key to " + paths.updateKeyFile() + " (File exists)."));
  EXPECT_EQ(test::readFile(paths.updateKeyFile()), stored);
}

TEST(UpdateKey, RefusesKeysThatAreMissingSharedOrDamaged) {
  test::TempDir home;
  const ClaudePaths paths = home.claudePaths();
  const std::string file = paths.updateKeyFile();
  const auto load = [&] { UpdateKey::load(paths); };
  EXPECT_EQ(failureOf(load),
            std::pair(UpdateKey::Failure::Kind::missing,
                      "No update key in " + file + " (run: tessel-release keygen)."));

  UpdateKey::create(paths);
  for (const unsigned mode : {0640u, 0604u, 0601u, 0660u}) {
    chmod(file.c_str(), mode);
    char octal[8];
    snprintf(octal, sizeof octal, "%04o", mode);
    EXPECT_EQ(failureOf(load),
              std::pair(UpdateKey::Failure::Kind::notPrivate,
                        "The update key in " + file + " is open to other users (mode " + octal +
                            "), so it wasn\u2019t used (run: chmod 600 " + file + ")."));
  }
  chmod(file.c_str(), 0400);
  EXPECT_NO_THROW(load());

  chmod(file.c_str(), 0600);
  const std::string key = test::readFile(file);
  for (const std::string& damaged : {std::string(""), key.substr(0, 40) + "\n",
                                     Base64::encode(std::string(31, 'k')), key + key}) {
    home.write("support/update-key", damaged);
    EXPECT_EQ(failureOf(load).first, UpdateKey::Failure::Kind::unreadable) << damaged;
  }
  home.write("support/update-key", "  " + key.substr(0, 44) + " \r\n");
  EXPECT_NO_THROW(load());
}

}  // namespace
}  // namespace tessel
