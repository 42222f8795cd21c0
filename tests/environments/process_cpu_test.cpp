#include "environments/process_cpu.h"

#include <gtest/gtest.h>

#include <vector>

namespace tessel {
namespace {

platform::ProcessReading reading(int32_t pid, uint64_t stamp, double started, double cpuSeconds) {
  platform::ProcessReading r;
  r.pid = pid;
  r.startStamp = stamp;
  r.startedSeconds = started;
  r.cpuSeconds = cpuSeconds;
  return r;
}

TEST(ProcessCpu, GivesTheShareSinceTheTableBeforeAndTheLifetimeAverageFirst) {
  ProcessCpu cpu;
  const Date t0(1000);
  // First sight: CPU seconds over seconds alive. 10 s alive, 5 s of CPU is 50 %; a
  // process started after the clock was read has no average yet.
  EXPECT_EQ(
      cpu.percents({reading(10, 1, 990, 5), reading(11, 2, 980, 30), reading(12, 3, 1001, 0)}, t0),
      (std::vector<double>{50, 150, 0}));
  // Two seconds later: 10 used 0.5 s more (25 %), 11 two cores' worth (200 %), 12 none.
  EXPECT_EQ(
      cpu.percents({reading(10, 1, 990, 5.5), reading(11, 2, 980, 34), reading(12, 3, 1001, 0)},
                   t0 + 2),
      (std::vector<double>{25, 200, 0}));
  // A table asked for at nearly the same moment keeps the shares it would have made noise of.
  EXPECT_EQ(cpu.percents({reading(10, 1, 990, 5.51)}, t0 + 2.01), (std::vector<double>{25}));

  // pid 10 ended and its pid went to a new process: the old CPU time must not be
  // subtracted from the new one's, which gets its own lifetime average.
  EXPECT_EQ(cpu.percents({reading(10, 9, 1000, 1)}, t0 + 4), (std::vector<double>{25}));
  // 11 was missing from the last table, so it is seen afresh: its lifetime average.
  EXPECT_EQ(cpu.percents({reading(10, 9, 1000, 2), reading(11, 2, 980, 36)}, t0 + 6),
            (std::vector<double>{50, 36.0 / 26 * 100}));
  // CPU time that seems to run backwards gives 0, never a negative share.
  EXPECT_EQ(cpu.percents({reading(10, 9, 1000, 1.5)}, t0 + 8), (std::vector<double>{0}));
}

}  // namespace
}  // namespace tessel
