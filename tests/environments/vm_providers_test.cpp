#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "environments/environments.h"
#include "support/fake_tools.h"
#include "support/processes.h"
#include "support/temp_dir.h"

namespace tessel {
namespace {

using Environments::Answer;
using Provide = Answer (*)(Environments::Context&, const ProcessTable&);
using Lines = std::vector<std::string>;

// Beyond any pid the kernel hands out (at most 2^22), so no real executable is ever read
// for these entries.
constexpr int32_t base = 50000000;

// Each pid has figures of its own, so that figures taken from the wrong process show.
ProcessEntry process(int32_t pid, std::string command, int32_t ppid = 1) {
  return ProcessEntry{pid,
                      ppid,
                      501,
                      (pid - base) * 0.5,
                      int64_t{pid - base} << 20,
                      Date(1796480000),
                      std::move(command)};
}

// What `provider` answers through a context of its own: a tool added since the last
// question is always found.
Answer ask(const test::FakeTools& tools, Provide provider, const ProcessTable& processes) {
  Environments::Context context = tools.context();
  return provider(context, processes);
}

// One line per resource with what a provider reads from its tool and its host process;
// in the stop command, "@" stands for the engine's own id, the resource's after its prefix.
Lines describe(const std::vector<Resource>& resources) {
  Lines lines;
  for (const Resource& r : resources) {
    std::string text = std::string(kindName(r.kind)) + " " + r.id + " | " + r.name + " | " +
                       r.detail + " | " + r.provider + " | " + r.state + " |";
    for (const auto& word : r.stop.value_or(Lines{})) {
      text += " " + (word == r.id.substr(r.id.find(':') + 1) ? "@" : word);
    }
    if (r.group) text += " | group " + *r.group;
    if (r.started)
      text += " | started " + std::to_string(static_cast<int64_t>(r.started->secondsSince1970()));
    if (r.pid) text += " | pid " + std::to_string(*r.pid);
    lines.push_back(text);
  }
  return lines;
}

const std::string dbId = "3f5c8e2a9b7d4c1e6f0a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f70";

const std::string podmanListing = R"([
  {
    "AutoRemove": false, "Command": ["postgres"], "CreatedAt": "2 hours ago", "ExitCode": 0,
    "ExitedAt": -62135596800, "Id": "3f5c8e2a9b7d4c1e6f0a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f70",
    "Image": "docker.io/library/postgres:16",
    "Labels": {"com.docker.compose.project": "shop", "io.podman.compose.project": "shop"},
    "Names": ["shop_db_1"], "Ports": [{"container_port": 5432, "host_port": 5432, "range": 1}],
    "StartedAt": 1796492952, "State": "running", "Status": "Up 2 hours"
  }
]
)";

const std::string parallelsListing = R"([
	{"uuid": "{5d8a3c1e-7b2f-4e9a-a6c0-1f3b5d7e9a2c}", "status": "running", "name": "Windows 11"},
	{"uuid": "{0b7e4f2a-9c3d-4a1b-8e6f-2d4c6a8b0e1f}", "status": "stopped", "name": "macOS"},
	{"uuid": "{9e1c5a7b-3d2f-4b8e-b0a4-6c8e0f2a4b6d}", "status": "paused", "name": "Ubuntu"}
]
)";

const std::string utmListing =
    "UUID                                 Status   Name\n"
    "8D4B0A9E-0E5B-4C1A-9E5F-2F1C3A7B9D10 started  Debian 12 (ARM)\n"
    "1F2E3D4C-5B6A-4798-8A9B-0C1D2E3F4A5B stopped  Windows XP\n"
    "C0FFEE00-1234-4ABC-9DEF-001122334455 paused   Arch Linux\n";

const std::string vms = "/Users/dana/Virtual Machines.localized/";
const std::string ubuntuVmx = vms + "Ubuntu 24.04.vmwarevm/Ubuntu 24.04.vmx";
const std::string windowsVmx = vms + "Windows 11 64-bit Arm.vmwarevm/Windows 11 64-bit Arm.vmx";
const std::string vmwareListing = "Total running VMs: 2\n" + ubuntuVmx + "\n" + windowsVmx + "\n";

