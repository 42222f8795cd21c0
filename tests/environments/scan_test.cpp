#include <gtest/gtest.h>

#include <chrono>

#include "environments/environments.h"
#include "support/fake_tools.h"

namespace tessel {
namespace {

using test::FakeTools;

TEST(EnvironmentScan, AsksEveryProviderAtOnceAndKeepsTheirOrder) {
  Environments::Testing::resetCaches();
  FakeTools tools;
  // Every tool takes a second to answer, with an empty list in its own format.
  const std::vector<std::pair<std::string, std::string>> lists = {
      {"docker", ""},
      {"podman", "[]\n"},
      {"prlctl", "[]\n"},
      {"utmctl", "UUID                                 Status   Name\n"},
      {"vmrun", "Total running VMs: 0\n"},
      {"VBoxManage", ""},
      {"limactl", ""},
      {"colima", ""},
      {"multipass", "{\n    \"list\": [\n    ]\n}\n"},
      {"tart", "[\n\n]\n"},
      {"orbctl", "[]\n"},
      {"container", "[]"},
  };
  for (const auto& [tool, out] : lists) tools.add(tool, {{.pattern = "*", .out = out, .delay = 1}});
  const ProcessTable processes(
      Date::now(),
      {ProcessEntry{.pid = 900001,
                    .ppid = 1,
                    .cpu = 250,
                    .memory = 4294967296,
                    .command = "/usr/bin/qemu-system-x86_64 -name guest=dev,debug-threads=on"}});

  const auto start = std::chrono::steady_clock::now();
  const EnvironmentScan scan = Environments::scan(processes, true, nullptr);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // Docker asks three questions in turn; everyone else one. Asked one after another the
  // twelve would take at least fourteen seconds.
  EXPECT_LT(seconds, 7);

  std::vector<std::string> names;
  for (const auto& provider : scan.providers) names.push_back(provider.name);
  ASSERT_EQ(names.size(), 13u);
  EXPECT_EQ(std::vector<std::string>(names.begin(), names.end() - 1),
            (std::vector<std::string>{"Docker", "Podman", "Parallels Desktop", "UTM",
                                      "VMware Fusion", "VirtualBox", "Lima", "Colima", "Multipass",
                                      "Tart", "OrbStack", "Apple container"}));
  for (const auto& tool : lists) EXPECT_FALSE(tools.calls(tool.first).empty()) << tool.first;
  // The machine no provider claimed comes last.
  ASSERT_EQ(scan.resources.size(), 1u);
  EXPECT_EQ(scan.resources.back().id, "vmproc:900001");
  EXPECT_EQ(scan.resources.back().pid, 900001);
  EXPECT_EQ(scan.providers.back().count, 1);
}

}  // namespace
}  // namespace tessel
