#include "metrics/system_sampler.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <thread>

namespace tessel {
namespace {

using platform::ByteTotals;

constexpr double nine = 1796720400;

SystemSampler::Counters counters(uint64_t busy, uint64_t netIn, uint64_t diskRead) {
  return SystemSampler::Counters{
      .cores = {{0, busy, busy * 2}, {1, busy / 2, busy * 2}},
      .memory = platform::MemoryCounters{.total = 1000, .available = 400, .swapTotal = 0},
      .network = ByteTotals{netIn, netIn / 2},
      .disk = ByteTotals{diskRead, diskRead * 3},
      .load = 1.5};
}

TEST(SystemSampler, RatesOverTheIntervalSinceThePreviousSample) {
  SystemSampler sampler;
  const SystemSample first = sampler.sample(counters(1000, 10000, 5000), 12.5, Date(nine));
  // Since boot: the first core is half busy, the second a quarter.
  EXPECT_EQ(sampler.perCore(), (std::vector<double>{50, 25}));
  EXPECT_EQ(first, (SystemSample{.t = Date(nine),
                                 .cpu = 37.5,
                                 .memUsed = 600,
                                 .memTotal = 1000,
                                 .pressure = 1,
                                 .gpu = 12.5,
                                 .load = 1.5}));

  // Two seconds on: 2000 more ticks of 2000 busy for core 0, ...
  auto next = counters(3000, 30000, 9000);
  next.cores[1] = {1, 500, 6000};  // no busy tick on core 1
  const SystemSample second = sampler.sample(next, std::nullopt, Date(nine + 2));
  EXPECT_EQ(sampler.perCore(), (std::vector<double>{50, 0}));
  EXPECT_DOUBLE_EQ(second.netIn, 10000);
  EXPECT_DOUBLE_EQ(second.netOut, 5000);
  EXPECT_DOUBLE_EQ(second.diskRead, 2000);
  EXPECT_DOUBLE_EQ(second.diskWrite, 6000);
  EXPECT_EQ(second.gpu, std::nullopt);

  // A tenth of a second later there is no rate to speak of.
  EXPECT_EQ(sampler.sample(counters(3100, 40000, 9900), std::nullopt, Date(nine + 2.1)).netIn, 0);

  // An interface went away: its bytes leave the total, which gives no rate this time.
  auto fewer = counters(3200, 100, 20000);
  fewer.cores.push_back({2, 10, 40});  // and a core came online
  fewer.memory =
      platform::MemoryCounters{.total = 1000, .available = 1200, .swapTotal = 100, .swapFree = 40};
  const SystemSample third = sampler.sample(fewer, std::nullopt, Date(nine + 3.1));
  EXPECT_EQ(third.netIn, 0);
  EXPECT_EQ(third.netOut, 0);
  EXPECT_DOUBLE_EQ(third.diskRead, 20000 - 9900);
  EXPECT_EQ(sampler.perCore().back(), 25);
  EXPECT_EQ(third.memUsed, 0);
  EXPECT_EQ(third.swapUsed, 60);

  // Counters that could not be read give zeros, never garbage.
  const SystemSample empty =
      sampler.sample(SystemSampler::Counters{}, std::nullopt, Date(nine + 5));
  EXPECT_EQ(empty.cpu, 0);
  EXPECT_EQ(empty.memTotal, 0);
  EXPECT_EQ(empty.netIn, 0);
}

TEST(SystemSampler, LoopbackTrafficStaysOutOfTheMachinesTotals) {
  SystemSampler sampler;
  const Date start = Date::now();
  sampler.sample(std::nullopt, start);
  EXPECT_GE(sampler.perCore().size(), 1u);

  // 64 MB through a loopback connection.
  const int server = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(server, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  getsockname(server, reinterpret_cast<sockaddr*>(&address), &length);
  ASSERT_EQ(listen(server, 1), 0);
  constexpr size_t total = 64 << 20;
  std::thread receiver([&] {
    const int connection = accept(server, nullptr, nullptr);
    std::vector<char> buffer(1 << 16);
    size_t got = 0;
    ssize_t n = 0;
    while (got < total && (n = read(connection, buffer.data(), buffer.size())) > 0) {
      got += static_cast<size_t>(n);
    }
    close(connection);
  });
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::vector<char> block(1 << 16, 'x');
  for (size_t sent = 0; sent < total; sent += block.size()) {
    ASSERT_EQ(write(client, block.data(), block.size()), static_cast<ssize_t>(block.size()));
  }
  close(client);
  receiver.join();
  close(server);

  const Date end = std::max(Date::now(), start + 0.5);
  const SystemSample sample = sampler.sample(std::nullopt, end);
  // Whatever else the machine sent meanwhile, it was not those 64 MB.
  EXPECT_LT(sample.netIn * (end - start), total / 4.0);
  EXPECT_LT(sample.netOut * (end - start), total / 4.0);
  EXPECT_GT(sample.memTotal, 0);
  EXPECT_GE(sample.pressure, 1);
}

TEST(SystemSampler, TopRanksByCpuAndMemoryKeepingTiesInPidOrder) {
  const ProcessTable table(Date(nine), {{.pid = 30, .cpu = 5, .memory = 100},
                                        {.pid = 10, .cpu = 50, .memory = 100},
                                        {.pid = 20, .cpu = 5, .memory = 900}});
  const auto two = SystemSampler::top(table, 2);
  ASSERT_EQ(two.cpu.size(), 2u);
  EXPECT_EQ(two.cpu[0].pid, 10);
  EXPECT_EQ(two.cpu[1].pid, 20);
  EXPECT_EQ(two.memory[0].pid, 20);
  EXPECT_EQ(two.memory[1].pid, 10);
  const auto all = SystemSampler::top(table, 10);
  EXPECT_EQ(all.cpu.size(), 3u);
  EXPECT_EQ(all.memory.back().pid, 30);
  EXPECT_TRUE(SystemSampler::top(ProcessTable(), 5).cpu.empty());
}

TEST(Samples, AveragesStoredFormAndThinning) {
  const std::vector<MetricsSample> metrics{
      {.t = Date(nine), .memory = 100, .cpu = 10, .diskWrite = 4, .gpu = 10, .gpuSystem = 20},
      {.t = Date(nine + 10), .memory = 201, .cpu = 30, .diskWrite = 8},
      {.t = Date(nine + 20), .memory = 300, .cpu = 50, .netIn = 9, .gpu = 30, .gpuSystem = 30}};
  const auto mean = MetricsSample::average(metrics);
  ASSERT_TRUE(mean);
  EXPECT_EQ(*mean, (MetricsSample{.t = Date(nine + 20),
                                  .memory = 200,
                                  .cpu = 30,
                                  .netIn = 3,
                                  .diskWrite = 4,
                                  .gpu = 20,
                                  .gpuSystem = 25}));
  EXPECT_EQ(MetricsSample::average({}), std::nullopt);
  EXPECT_EQ(MetricsSample::average({metrics[1]})->gpu, std::nullopt);

  for (const MetricsSample& sample : metrics) {
    EXPECT_EQ(metricsSampleFromJson(toJson(sample)), sample);
  }
  EXPECT_EQ(toJson(metrics[1]).dump(),
            R"({"cpu":30.0,"diskRead":0.0,"diskWrite":8.0,"memory":201,"netIn":0.0,"netOut":0.0,)"
            R"("t":818413210.0})");
  const SystemSample system{.t = Date(nine), .cpu = 3, .memUsed = 5, .gpu = 7, .load = 0.5};
  EXPECT_EQ(systemSampleFromJson(toJson(system)), system);
  auto spoiled = toJson(system);
  spoiled["gpu"] = "7";
  EXPECT_EQ(systemSampleFromJson(spoiled), std::nullopt);
  spoiled.erase("gpu");
  spoiled.erase("load");
  EXPECT_EQ(systemSampleFromJson(spoiled), std::nullopt);
  EXPECT_EQ(metricsSampleFromJson(nlohmann::json::array()), std::nullopt);

  // An hour of samples every 10 s into 13 points: 12 averaged spans and the newest.
  std::vector<SystemSample> hour;
  for (int i = 0; i <= 360; ++i) {
    hour.push_back({.t = Date(nine + i * 10.0), .cpu = static_cast<double>(i % 2 ? 100 : 0)});
  }
  const auto thinned = Readings::thin(hour, 13);
  ASSERT_EQ(thinned.size(), 13u);
  EXPECT_EQ(thinned.back(), hour.back());
  EXPECT_EQ(thinned[0].cpu, 50);
  EXPECT_EQ(thinned[0].t, Date(nine + 290));
  for (size_t i = 1; i < thinned.size(); ++i) EXPECT_LT(thinned[i - 1].t, thinned[i].t);
  EXPECT_EQ(Readings::thin(hour, 1), std::vector<SystemSample>{hour.back()});
  EXPECT_TRUE(Readings::thin(hour, 0).empty());
  EXPECT_EQ(Readings::thin(metrics, 5), metrics);
}

}  // namespace
}  // namespace tessel
