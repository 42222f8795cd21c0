#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <unordered_set>
#include <vector>

#include "environments/environments.h"
#include "support/fake_tools.h"
#include "support/processes.h"
#include "support/temp_dir.h"

namespace tessel {

void PrintTo(const Resource& r, std::ostream* out);

namespace {

using Environments::Answer;

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
Answer ask(const test::FakeTools& tools,
           Answer (*provider)(Environments::Context&, const ProcessTable&),
           const ProcessTable& processes) {
  Environments::Context context = tools.context();
  return provider(context, processes);
}

// One line per resource with every field a provider fills in.
std::string describe(const Resource& r) {
  std::string text = std::string(kindName(r.kind)) + " " + r.id + " | " + r.name + " | " +
                     r.detail + " | " + r.provider + " | " + r.state + " |";
  for (const auto& word : r.stop.value_or(std::vector<std::string>{})) text += " " + word;
  text += " |";
  for (const auto& word : r.keywords) text += " " + word;
  if (r.group) text += " | group " + *r.group;
  if (r.started)
    text += " | started " + std::to_string(static_cast<int64_t>(r.started->secondsSince1970()));
  if (r.pid) text += " | pid " + std::to_string(*r.pid);
  return text;
}

std::vector<std::string> describe(const std::vector<Resource>& resources) {
  std::vector<std::string> lines;
  for (const auto& r : resources) lines.push_back(describe(r));
  return lines;
}

const std::string dbId = "3f5c8e2a9b7d4c1e6f0a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f70";

const std::string podmanListing = R"([
  {
    "AutoRemove": false,
    "Command": [
      "postgres"
    ],
    "CreatedAt": "2 hours ago",
    "CIDFile": "",
    "Exited": false,
    "ExitedAt": -62135596800,
    "ExitCode": 0,
    "Id": ")" + dbId + R"(",
    "Image": "docker.io/library/postgres:16",
    "ImageID": "d4ffc32b30ba5e0f3e4f1b8e2c6a7d9f0b1c2e3d4a5b6c7d8e9f0a1b2c3d4e5f",
    "IsInfra": false,
    "Labels": {
      "com.docker.compose.project": "shop",
      "com.docker.compose.service": "db",
      "io.podman.compose.project": "shop"
    },
    "Mounts": [
      "/var/lib/postgresql/data"
    ],
    "Names": [
      "shop_db_1"
    ],
    "Namespaces": {},
    "Networks": [
      "shop_default"
    ],
    "Pid": 48211,
    "Pod": "",
    "PodName": "",
    "Ports": [
      {
        "host_ip": "",
        "container_port": 5432,
        "host_port": 5432,
        "range": 1,
        "protocol": "tcp"
      }
    ],
    "Restarts": 0,
    "Size": null,
    "StartedAt": 1796492952,
    "State": "running",
    "Status": "Up 2 hours",
    "Created": 1796492950
  }
]
)";

const std::string parallelsListing = R"([
	{
		"uuid": "{5d8a3c1e-7b2f-4e9a-a6c0-1f3b5d7e9a2c}",
		"status": "running",
		"ip_configured": "10.211.55.4",
		"name": "Windows 11"
	},
	{
		"uuid": "{0b7e4f2a-9c3d-4a1b-8e6f-2d4c6a8b0e1f}",
		"status": "stopped",
		"ip_configured": "-",
		"name": "macOS Sonoma"
	},
	{
		"uuid": "{9e1c5a7b-3d2f-4b8e-b0a4-6c8e0f2a4b6d}",
		"status": "paused",
		"ip_configured": "10.211.55.6",
		"name": "Ubuntu 24.04 ARM64"
	}
]
)";

const std::string utmListing =
    "UUID                                 Status   Name\n"
    "8D4B0A9E-0E5B-4C1A-9E5F-2F1C3A7B9D10 started  Debian 12 (ARM)\n"
    "1F2E3D4C-5B6A-4798-8A9B-0C1D2E3F4A5B stopped  Windows XP\n"
    "C0FFEE00-1234-4ABC-9DEF-001122334455 paused   Arch Linux\n";

