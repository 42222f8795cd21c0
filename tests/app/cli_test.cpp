#include <gtest/gtest.h>

#include <string>

#include "support/processes.h"

namespace tessel {
namespace {

TEST(Cli, AnswersVersionAndRefusesUnknownCommandsAsUsageErrors) {
  auto version = test::runProgram(TESSEL_BINARY, {"--version"}, "");
  EXPECT_EQ(version.exitStatus, 0);
  EXPECT_EQ(version.out.rfind("tessel ", 0), 0u) << version.out;
  EXPECT_EQ(test::runProgram(TESSEL_BINARY, {"no-such-command"}, "").exitStatus, 2);
  EXPECT_EQ(test::runProgram(TESSEL_BINARY, {"--no-such-option"}, "").exitStatus, 2);
}

}  // namespace
}  // namespace tessel
