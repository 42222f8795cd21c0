#include "platform/read_buffer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "support/temp_dir.h"

namespace tessel::platform {
namespace {

TEST(ReadBuffer, ReadsAPipeOfManyChunksWhole) {
  std::string input;
  for (int i = 0; input.size() < 3'000'000; ++i) input += "line " + std::to_string(i) + "\n";
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::thread writer([&] {
    size_t done = 0;
    while (done < input.size()) {
      const ssize_t wrote =
          write(fds[1], input.data() + done, std::min<size_t>(70000, input.size() - done));
      if (wrote <= 0) break;
      done += static_cast<size_t>(wrote);
    }
    close(fds[1]);
  });
  ReadBuffer buffer(64);
  EXPECT_TRUE(buffer.readAll(fds[0]));
  writer.join();
  close(fds[0]);
  ASSERT_EQ(buffer.size(), input.size());
  EXPECT_EQ(std::string_view(buffer.data(), buffer.size()), input);
  EXPECT_GE(buffer.capacity(), buffer.size() + 64);
}

TEST(ReadBuffer, EmptyAndUnreadableInput) {
  test::TempDir dir;
  const int empty = open(dir.write("empty", "").c_str(), O_RDONLY);
  ReadBuffer fromEmpty(64);
  EXPECT_TRUE(fromEmpty.readAll(empty));
  EXPECT_EQ(fromEmpty.size(), 0u);
  EXPECT_GE(fromEmpty.capacity(), 64u);
  close(empty);

  ReadBuffer fromClosed(64);
  EXPECT_FALSE(fromClosed.readAll(-1));
}

}  // namespace
}  // namespace tessel::platform