const std::string vmx = "/Users/dana/Virtual Machines.localized/Windows 11 64-bit Arm.vmwarevm/";
const std::string vmwareListing =
    "Total running VMs: 2\n"
    "/Users/dana/Virtual Machines.localized/Ubuntu 64-bit Arm Server 24.04.vmwarevm/Ubuntu "
    "64-bit Arm Server 24.04.vmx\n" +
    vmx + "Windows 11 64-bit Arm.vmx\n";

const std::string virtualBoxListing =
    "\"ubuntu-jammy_default_1796481234567_40213\" {3f2c6a4e-1b7d-4c8e-9a0f-5d6e7f8a9b0c}\n"
    "\"Windows 10 {Dev}\" {b9e8d7c6-5a4b-4c3d-8e2f-1a0b9c8d7e6f}\n";

const std::string limaConfig =
    R"("config":{"vmType":"qemu","os":"Linux","arch":"x86_64","images":[{"location":"https://cloud-images.ubuntu.com/releases/24.04/release-20241004/ubuntu-24.04-server-cloudimg-amd64.img","arch":"x86_64"}],"cpus":4,"memory":"4GiB","disk":"100GiB","mounts":[{"location":"~","writable":false}],"containerd":{"system":false,"user":true}})";
const std::string limaListing =
    R"({"name":"default","hostname":"lima-default","status":"Running","dir":"/home/dana/.lima/default","vmType":"qemu","arch":"x86_64","cpus":4,"memory":4294967296,"disk":107374182400,"network":[{"lima":"user-v2","macAddress":"52:55:55:3a:1c:7e","interface":"lima0"}],"sshLocalPort":45219,"sshConfigFile":"/home/dana/.lima/default/ssh.config","hostAgentPID":41822,"driverPID":41822,)" +
    limaConfig + R"(,"sshAddress":"127.0.0.1","protected":false,"limaVersion":"1.0.1"}
{"name":"k8s","hostname":"lima-k8s","status":"Stopped","dir":"/home/dana/.lima/k8s","vmType":"qemu","arch":"x86_64","cpus":4,"memory":4294967296,"disk":107374182400,"sshLocalPort":0,)" +
    limaConfig + R"(,"protected":false,"limaVersion":"1.0.1"}
{"name":"docker","hostname":"lima-docker","status":"Running","dir":"/home/dana/.lima/docker","vmType":"qemu","arch":"x86_64","cpus":4,"memory":4294967296,"disk":107374182400,"sshLocalPort":38113,"sshConfigFile":"/home/dana/.lima/docker/ssh.config","hostAgentPID":42107,"driverPID":42107,)" +
    limaConfig + R"(,"sshAddress":"127.0.0.1","protected":false,"limaVersion":"1.0.1"}
)";

const std::string colimaListing =
    R"({"name":"default","status":"Running","arch":"x86_64","cpus":2,"memory":2147483600,"disk":64424509440,"dir":"/home/dana/.colima/_lima/colima","address":"192.168.106.2","runtime":"docker"}
{"name":"k3s","status":"Stopped","arch":"x86_64","cpus":4,"memory":8589935000,"disk":107374182400,"dir":"/home/dana/.colima/_lima/colima-k3s"}
)";

const std::string multipassListing = R"({
    "list": [
        {
            "ipv4": [
                "10.71.72.4"
            ],
            "name": "primary",
            "release": "Ubuntu 24.04 LTS",
            "state": "Running"
        },
        {
            "ipv4": [
            ],
            "name": "build",
            "release": "Ubuntu 22.04 LTS",
            "state": "Stopped"
        }
    ]
}
)";

const std::string tartListing = R"([
  {
    "Source" : "local",
    "Name" : "sequoia-dev",
    "Disk" : 50,
    "Size" : 23,
    "Running" : true,
    "State" : "running"
  },
  {
    "Source" : "OCI",
    "Name" : "ghcr.io\/cirruslabs\/macos-sequoia-base:latest",
    "Disk" : 50,
    "Size" : 21,
    "Running" : false,
    "State" : "stopped"
  }
]
)";

const std::string orbListing =
    R"([{"id":"01JEAX2Y8R4M6Q7T9V0W1Z3B5C","name":"ubuntu","state":"running","image":{"distro":"ubuntu","version":"noble","arch":"arm64","variant":"default"},"config":{"isolated":false,"default_username":"dana"},"builtin":false},{"id":"01JEB0F3H5K7N9P1R3T5V7X9Z1","name":"fedora","state":"stopped","image":{"distro":"fedora","version":"41","arch":"arm64","variant":"default"},"config":{"isolated":false,"default_username":"dana"},"builtin":false}])"
    "\n";