const std::string virtualBoxListing =
    "\"ubuntu-jammy_default_1796481234567_40213\" {3f2c6a4e-1b7d-4c8e-9a0f-5d6e7f8a9b0c}\n"
    "\"Windows 10 {Dev}\" {b9e8d7c6-5a4b-4c3d-8e2f-1a0b9c8d7e6f}\n";

const std::string limaListing =
    R"({"name":"default","status":"Running","dir":"/home/dana/.lima/default","vmType":"qemu","arch":"x86_64","cpus":4,"memory":4294967296,"network":[{"lima":"user-v2","interface":"lima0"}],"sshLocalPort":45219,"hostAgentPID":41822,"config":{"vmType":"qemu","mounts":[{"location":"~"}]},"limaVersion":"1.0.1"}
{"name":"k8s","status":"Stopped","dir":"/home/dana/.lima/k8s","vmType":"qemu","arch":"x86_64","cpus":4,"memory":4294967296,"sshLocalPort":0,"limaVersion":"1.0.1"}
{"name":"docker","status":"Running","dir":"/home/dana/.lima/docker","vmType":"qemu","arch":"x86_64","cpus":4,"memory":4294967296,"sshLocalPort":38113,"hostAgentPID":42107,"limaVersion":"1.0.1"}
)";

const std::string colimaListing =
    R"({"name":"default","status":"Running","arch":"x86_64","cpus":2,"memory":2147483600,"disk":64424509440,"dir":"/home/dana/.colima/_lima/colima","address":"192.168.106.2","runtime":"docker"}
{"name":"k3s","status":"Stopped","arch":"x86_64","cpus":4,"memory":8589935000,"disk":107374182400,"dir":"/home/dana/.colima/_lima/colima-k3s"}
)";

const std::string multipassListing = R"({
    "list": [
        {"ipv4": ["10.71.72.4"], "name": "primary", "release": "Ubuntu 24.04 LTS", "state": "Running"},
        {"ipv4": [], "name": "build", "release": "Ubuntu 22.04 LTS", "state": "Stopped"}
    ]
}
)";

const std::string tartListing = R"([
  {"Source" : "local", "Name" : "sequoia-dev", "Disk" : 50, "Running" : true, "State" : "running"},
  {"Source" : "OCI", "Name" : "ghcr.io\/cirruslabs\/macos:latest", "State" : "stopped"}
]
)";

const std::string orbListing =
    R"([{"id":"01JEAX2Y8R4M6Q7T9V0W1Z3B5C","name":"ubuntu","state":"running","image":{"distro":"ubuntu","version":"noble","arch":"arm64"},"config":{"isolated":false},"builtin":false},{"id":"01JEB0F3H5K7N9P1R3T5V7X9Z1","name":"fedora","state":"stopped","image":{"distro":"fedora","version":"41","arch":"arm64"},"builtin":false}])"
    "\n";

const std::string containerListing =
    R"([{"status":"running","configuration":{"id":"web","image":{"reference":"docker.io\/library\/nginx:latest","descriptor":{"mediaType":"application\/vnd.oci.image.index.v1+json","size":10229}},"publishedPorts":[{"hostAddress":"0.0.0.0","hostPort":8080,"containerPort":80,"proto":"tcp"}],"labels":{},"resources":{"cpus":4,"memoryInBytes":1073741824},"metadata":{"createdAt":786654023.418}},"networks":[{"network":"default","address":"192.168.64.3\/24"}]},)"
    R"({"status":"stopped","configuration":{"id":"buildkit","image":{"reference":"ghcr.io\/apple\/container-builder-shim\/builder:0.1.0"},"rosetta":true},"networks":[]}])";

