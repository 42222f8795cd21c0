#include "metrics/metrics_sampler.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "support/temp_dir.h"

namespace tessel {
namespace {

using Counters = MetricsSampler::Counters;
using Readings = MetricsSampler::Readings;

constexpr double nine = 1796720400;

TEST(MetricsSampler, RatesFromCountersBothSamplesKnow) {
  MetricsSampler sampler;
  const std::set<int32_t> group{10, 11, 12};
  Readings readings{.counters = {{10, {1000, 2000, 0}}, {11, {500, 0, 1'000'000'000}}},
                    .network = {{10, {100, 50}}, {12, {1, 2}}, {99, {1000, 1000}}},
                    .deviceGpu = 30};
  // The first sample has no interval: no disk or GPU rates, but the network's own.
  EXPECT_EQ(sampler.sample(group, 4096, 12.5, Date(nine), readings),
            (MetricsSample{.t = Date(nine),
                           .memory = 4096,
                           .cpu = 12.5,
                           .netIn = 101,
                           .netOut = 52,
                           .gpu = 0,
                           .gpuSystem = 30}));

  // Two seconds on: pid 10 read 4000 more bytes, pid 11 used the GPU for a second; pid
  // 12 is new and counts from the next sample; pid 10's write counter went down (its pid
  // was reused) and adds nothing.
  readings.counters = {
      {10, {5000, 100, 0}}, {11, {500, 0, 2'000'000'000}}, {12, {1'000'000, 1'000'000, 0}}};
  const MetricsSample second = sampler.sample(group, 0, 0, Date(nine + 2), readings);
  EXPECT_DOUBLE_EQ(second.diskRead, 2000);
  EXPECT_DOUBLE_EQ(second.diskWrite, 0);
  EXPECT_DOUBLE_EQ(*second.gpu, 50);
  EXPECT_DOUBLE_EQ(*second.gpuSystem, 50);  // never below the group's own share

  // Too soon after: no rates.
  readings.counters[12] = {2'000'000, 2'000'000, 0};
  const MetricsSample soon = sampler.sample(group, 0, 0, Date(nine + 2.1), readings);
  EXPECT_EQ(soon.diskRead, 0);
  EXPECT_EQ(soon.gpu, 0);

  // A share past the whole GPU (engines run in parallel) is capped; without the device's
  // figure there are no GPU figures at all.
  readings.counters[11].gpuNS += 10'000'000'000;
  EXPECT_EQ(sampler.sample(group, 0, 0, Date(nine + 3.1), readings).gpu, 100);
  readings.deviceGpu.reset();
  readings.counters[11].gpuNS += 1'000'000'000;
  const MetricsSample noDevice = sampler.sample(group, 0, 0, Date(nine + 4.1), readings);
  EXPECT_EQ(noDevice.gpu, std::nullopt);
  EXPECT_EQ(noDevice.gpuSystem, std::nullopt);
}

TEST(MetricsSampler, AChildWritingToDiskShowsItsRate) {
  test::TempDir dir;
  // Memory-backed folders never reach a disk, so the kernel counts no bytes written.
  struct statfs where {};
  if (statfs(dir.path().c_str(), &where) == 0 && where.f_type == TMPFS_MAGIC) {
    GTEST_SKIP() << dir.path() << " is in memory";
  }
  const std::string path = dir / "written";
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char go = 0;
    if (read(ready[0], &go, 1) != 1) _exit(1);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string block(1 << 20, 'x');
    for (int i = 0; i < 20; ++i) {
      if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) _exit(1);
    }
    fsync(fd);
    close(fd);
    if (write(done[1], "d", 1) != 1) _exit(1);
    // Stays until the second sample has read its counters.
    if (read(ready[0], &go, 1) != 1) _exit(1);
    _exit(0);
  }
  MetricsSampler sampler;
  const std::set<int32_t> group{child};
  const auto started = std::chrono::steady_clock::now();
  const MetricsSample first = sampler.sample(group, 0, 0, Date(0));
  EXPECT_EQ(first.diskWrite, 0);
  ASSERT_EQ(write(ready[1], "g", 1), 1);
  char written = 0;
  ASSERT_EQ(read(done[0], &written, 1), 1);
  // Long enough an interval to make a rate of.
  double elapsed = 0;
  while ((elapsed =
              std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()) <
         0.5) {
    usleep(10000);
  }
  const MetricsSample second = sampler.sample(group, 0, 0, Date(elapsed));
  ASSERT_EQ(write(ready[1], "g", 1), 1);
  int status = 0;
  waitpid(child, &status, 0);
  for (const int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
  const double expected = (20 << 20) / elapsed;
  EXPECT_GT(second.diskWrite, expected / 2);
  EXPECT_LT(second.diskWrite, expected * 2);
}

}  // namespace
}  // namespace tessel