const std::string containerListing =
    R"([{"status":"running","configuration":{"id":"web","image":{"reference":"docker.io\/library\/nginx:latest","descriptor":{"mediaType":"application\/vnd.oci.image.index.v1+json","digest":"sha256:bc5eac5eafc581aeda3008b4b1f07ebba230de2f27d47767129a6a905c84f470","size":10229}},"mounts":[],"publishedPorts":[{"hostAddress":"0.0.0.0","hostPort":8080,"containerPort":80,"proto":"tcp"}],"labels":{},"sysctls":{},"networks":[{"network":"default","options":{"hostname":"web"}}],"dns":{"nameservers":["192.168.64.1"],"searchDomains":[],"options":[]},"rosetta":false,"initProcess":{"executable":"\/docker-entrypoint.sh","arguments":["nginx","-g","daemon off;"],"environment":["PATH=\/usr\/local\/sbin:\/usr\/local\/bin:\/usr\/sbin:\/usr\/bin:\/sbin:\/bin"],"workingDirectory":"\/","terminal":false,"user":{"id":{"uid":0,"gid":0}},"supplementalGroups":[],"rlimits":[]},"platform":{"os":"linux","architecture":"arm64"},"resources":{"cpus":4,"memoryInBytes":1073741824},"runtimeHandler":"container-runtime-linux","virtualization":false,"ssh":false,"metadata":{"createdAt":786654023.418}},"networks":[{"network":"default","hostname":"web.","address":"192.168.64.3\/24","gateway":"192.168.64.1"}]},{"status":"stopped","configuration":{"id":"buildkit","image":{"reference":"ghcr.io\/apple\/container-builder-shim\/builder:0.1.0","descriptor":{"mediaType":"application\/vnd.oci.image.index.v1+json","digest":"sha256:7c4a1b9e2d8f3a6c5e0b4d7f9a2c1e8b3d6f0a5c9e2b7d4a1f8c3e6b0d9a2f5c","size":1609}},"mounts":[],"publishedPorts":[],"labels":{},"sysctls":{},"networks":[],"dns":{"nameservers":[],"searchDomains":[],"options":[]},"rosetta":true,"initProcess":{"executable":"\/usr\/local\/bin\/container-builder-shim","arguments":[],"environment":[],"workingDirectory":"\/","terminal":false,"user":{"id":{"uid":0,"gid":0}},"supplementalGroups":[],"rlimits":[]},"platform":{"os":"linux","architecture":"arm64"},"resources":{"cpus":2,"memoryInBytes":2147483648},"runtimeHandler":"container-runtime-linux","virtualization":false,"ssh":false,"metadata":{"createdAt":786650000.5}},"networks":[]}])";

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
               "QEMULauncher.app/Contents/MacOS/QEMULauncher /Applications/UTM.app/Contents/"
               "Frameworks/qemu-aarch64-softmmu.framework/Versions/A/qemu-aarch64-softmmu -name "
               "Debian 12 (ARM) -uuid 8d4b0a9e-0e5b-4c1a-9e5f-2f1c3a7b9d10"),
       process(base + 3,
               "/bin/sh -c /usr/lib/vmware/bin/vmware-vmx " + vmx + "Windows 11 64-bit Arm.vmx"),
       process(base + 4,
               "/usr/lib/vmware/bin/vmware-vmx -s "
               "vmx.stdio.keep=TRUE -# product=64;name=VMware Fusion;version=13.6.1; -@ "
               "duplex=3;msgs=ui " +
                   vmx + "Windows 11 64-bit Arm.vmx"),
       process(base + 5, "VBoxManage controlvm 3f2c6a4e-1b7d-4c8e-9a0f-5d6e7f8a9b0c savestate"),
       process(base + 6,
               "/usr/lib/virtualbox/VBoxHeadless --comment "
               "ubuntu-jammy_default_1796481234567_40213 --startvm "
               "3f2c6a4e-1b7d-4c8e-9a0f-5d6e7f8a9b0c --vrde config"),
       process(base + 7,
               "/usr/local/bin/limactl hostagent --pidfile /home/dana/.lima/default-arm/ha.pid "
               "--socket /home/dana/.lima/default-arm/ha.sock default-arm"),
       process(base + 8, "/usr/local/bin/limactl shell default"),
       process(base + 9,
               "/usr/local/bin/limactl hostagent --pidfile /home/dana/.lima/default/ha.pid "
               "--socket /home/dana/.lima/default/ha.sock default"),
       process(base + 10,
               "/opt/homebrew/Cellar/tart/2.22.4/tart.app/Contents/MacOS/tart run "
               "sequoia-dev-2"),
       process(base + 11,
               "/opt/homebrew/Cellar/tart/2.22.4/tart.app/Contents/MacOS/tart run "
               "--no-graphics sequoia-dev")});
}

