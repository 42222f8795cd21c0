#include "platform/system_counters.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/process_counters.h"

namespace tessel::platform {
namespace {

TEST(SystemCounters, CoreTicksFromEveryKernelsStatLines) {
  const auto cores = parseCoreTicks(
      "cpu  4705 356 584 3699176 2385 0 11 0 0 0\n"
      "cpu0 1393 280 300 1849624 1100 5 6 7 0 0\n"
      // cpu1 is offline; cpu2 from a kernel without steal and guest columns.
      "cpu2 100 0 50 1000 10\n"
      "cpu3 1 2\n"
      "cpu4 1 2 x 4 5\n"
      "cpufreq 1 2 3 4 5\n"
      "intr 1234 0 0\n"
      "cpu5 10 0 10 80 0 0 0 0 0 0");  // no final line feed
  EXPECT_EQ(cores, (std::vector<CoreTicks>{{0, 1393 + 280 + 300 + 5 + 6 + 7, 1991 + 1849624 + 1100},
                                           {2, 150, 1160},
                                           {5, 20, 100}}));
  EXPECT_TRUE(parseCoreTicks("").empty());
  EXPECT_FALSE(coreTicks().empty());
}

TEST(SystemCounters, MemoryPressureNetworkDiskFromTheirFiles) {
  const char* const meminfo =
      "MemTotal:        8131548 kB\n"
      "MemFree:          245084 kB\n"
      "MemAvailable:    5122664 kB\n"
      "Buffers:          162892 kB\n"
      "Cached:          4520072 kB\n"
      "SwapTotal:       2097148 kB\n"
      "SwapFree:        2097148 kB\n"
      "HugePages_Total:       0\n";
  EXPECT_EQ(parseMemory(meminfo), (MemoryCounters{8131548ULL * 1024, 5122664ULL * 1024,
                                                  2097148ULL * 1024, 2097148ULL * 1024}));
  // An old kernel without MemAvailable, and no swap at all.
  EXPECT_EQ(parseMemory("MemTotal: 1000 kB\nMemFree: 100 kB\nBuffers: 20 kB\nCached: 300 kB\n"),
            (MemoryCounters{1024000, 420ULL * 1024, 0, 0}));
  EXPECT_EQ(parseMemory("MemFree: 100 kB\n"), std::nullopt);
  ASSERT_TRUE(memoryCounters());
  EXPECT_GT(memoryCounters()->total, 0u);

  const auto pressure = [](const char* avg10) {
    return parsePressure(std::string("some avg10=") + avg10 +
                         " avg60=0.00 avg300=0.00 total=12345\n"
                         "full avg10=99.00 avg60=0.00 avg300=0.00 total=0\n");
  };
  EXPECT_EQ(pressure("0.00"), pressureNormal);
  EXPECT_EQ(pressure("9.99"), pressureNormal);
  EXPECT_EQ(pressure("10.00"), pressureWarning);
  EXPECT_EQ(pressure("39.99"), pressureWarning);
  EXPECT_EQ(pressure("40.00"), pressureCritical);
  EXPECT_EQ(pressure("x"), pressureNormal);
  EXPECT_EQ(parsePressure(""), pressureNormal);

  const char* const netDev =
      "Inter-|   Receive                                                |  Transmit\n"
      " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs "
      "drop fifo colls carrier compressed\n"
      "    lo: 9999999  100    0    0    0     0          0         0  9999999  100    0    0  "
      "  0     0       0          0\n"
      "  eth0: 1000      10    0    0    0     0          0         0     2000    20    0    0  "
      "  0     0       0          0\n"
      "docker0:12345678901 1 0 0 0 0 0 0 5 1 0 0 0 0 0 0\n"
      " wlan0: 7 1 0 0\n";
  EXPECT_EQ(parseNetworkTotals(netDev), (ByteTotals{1000 + 12345678901ULL, 2000 + 5}));
  EXPECT_TRUE(networkTotals());

  const std::set<std::string, std::less<>> disks{"vda", "nvme0n1"};
  const char* const diskstats =
      " 253       0 vda 9866 4034 1020316 4400 26587 20113 1416072 29393 0 38632 35497 0 0 0 0 "
      "2730 1703\n"
      " 253       1 vda1 9000 4000 1000000 4000 26000 20000 1400000 29000 0 38000 35000 0 0 0 0\n"
      "   7       0 loop0 100 0 5000 10 0 0 0 0 0 20 10 0 0 0 0 0 0\n"
      " 259       0 nvme0n1 1 0 8 0 1 0 16 0 0 0 0 0 0 0 0 0 0 3 4 5\n"  // a newer kernel's columns
      " 259       1 nvme0n1 1 0\n";
  EXPECT_EQ(parseDiskTotals(diskstats, disks),
            (ByteTotals{(1020316 + 8) * 512ULL, (1416072 + 16) * 512ULL}));
  EXPECT_TRUE(diskTotals());
  EXPECT_GE(loadAverage(), 0);
}

TEST(ProcessCounters, DiskBytesAndGpuClientsFromTheirFiles) {
  EXPECT_EQ(parseProcessIO("rchar: 2012\nwchar: 98\nsyscr: 7\nsyscw: 2\nread_bytes: 4096\n"
                           "write_bytes: 8192\ncancelled_write_bytes: 0\n"),
            (DiskBytes{4096, 8192}));
  EXPECT_EQ(parseProcessIO("rchar: 2012\nread_bytes: 4096\n"), std::nullopt);
  EXPECT_EQ(parseProcessIO("read_bytes: x\nwrite_bytes: 1\n"), std::nullopt);
  // pid 0 is no process.
  EXPECT_EQ(diskBytes(0), (DiskBytes{}));

  const char* const amdgpu =
      "pos:\t0\nflags:\t02100002\nmnt_id:\t24\nino:\t1045\n"
      "drm-driver:\tamdgpu\ndrm-client-id:\t17\ndrm-pdev:\t0000:03:00.0\n"
      "drm-memory-vram:\t1024 KiB\n"
      "drm-engine-gfx:\t123456789 ns\ndrm-engine-compute:\t1000 ns\n"
      "drm-engine-capacity-gfx:\t2\n";
  EXPECT_EQ(parseGpuClient(amdgpu), (GpuClient{"amdgpu/0000:03:00.0/17", 123457789}));
  // Another descriptor of the same client has the same key, so it is counted once.
  EXPECT_EQ(parseGpuClient(std::string(amdgpu) + "drm-engine-dec:\t5 ns\n")->key,
            "amdgpu/0000:03:00.0/17");
  EXPECT_EQ(parseGpuClient("drm-driver: i915\ndrm-client-id: 3\ndrm-engine-render: 50 ns\n"),
            (GpuClient{"i915//3", 50}));
  EXPECT_EQ(parseGpuClient("pos:\t0\nflags:\t02\n"), std::nullopt);
  EXPECT_EQ(parseGpuClient("drm-driver: i915\ndrm-engine-render: 50 ns\n"), std::nullopt);

  EXPECT_EQ(parseBusyPercent("37\n"), 37);
  EXPECT_EQ(parseBusyPercent("100"), 100);
  EXPECT_EQ(parseBusyPercent("-1\n"), std::nullopt);
  EXPECT_EQ(parseBusyPercent("busy"), std::nullopt);
  EXPECT_EQ(parseBusyPercent(""), std::nullopt);
}

}  // namespace
}  // namespace tessel::platform