// The host processes of the machines above, among processes that only resemble them. No
// pid here is a real process, so each is named by its command's first word: Parallels'
// host, whose path has blanks, goes by "Parallels" and is not found.
ProcessTable hostProcesses() {
  return ProcessTable(
      Date(1796500000),
      {process(base + 1,
               "/Applications/Parallels Desktop.app/Contents/MacOS/Parallels VM.app/Contents/"
               "MacOS/prl_vm_app --openvm 5d8a3c1e-7b2f-4e9a-a6c0-1f3b5d7e9a2c"),
       process(base + 2,
               "/Applications/UTM.app/Contents/XPCServices/QEMUHelper.xpc/Contents/MacOS/"
               "QEMULauncher -name Debian 12 (ARM) -uuid 8d4b0a9e-0e5b-4c1a-9e5f-2f1c3a7b9d10"),
       process(base + 3, "/bin/sh -c /usr/lib/vmware/bin/vmware-vmx " + windowsVmx),
       process(base + 4,
               "/usr/lib/vmware/bin/vmware-vmx -s vmx.stdio.keep=TRUE -@ duplex=3;msgs=ui " +
                   windowsVmx),
       process(base + 5, "VBoxManage controlvm 3f2c6a4e-1b7d-4c8e-9a0f-5d6e7f8a9b0c savestate"),
       process(base + 6,
               "/usr/lib/virtualbox/VBoxHeadless --comment "
               "ubuntu-jammy_default_1796481234567_40213 --startvm "
               "3f2c6a4e-1b7d-4c8e-9a0f-5d6e7f8a9b0c --vrde config"),
       process(base + 7,
               "/usr/local/bin/limactl hostagent --pidfile /home/dana/.lima/default-arm/ha.pid "
               "default-arm"),
       process(base + 8, "/usr/local/bin/limactl shell default"),
       process(
           base + 9,
           "/usr/local/bin/limactl hostagent --pidfile /home/dana/.lima/default/ha.pid default"),
       process(base + 10,
               "/opt/homebrew/Cellar/tart/2.22.4/tart.app/Contents/MacOS/tart run sequoia-dev-2"),
       process(base + 11,
               "/opt/homebrew/Cellar/tart/2.22.4/tart.app/Contents/MacOS/tart run "
               "--no-graphics sequoia-dev")});
}