TEST(VmProviders, EachMemberAsksItsToolAndReportsWhatRuns) {
  struct Case {
    Answer (*provider)(Environments::Context&, const ProcessTable&);
    std::string tool;
    std::vector<std::string> arguments;
    Provider listed;  // with `listing`; with `nothing` set up, not counting anything
    bool isRunningWhenIdle;
    std::string listing;
    std::string nothing;
    std::vector<std::string> expected;
  };
  const std::string p5 = "{5d8a3c1e-7b2f-4e9a-a6c0-1f3b5d7e9a2c}";
  const std::string p9 = "{9e1c5a7b-3d2f-4b8e-b0a4-6c8e0f2a4b6d}";
  const std::string ubuntu =
      "/Users/dana/Virtual Machines.localized/Ubuntu 64-bit Arm Server "
      "24.04.vmwarevm/Ubuntu 64-bit Arm Server 24.04.vmx";
  const std::string utmHeader = "UUID                                 Status   Name\n";
  // clang-format off
  const std::vector<Case> cases{
      {Environments::podman, "podman", {"ps", "--format", "json"}, {"Podman", true, true, 1},
       true, podmanListing, "[]\n",
       {"container podman:" + dbId + " | shop_db_1 | library/postgres:16 | Podman | running | "
        "podman stop " + dbId + " | podman compose shop_db_1 shop | group shop | started "
        "1796492952"}},
      {Environments::parallels, "prlctl", {"list", "-a", "-j"},
       {"Parallels Desktop", true, true, 2, "3 VMs set up"}, false, parallelsListing, "[]\n",
       {"vm parallels:" + p5 + " | Windows 11 | Parallels | Parallels Desktop | running | "
        "prlctl suspend " + p5 + " | parallels prl_ Windows 11",
        "vm parallels:" + p9 + " | Ubuntu 24.04 ARM64 | Parallels | Parallels Desktop | paused "
        "| prlctl suspend " + p9 + " | parallels prl_ Ubuntu 24.04 ARM64"}},
      {Environments::utm, "utmctl", {"list"}, {"UTM", true, true, 2}, false, utmListing,
       utmHeader,
       {"vm utm:8D4B0A9E-0E5B-4C1A-9E5F-2F1C3A7B9D10 | Debian 12 (ARM) | UTM | UTM | started | "
        "utmctl suspend 8D4B0A9E-0E5B-4C1A-9E5F-2F1C3A7B9D10 | utm Debian 12 (ARM) | started "
        "1796480000 | pid 50000002",
        "vm utm:C0FFEE00-1234-4ABC-9DEF-001122334455 | Arch Linux | UTM | UTM | paused | utmctl "
        "suspend C0FFEE00-1234-4ABC-9DEF-001122334455 | utm Arch Linux"}},
      // `vmrun list` with only its header line: nothing runs.
      {Environments::vmware, "vmrun", {"list"}, {"VMware Fusion", true, true, 2}, false,
       vmwareListing, "Total running VMs: 0\n",
       {"vm vmware:" + ubuntu + " | Ubuntu 64-bit Arm Server 24.04 |  | VMware Fusion | running "
        "| vmrun suspend " + ubuntu + " | vmware Ubuntu 64-bit Arm Server 24.04",
        "vm vmware:" + vmx + "Windows 11 64-bit Arm.vmx | Windows 11 64-bit Arm |  | VMware "
        "Fusion | running | vmrun suspend " + vmx + "Windows 11 64-bit Arm.vmx | vmware Windows "
        "11 64-bit Arm | started 1796480000 | pid 50000004"}},
      {Environments::virtualbox, "VBoxManage", {"list", "runningvms"},
       {"VirtualBox", true, true, 2}, false, virtualBoxListing, "",
       {"vm vbox:3f2c6a4e-1b7d-4c8e-9a0f-5d6e7f8a9b0c | ubuntu-jammy_default_1796481234567_40213 "
        "|  | VirtualBox | running | VBoxManage controlvm 3f2c6a4e-1b7d-4c8e-9a0f-5d6e7f8a9b0c "
        "savestate | vboxmanage virtualbox vagrant ubuntu-jammy_default_1796481234567_40213 | "
        "started 1796480000 | pid 50000006",
        "vm vbox:b9e8d7c6-5a4b-4c3d-8e2f-1a0b9c8d7e6f | Windows 10 {Dev} |  | VirtualBox | "
        "running | VBoxManage controlvm b9e8d7c6-5a4b-4c3d-8e2f-1a0b9c8d7e6f savestate | "
        "vboxmanage virtualbox vagrant Windows 10 {Dev}"}},
      {Environments::lima, "limactl", {"list", "--json"}, {"Lima", true, true, 2}, false,
       limaListing, "",
       {"vm lima:default | default | Lima | Lima | Running | limactl stop default | lima default "
        "| started 1796480000 | pid 50000009",
        "vm lima:docker | docker | Lima | Lima | Running | limactl stop docker | lima docker"}},
      {Environments::colima, "colima", {"list", "--json"}, {"Colima", true, true, 1}, false,
       colimaListing, "",
       {"vm colima:default | default | Colima (docker) | Colima | Running | colima stop -p "
        "default | colima default"}},
      {Environments::multipass, "multipass", {"list", "--format", "json"},
       {"Multipass", true, true, 1}, false, multipassListing, "{\n    \"list\": [\n    ]\n}\n",
       {"vm Multipass:primary | primary | Ubuntu 24.04 LTS | Multipass | Running | multipass "
        "suspend primary | multipass primary"}},
      {Environments::tart, "tart", {"list", "--format", "json"}, {"Tart", true, true, 1}, false,
       tartListing, "[\n\n]\n",
       {"vm tart:sequoia-dev | sequoia-dev | Tart | Tart | running | tart stop sequoia-dev | tart "
        "sequoia-dev | started 1796480000 | pid 50000011"}},
      {Environments::orbstack, "orbctl", {"list", "--format", "json"}, {"OrbStack", true, true, 1},
       true, orbListing, "[]\n",
       {"vm orb:ubuntu | ubuntu | OrbStack machine | OrbStack | running | orbctl stop ubuntu | "
        "orb ubuntu"}},
      {Environments::appleContainer, "container", {"list", "--format", "json"},
       {"Apple container", true, true, 1}, true, containerListing, "[]",
       {"container container:web | web | library/nginx:latest | Apple container | running | "
        "container stop web | container web"}},
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
    for (const Resource& r : listed.resources) {
      if (r.pid) {
        EXPECT_EQ(r.cpu, hosts.byPID.at(*r.pid).cpu);
        EXPECT_EQ(r.memory, hosts.byPID.at(*r.pid).memory);
      }
      EXPECT_EQ(r.cpu.has_value(), r.pid.has_value());
      EXPECT_TRUE(r.ports.empty() && !r.cores && !r.devContainer && !r.context);
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
  EXPECT_EQ(describe(ask(tools, Environments::podman, none).resources),
            (std::vector<std::string>{
                "container podman:0123456789abcdef0123 | 0123456789ab | "
                "registry.fedoraproject.org/fedora:40 | Podman | running | podman stop "
                "0123456789abcdef0123 | podman compose 0123456789ab blog | group blog",
                "container podman:fedcba9876543210fedc | fedcba987654 |  | Podman | running | "
                "podman stop fedcba9876543210fedc | podman compose fedcba987654"}));

  // Tab-indented, without braces; suspending machines still hold their memory.
  tools.add("prlctl",
            {{.pattern = "*",
              .out = "[\n\t{\n\t\t\"uuid\": \"0b7e4f2a-9c3d-4a1b-8e6f-2d4c6a8b0e1f\",\n\t\t"
                     "\"status\": \"suspending\",\n\t\t\"ip_configured\": \"-\",\n\t\t\"name\": "
                     "\"Kali\"\n\t},\n\t{\"status\": \"running\"}\n]\n"}});
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
            std::vector<std::string>{"vm colima:default | default | Colima | Colima | Running | "
                                     "colima stop -p default | colima default"});

  tools.add("container",
            {{.pattern = "*",
              .out = R"([{"status":{"state":"running"},"configuration":{"id":"api","image":7}},)"
                     R"({"status":"running","configuration":"api"},{"status":"running"}])"}});
  EXPECT_EQ(describe(ask(tools, Environments::appleContainer, none).resources),
            std::vector<std::string>{"container container:api | api |  | Apple container | "
                                     "running | container stop api | container api"});

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
  tools.add("vmrun", {{.pattern = "list", .out = "Total running VMs: 0\n", .delay = 30}});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ask(tools, Environments::vmware, ProcessTable{}),
            (Answer{.provider = Provider{"VMware Fusion", true, false}}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
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
      {process(base + 30,
               "/usr/bin/qemu-system-x86_64 -name guest=win11,debug-threads=on -S -machine "
               "pc-q35-8.2,usb=off -accel kvm -m 8192"),
       process(base + 12, "/usr/bin/qemu-system-aarch64 -M virt -cpu cortex-a72 -m 2048"),
       process(base + 20, "/usr/local/bin/limactl hostagent --pidfile ha.pid default"),
       process(base + 21, "/usr/bin/qemu-system-x86_64 -m 4096 -name lima-default", base + 20),
       process(base + 22, appleVM),
       process(base + 23, "/bin/sh -c exec ./qemu-system-x86_64 -m 1024"),
       process(base + 24, "qemu-img convert -O qcow2 disk.raw disk.qcow2"),
       process(base + 25, "/usr/lib/virtualbox/VBoxHeadless --startvm qemu-system")});
  const Answer answer = unclaimed(table, {base + 20, base + 22});
  ASSERT_EQ(answer.resources.size(), 2u);
  EXPECT_EQ(answer.resources[0], (Resource{.id = "vmproc:50000012",
                                           .kind = Resource::Kind::vm,
                                           .name = "Virtual machine 1",
                                           .detail = "QEMU",
                                           .provider = "QEMU VM",
                                           .state = "running",
                                           .memory = 12 << 20,
                                           .cpu = 6,
                                           .started = Date(1796480000),
                                           .pid = base + 12,
                                           .keywords = {"qemu"}}));
  EXPECT_EQ(answer.resources[1].name, "Virtual machine 2");
  EXPECT_EQ(answer.resources[1].pid, base + 30);
  EXPECT_EQ(answer.provider, (Provider{"QEMU VM", true, true, 2}));

  // Unclaimed, the Virtualization process is a machine of its own.
  const Answer apple = unclaimed(table, {base + 20, base + 12, base + 30});
  ASSERT_EQ(apple.resources.size(), 1u);
  EXPECT_EQ(describe(apple.resources[0]),
            "vm vmproc:50000022 | Virtual machine 1 | Apple Virtualization | Virtual machines | "
            "running | | | started 1796480000 | pid 50000022");
  EXPECT_EQ(apple.provider, (Provider{"Virtual machines", true, true, 1}));
}

TEST(VmProviders, UnclaimedVMsGoToTheAppsThatRunThem) {
  test::FakeTools tools;
  tools.add("docker", {{.pattern = "info --format {{.NCPU}}", .out = "8\n"}});
  Environments::Context context = tools.context();
  const ProcessTable table(
      Date(0),
      {process(base + 40,
               "/Applications/Docker.app/Contents/MacOS/com.docker.virtualization "
               "--kernel /Applications/Docker.app/Contents/Resources/linuxkit/kernel"),
       process(base + 41,
               "/Applications/OrbStack.app/Contents/Frameworks/OrbStack Helper.app/Contents/MacOS/"
               "OrbStack Helper vmgr -build-id 1796400000 -handoff"),
       process(base + 42, "/Applications/UTM.app/Contents/MacOS/UTM"),
       process(base + 45, "/opt/homebrew/bin/qemu-system-aarch64 -M virt,highmem=on -accel hvf"),
       process(base + 50, appleVM), process(base + 51, appleVM), process(base + 52, appleVM),
       process(base + 53, appleVM)});
  const Answer answer = Environments::unclaimedVMs(
      context, table, {base + 53},
      {Provider{"Docker", true, true, 3}, Provider{"UTM", true, false}}, table.date);
  EXPECT_EQ(describe(answer.resources),
            (std::vector<std::string>{
                "vm vmproc:50000045 | Virtual machine 1 | QEMU | QEMU VM | running | | qemu | "
                "started 1796480000 | pid 50000045",
                "vm vmproc:50000050 | Docker Desktop VM | Linux · Docker’s containers | Docker | "
                "running | | | started 1796480000 | pid 50000050",
                "vm vmproc:50000051 | OrbStack machine | Apple Virtualization | OrbStack | "
                "running | | | started 1796480000 | pid 50000051",
                "vm vmproc:50000052 | Virtual machine 2 | Apple Virtualization | UTM | running | | "
                "| started 1796480000 | pid 50000052"}));
  ASSERT_EQ(answer.resources.size(), 4u);
  EXPECT_EQ(answer.resources[1].cores, 8);
  EXPECT_EQ(tools.calls("docker"),
            (std::vector<std::vector<std::string>>{{"info", "--format", "{{.NCPU}}"}}));
  // The QEMU machine and OrbStack's are shown by no listed provider.
  EXPECT_EQ(answer.provider, (Provider{"Virtual machines", true, true, 2}));
  // Left alone, OrbStack's machine is shown under OrbStack's own name.
  const Answer dockerAndOrbStack = Environments::unclaimedVMs(
      context, table, {base + 45, base + 50, base + 52},
      {Provider{"Docker", true, true, 3}, Provider{"UTM", true, false}}, table.date);
  ASSERT_EQ(dockerAndOrbStack.resources.size(), 2u);
  EXPECT_EQ(dockerAndOrbStack.resources[1].name, "OrbStack machine");
  EXPECT_EQ(dockerAndOrbStack.provider, (Provider{"OrbStack", true, true, 1}));
}

TEST(VmProviders, FindsARealQemuProcessByItsExecutableUnlessItsPidIsClaimed) {
  namespace fs = std::filesystem;
  test::TempDir dir;
  const std::string app = dir / "My Machines.app/Contents/MacOS";
  fs::create_directories(app);
  const std::string qemu = app + "/qemu-system-x86_64";
  fs::copy_file("/bin/sleep", qemu);
  fs::permissions(qemu, fs::perms::owner_all);
  test::ChildProcess machine(qemu, {"60"});
  ASSERT_TRUE(test::waitForExecutable(machine.pid(), qemu));

  const ProcessTable table = ProcessTable::sample(ToolRunner());
  const auto found = [&](const Answer& answer) -> const Resource* {
    for (const Resource& r : answer.resources) {
      if (r.pid == machine.pid()) return &r;
    }
    return nullptr;
  };
  const Answer answer = unclaimed(table, {});
  const Resource* vm = found(answer);
  ASSERT_NE(vm, nullptr);
  EXPECT_EQ(vm->id, "vmproc:" + std::to_string(machine.pid()));
  EXPECT_EQ(vm->detail, "QEMU");
  EXPECT_EQ(vm->provider, "QEMU VM");
  EXPECT_EQ(vm->keywords, std::vector<std::string>{"qemu"});
  EXPECT_GT(vm->started, table.date - 60);
  EXPECT_GT(vm->memory, 0);
  EXPECT_EQ(answer.provider->name, "QEMU VM");

  EXPECT_EQ(found(unclaimed(table, {machine.pid()})), nullptr);

  // The same command where the executable cannot be read: the name is the first word's,
  // "My", and the process is no machine.
  ProcessEntry unreadable = table.byPID.at(machine.pid());
  unreadable.pid = base + 60;
  EXPECT_EQ(unreadable.name(), "My");
  EXPECT_TRUE(unclaimed(ProcessTable(table.date, {unreadable}), {}).resources.empty());
}

}  // namespace

void PrintTo(const Resource& r, std::ostream* out) { *out << describe(r); }

}  // namespace tessel
