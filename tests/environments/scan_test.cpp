#include <gtest/gtest.h>

#include <string>

#include "environments/environments.h"
#include "support/fake_tools.h"

namespace tessel {
namespace {

using test::FakeTools;

TEST(EnvironmentScan, AsksEveryProviderAtOnceAndKeepsTheirOrder) {
  FakeTools tools;
  // Every tool marks that it started, then waits (five seconds at most) until all twelve
  // have, and notes how many it saw: only tools asked at the same time all see twelve,
  // however slow the machine.
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
  const std::string marks = tools.folder() + "/started";
  for (const auto& [tool, out] : lists) {
    const std::string before = "/bin/mkdir -p " + marks + "; : > " + marks + "/" + tool +
                               "; i=0; while set -- " + marks +
                               "/*; [ $# -lt 12 ] && [ $i -lt 100 ]; do /bin/sleep 0.05; "
                               "i=$((i+1)); done; echo $# > " +
                               marks + ".seen-" + tool;
    tools.add(tool, {{.pattern = "*", .out = out, .before = before}});
  }
  const ProcessTable processes(
      Date::now(),
      {ProcessEntry{.pid = 900001,
                    .ppid = 1,
                    .cpu = 250,
                    .memory = 4294967296,
                    .command = "/usr/bin/qemu-system-x86_64 -name guest=dev,debug-threads=on"}});

  Environments::Context context = tools.context();
  const Date now(1796510000);
  const EnvironmentScan scan = Environments::scan(context, processes, true, nullptr, now);
  EXPECT_EQ(scan.date, now);
  for (const auto& tool : lists) {
    EXPECT_EQ(test::readFile(marks + ".seen-" + tool.first), "12\n") << tool.first;
  }

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
