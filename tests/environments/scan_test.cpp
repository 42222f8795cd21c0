#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "environments/environments.h"
#include "support/fake_tools.h"

namespace tessel {
namespace {

using test::FakeTools;

TEST(EnvironmentScan, AsksEveryProviderAtOnceAndKeepsTheirOrder) {
  const std::string utmMachine = "8D4B0A9E-0E5B-4C1A-9E5F-2F1C3A7B9D10";
  FakeTools tools;
  // Every tool marks that it started, then waits (five seconds at most) until all twelve
  // have, and notes how many it saw: only tools asked at the same time all see twelve,
  // however slow the machine.
  const std::vector<std::pair<std::string, std::string>> lists = {
      {"docker", ""},
      {"podman", "[]\n"},
      {"prlctl", "[]\n"},
      {"utmctl",
       "UUID                                 Status   Name\n" + utmMachine + " started  Debian\n"},
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
  // Pids beyond any the kernel hands out, so each process is named by its first word.
  const ProcessTable processes(
      Date::now(),
      {ProcessEntry{.pid = 50000001, .ppid = 1, .command = "/usr/bin/qemu-system-x86_64 -m 4096"},
       ProcessEntry{.pid = 50000002,
                    .ppid = 1,
                    .command = "/usr/bin/qemu-system-aarch64 -uuid " + utmMachine}});

  Environments::Context context = tools.context();
  const Date now(1796510000);
  const EnvironmentScan scan = Environments::scan(context, processes, true, nullptr, now);
  EXPECT_EQ(scan.date, now);
  for (const auto& tool : lists) {
    EXPECT_EQ(test::readFile(marks + ".seen-" + tool.first), "12\n") << tool.first;
  }

  std::vector<std::string> names;
  for (const auto& provider : scan.providers) names.push_back(provider.name);
  EXPECT_EQ(names,
            (std::vector<std::string>{"Docker", "Podman", "Parallels Desktop", "UTM",
                                      "VMware Fusion", "VirtualBox", "Lima", "Colima", "Multipass",
                                      "Tart", "OrbStack", "Apple container", "QEMU VM"}));
  // UTM's machine claims its QEMU process; the machine no provider claimed comes last.
  ASSERT_EQ(scan.resources.size(), 2u);
  EXPECT_EQ(scan.resources[0].pid, 50000002);
  EXPECT_EQ(scan.resources[1].id, "vmproc:50000001");
  EXPECT_EQ(scan.providers.back().count, 1);
}

}  // namespace
}  // namespace tessel