TEST(VmProviders, EachMemberAsksItsToolAndReportsWhatRuns) {
  struct Case {
    Provide provider;
    std::string tool;
    Lines arguments;
    Provider listed;  // with `listing`; with `nothing` set up, not counting anything
    bool isRunningWhenIdle;
    std::string listing;
    std::string nothing;
    Lines expected;
  };
  const std::string p5 = "{5d8a3c1e-7b2f-4e9a-a6c0-1f3b5d7e9a2c}";
  const std::string p9 = "{9e1c5a7b-3d2f-4b8e-b0a4-6c8e0f2a4b6d}";
  const std::string debian = "8D4B0A9E-0E5B-4C1A-9E5F-2F1C3A7B9D10";
  const std::string arch = "C0FFEE00-1234-4ABC-9DEF-001122334455";
  const std::string jammy = "3f2c6a4e-1b7d-4c8e-9a0f-5d6e7f8a9b0c";
  const std::string dev = "b9e8d7c6-5a4b-4c3d-8e2f-1a0b9c8d7e6f";
  // clang-format off
  const std::vector<Case> cases{
      {Environments::podman, "podman", {"ps", "--format", "json"}, {"Podman", true, true, 1},
       true, podmanListing, "[]\n",
       {"container podman:" + dbId + " | shop_db_1 | library/postgres:16 | Podman | running | "
        "podman stop @ | group shop | started 1796492952"}},
      {Environments::parallels, "prlctl", {"list", "-a", "-j"},
       {"Parallels Desktop", true, true, 2, "3 VMs set up"}, false, parallelsListing, "[]\n",
       {"vm parallels:" + p5 + " | Windows 11 | Parallels | Parallels Desktop | running | prlctl "
        "suspend @",
        "vm parallels:" + p9 + " | Ubuntu | Parallels | Parallels Desktop | paused | prlctl "
        "suspend @"}},
      {Environments::utm, "utmctl", {"list"}, {"UTM", true, true, 2}, false, utmListing,
       "UUID                                 Status   Name\n",
       {"vm utm:" + debian + " | Debian 12 (ARM) | UTM | UTM | started | utmctl suspend @ | "
        "started 1796480000 | pid 50000002",
        "vm utm:" + arch + " | Arch Linux | UTM | UTM | paused | utmctl suspend @"}},
      {Environments::vmware, "vmrun", {"list"}, {"VMware Fusion", true, true, 2}, false,
       vmwareListing, "Total running VMs: 0\n",
       {"vm vmware:" + ubuntuVmx + " | Ubuntu 24.04 |  | VMware Fusion | running | vmrun suspend @",
        "vm vmware:" + windowsVmx + " | Windows 11 64-bit Arm |  | VMware Fusion | running | "
        "vmrun suspend @ | started 1796480000 | pid 50000004"}},
      {Environments::virtualbox, "VBoxManage", {"list", "runningvms"},
       {"VirtualBox", true, true, 2}, false, virtualBoxListing, "",
       {"vm vbox:" + jammy + " | ubuntu-jammy_default_1796481234567_40213 |  | VirtualBox | "
        "running | VBoxManage controlvm @ savestate | started 1796480000 | pid 50000006",
        "vm vbox:" + dev + " | Windows 10 {Dev} |  | VirtualBox | running | VBoxManage controlvm "
        "@ savestate"}},
      {Environments::lima, "limactl", {"list", "--json"}, {"Lima", true, true, 2}, false,
       limaListing, "",
       {"vm lima:default | default | Lima | Lima | Running | limactl stop @ | started 1796480000 "
        "| pid 50000009",
        "vm lima:docker | docker | Lima | Lima | Running | limactl stop @"}},
      {Environments::colima, "colima", {"list", "--json"}, {"Colima", true, true, 1}, false,
       colimaListing, "",
       {"vm colima:default | default | Colima (docker) | Colima | Running | colima stop -p @"}},
      {Environments::multipass, "multipass", {"list", "--format", "json"},
       {"Multipass", true, true, 1}, false, multipassListing, "{\n    \"list\": [\n    ]\n}\n",
       {"vm Multipass:primary | primary | Ubuntu 24.04 LTS | Multipass | Running | multipass "
        "suspend @"}},
      {Environments::tart, "tart", {"list", "--format", "json"}, {"Tart", true, true, 1}, false,
       tartListing, "[\n\n]\n",
       {"vm tart:sequoia-dev | sequoia-dev | Tart | Tart | running | tart stop @ | started "
        "1796480000 | pid 50000011"}},
      {Environments::orbstack, "orbctl", {"list", "--format", "json"}, {"OrbStack", true, true, 1},
       true, orbListing, "[]\n",
       {"vm orb:ubuntu | ubuntu | OrbStack machine | OrbStack | running | orbctl stop @"}},
      {Environments::appleContainer, "container", {"list", "--format", "json"},
       {"Apple container", true, true, 1}, true, containerListing, "[]",
       {"container container:web | web | library/nginx:latest | Apple container | running | "
        "container stop @"}},
  };
  // clang-format on
  const ProcessTable hosts = hostProcesses();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tool);
    std::string pattern;
    for (const auto& word : c.arguments) pattern += (pattern.empty() ? "" : " ") + word;
    test::FakeTools tools;
    EXPECT_EQ(ask(tools, c.provider, hosts), Answer{});

    tools.add(c.tool, {{.pattern = pattern, .err = "Error: cannot connect\n", .status = 125}});
    EXPECT_EQ(ask(tools, c.provider, hosts), (Answer{.provider = Provider{c.listed.name, true}}));

    tools.add(c.tool, {{.pattern = pattern, .out = c.listing}});
    const Answer listed = ask(tools, c.provider, hosts);
    EXPECT_EQ(describe(listed.resources), c.expected);
    EXPECT_EQ(listed.provider, c.listed);
    // The figures are the host process's, and only a host process has them.
    for (const Resource& r : listed.resources) {
      EXPECT_EQ(r.cpu, r.pid ? std::optional(hosts.byPID.at(*r.pid).cpu) : std::nullopt);
      EXPECT_EQ(r.memory, r.pid ? std::optional(hosts.byPID.at(*r.pid).memory) : std::nullopt);
    }

    tools.add(c.tool, {{.pattern = pattern, .out = c.nothing}});
    const std::optional<std::string> note =
        c.tool == "prlctl" ? std::optional<std::string>("0 VMs set up") : std::nullopt;
    EXPECT_EQ(ask(tools, c.provider, hosts),
              (Answer{.provider = Provider{c.listed.name, true, c.isRunningWhenIdle, 0, note}}));
    EXPECT_EQ(tools.calls(c.tool), std::vector(3, c.arguments));
  }
}

TEST(VmProviders, ReadsEachItemMemberByMemberAndSkipsWhatIsBroken) {
  test::FakeTools tools;
  const ProcessTable none;
  tools.add("podman", {{.pattern = "*", .out = R"([
    {"Id": "0123456789abcdef0123", "Image": "registry.fedoraproject.org/fedora:40",
     "Labels": {"io.podman.compose.project": "blog"}, "StartedAt": -62135596800},
    {"Id": "fedcba9876543210fedc", "Names": "not-a-list", "Labels": ["x"], "State": 3},
    {"Names": ["no-id"]}, "text", 42, null])"}});
  const Answer podman = ask(tools, Environments::podman, none);
  ASSERT_EQ(describe(podman.resources),
            (Lines{"container podman:0123456789abcdef0123 | 0123456789ab | "
                   "registry.fedoraproject.org/fedora:40 | Podman | running | podman stop @ | "
                   "group blog",
                   "container podman:fedcba9876543210fedc | fedcba987654 |  | Podman | running | "
                   "podman stop @"}));
  // The words that tie a machine to a session's commands: its tool's, its name, its group.
  EXPECT_EQ(podman.resources[0].keywords, (Lines{"podman", "compose", "0123456789ab", "blog"}));

  // Tab-indented, without braces; suspending machines still hold their memory.
  tools.add("prlctl",
            {{.pattern = "*",
              .out = "[\n\t{\n\t\t\"uuid\": \"0b7e4f2a-9c3d-4a1b-8e6f-2d4c6a8b0e1f\",\n\t\t"
                     "\"status\": \"suspending\",\n\t\t\"name\": \"Kali\"\n\t},\n\t{\"status\": "
                     "\"running\"}\n]\n"}});
  const Answer parallels = ask(tools, Environments::parallels, none);
  ASSERT_EQ(parallels.resources.size(), 1u);
  EXPECT_EQ(parallels.resources[0].id, "parallels:0b7e4f2a-9c3d-4a1b-8e6f-2d4c6a8b0e1f");
  EXPECT_EQ(parallels.provider->note, "1 VM set up");

  // A line that does not parse costs only itself; runtime is named only while running.
  tools.add("colima", {{.pattern = "*",
                        .out = "{\"name\":\"default\",\"status\":\"Running\"}\n{\"name\":\"tr\n"
                               "[{\"name\":\"x\",\"status\":\"Running\"}]\n"
                               "{\"name\":7,\"status\":\"Running\"}\n"}});
  EXPECT_EQ(describe(ask(tools, Environments::colima, none).resources),
            Lines{"vm colima:default | default | Colima | Colima | Running | colima stop -p @"});

  tools.add("container",
            {{.pattern = "*",
              .out = R"([{"status":{"state":"running"},"configuration":{"id":"api","image":7}},)"
                     R"({"status":"running","configuration":"api"},{"status":"running"}])"}});
  EXPECT_EQ(
      describe(ask(tools, Environments::appleContainer, none).resources),
      Lines{"container container:api | api |  | Apple container | running | container stop @"});

  for (const char* garbage : {"", "not json", "[{\"name\": \"ubuntu\", \"state\": ", "{}"}) {
    tools.add("orbctl", {{.pattern = "*", .out = garbage}});
    tools.add("multipass", {{.pattern = "*", .out = garbage}});
    EXPECT_EQ(ask(tools, Environments::orbstack, none),
              (Answer{.provider = Provider{"OrbStack", true, true}}));
    EXPECT_EQ(ask(tools, Environments::multipass, none),
              (Answer{.provider = Provider{"Multipass", true, false}}));
  }
}

TEST(VmProviders, AListCommandThatHangsCountsAsNotRunning) {
  test::FakeTools tools;
  // Had its answer been waited for, the machine would be listed.
  tools.add("vmrun", {{.pattern = "list", .out = vmwareListing, .delay = 30}});
  EXPECT_EQ(ask(tools, Environments::vmware, ProcessTable{}),
            (Answer{.provider = Provider{"VMware Fusion", true, false}}));
}

const std::string appleVM =
    "/System/Library/Frameworks/Virtualization.framework/Versions/A/XPCServices/"
    "com.apple.Virtualization.VirtualMachine.xpc/Contents/MacOS/"
    "com.apple.Virtualization.VirtualMachine";

// The machines of `table` no provider claims, asked where no tool is installed.
Answer unclaimed(const ProcessTable& table, const std::unordered_set<int32_t>& claimed) {
  Environments::Context noTools(std::vector<std::string>{});
  return Environments::unclaimedVMs(noTools, table, claimed, {}, table.date);
}

TEST(VmProviders, UnclaimedVMsAreNumberedInPidOrderOncePerMachine) {
  const ProcessTable table(
      Date(0),
      {process(base + 30, "/usr/bin/qemu-system-x86_64 -name guest=win11 -accel kvm -m 8192"),
       process(base + 12, "/usr/bin/qemu-system-aarch64 -M virt -cpu cortex-a72 -m 2048"),
       process(base + 20, "/usr/local/bin/limactl hostagent --pidfile ha.pid default"),
       process(base + 21, "/usr/bin/qemu-system-x86_64 -m 4096 -name lima-default", base + 20),
       process(base + 22, appleVM),
       process(base + 23, "/bin/sh -c exec ./qemu-system-x86_64 -m 1024"),
       process(base + 24, "qemu-img convert -O qcow2 disk.raw disk.qcow2"),
       process(base + 25, "/usr/lib/virtualbox/VBoxHeadless --startvm qemu-system")});
  const Answer answer = unclaimed(table, {base + 20, base + 22});
  ASSERT_EQ(describe(answer.resources),
            (Lines{"vm vmproc:50000012 | Virtual machine 1 | QEMU | QEMU VM | running | | "
                   "started 1796480000 | pid 50000012",
                   "vm vmproc:50000030 | Virtual machine 2 | QEMU | QEMU VM | running | | "
                   "started 1796480000 | pid 50000030"}));
  EXPECT_EQ(answer.resources[0].cpu, 6);
  EXPECT_EQ(answer.resources[0].memory, 12 << 20);
  EXPECT_EQ(answer.resources[0].keywords, Lines{"qemu"});
  EXPECT_EQ(answer.provider, (Provider{"QEMU VM", true, true, 2}));

  // Unclaimed, the Virtualization process is a machine of its own.
  const Answer apple = unclaimed(table, {base + 20, base + 12, base + 30});
  EXPECT_EQ(describe(apple.resources),
            Lines{"vm vmproc:50000022 | Virtual machine 1 | Apple Virtualization | Virtual "
                  "machines | running | | started 1796480000 | pid 50000022"});
  EXPECT_EQ(apple.provider, (Provider{"Virtual machines", true, true, 1}));
}

TEST(VmProviders, UnclaimedVMsGoToTheAppsThatRunThem) {
  test::FakeTools tools;
  tools.add("docker", {{.pattern = "info --format {{.NCPU}}", .out = "8\n"}});
  Environments::Context context = tools.context();
  const ProcessTable table(
      Date(0),
      {process(base + 40, "/Applications/Docker.app/Contents/MacOS/com.docker.virtualization"),
       process(base + 41, "/Applications/OrbStack.app/Contents/MacOS/OrbStack"),
       process(base + 42, "/Applications/UTM.app/Contents/MacOS/UTM"),
       process(base + 45, "/opt/homebrew/bin/qemu-system-aarch64 -M virt,highmem=on -accel hvf"),
       process(base + 50, appleVM), process(base + 51, appleVM), process(base + 52, appleVM),
       process(base + 53, appleVM)});
  const std::vector<Provider> providers{{"Docker", true, true, 3}, {"UTM", true, false}};
  const Answer answer =
      Environments::unclaimedVMs(context, table, {base + 53}, providers, table.date);
  ASSERT_EQ(describe(answer.resources),
            (Lines{"vm vmproc:50000045 | Virtual machine 1 | QEMU | QEMU VM | running | | "
                   "started 1796480000 | pid 50000045",
                   "vm vmproc:50000050 | Docker Desktop VM | Linux · Docker’s containers | "
                   "Docker | running | | started 1796480000 | pid 50000050",
                   "vm vmproc:50000051 | OrbStack machine | Apple Virtualization | OrbStack | "
                   "running | | started 1796480000 | pid 50000051",
                   "vm vmproc:50000052 | Virtual machine 2 | Apple Virtualization | UTM | "
                   "running | | started 1796480000 | pid 50000052"}));
  EXPECT_EQ(answer.resources[1].cores, 8);
  EXPECT_EQ(tools.calls("docker"), (std::vector<Lines>{{"info", "--format", "{{.NCPU}}"}}));
  // The QEMU machine and OrbStack's are shown by no listed provider.
  EXPECT_EQ(answer.provider, (Provider{"Virtual machines", true, true, 2}));
  // Left alone, OrbStack's machine is shown under OrbStack's own name.
  const Answer orbStack = Environments::unclaimedVMs(
      context, table, {base + 45, base + 50, base + 52}, providers, table.date);
  ASSERT_EQ(orbStack.resources.size(), 2u);
  EXPECT_EQ(orbStack.resources[1].name, "OrbStack machine");
  EXPECT_EQ(orbStack.provider, (Provider{"OrbStack", true, true, 1}));
}

// A copy of `program` at `folder`/`name` under `dir`: a real executable by a host's name.
std::string copied(const test::TempDir& dir, const std::string& folder, const std::string& name,
                   const std::string& program) {
  namespace fs = std::filesystem;
  fs::create_directories(dir / folder);
  std::string path = dir / (folder + "/" + name);
  fs::copy_file(program, path);
  fs::permissions(path, fs::perms::owner_all);
  return path;
}

TEST(VmProviders, FindsARealQemuProcessByItsExecutableUnlessItsPidIsClaimed) {
  test::TempDir dir;
  const std::string qemu =
      copied(dir, "My Machines.app/Contents/MacOS", "qemu-system-x86_64", "/bin/sleep");
  test::ChildProcess machine(qemu, {"60"});
  ASSERT_TRUE(test::waitForExecutable(machine.pid(), qemu));

  const ProcessTable table = ProcessTable::take(ToolRunner());
  const auto found = [&](const Answer& answer) -> const Resource* {
    for (const Resource& r : answer.resources) {
      if (r.pid == machine.pid()) return &r;
    }
    return nullptr;
  };
  const Answer answer = unclaimed(table, {});
  const Resource* vm = found(answer);
  ASSERT_NE(vm, nullptr);
  EXPECT_EQ(vm->detail, "QEMU");
  EXPECT_GT(vm->started, table.date - 60);
  EXPECT_GT(vm->memory, 0);
  EXPECT_EQ(found(unclaimed(table, {machine.pid()})), nullptr);

  // The same command where the executable cannot be read: the name is the first word's,
  // "My", and the process is no machine.
  ProcessEntry unreadable = table.byPID.at(machine.pid());
  unreadable.pid = base + 60;
  EXPECT_EQ(unreadable.name(), "My");
  EXPECT_TRUE(unclaimed(ProcessTable(table.date, {unreadable}), {}).resources.empty());
}

TEST(VmProviders, AParallelsMachineFindsItsHostByItsUuidWithoutBraces) {
  // Parallels lists "{uuid}" while its host process carries the bare uuid: a real copy of
  // sh under the host's name, kept alive by a command that is not its last.
  test::TempDir dir;
  const std::string host = copied(dir, "Parallels VM.app/Contents/MacOS", "prl_vm_app", "/bin/sh");
  test::ChildProcess machine(host,
                             {"-c", "sleep 60; true", "5d8a3c1e-7b2f-4e9a-a6c0-1f3b5d7e9a2c"});
  ASSERT_TRUE(test::waitForExecutable(machine.pid(), host));

  test::FakeTools tools;
  tools.add("prlctl", {{.pattern = "*", .out = parallelsListing}});
  const Answer answer = ask(tools, Environments::parallels, ProcessTable::take(ToolRunner()));
  ASSERT_EQ(answer.resources.size(), 2u);  // the stopped one is not running
  EXPECT_EQ(answer.resources[0].id, "parallels:{5d8a3c1e-7b2f-4e9a-a6c0-1f3b5d7e9a2c}");
  EXPECT_EQ(answer.resources[0].pid, machine.pid());
  EXPECT_EQ(answer.resources[1].pid, std::nullopt);
}

}  // namespace
}  // namespace tessel
