// The providers besides Docker: each asks one container engine or hypervisor through its
// own command-line tool, all in one shared pattern; then the virtual machines that none
// of them claims are picked out of the process table.
#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "environments/environments.h"
#include "environments/shell.h"
#include "util/json_object.h"
#include "util/path.h"
#include "util/text.h"

namespace tessel::Environments {
namespace {

using nlohmann::json;

// One container or machine as its tool lists it, running or not.
struct Item {
  std::string id;  // the engine's own identifier: id suffix, stop argument, host-process key
  std::string name{};
  std::string state{};
  bool isRunning = false;
  std::string detail{};
  std::optional<std::string> group{};
  std::optional<Date> started{};
};

enum class Layout {
  jsonArray,  // an array of objects
  jsonLines,  // one object per line
  jsonList,   // an object whose "list" member is the array
  text,       // one item per line
};

// How a machine's host process shows its identifier on its command line.
enum class KeyMatch {
  anywhere,  // uuids and paths, ignoring case
  word,      // names: they also occur inside paths and longer names, so only a whole word counts
};

struct HostProcess {
  // Exact process names, or prefixes followed by "*"; none when the member has no host
  // process in this machine's table.
  std::vector<std::string_view> names{};
  KeyMatch match = KeyMatch::anywhere;
  std::string_view alsoWord{};  // a word the command line must hold as well
};

struct Member {
  std::string displayName;
  std::string tool;
  std::vector<std::string> list;
  double timeoutSeconds = 6;
  Layout layout = Layout::jsonArray;
  std::optional<Item> (*readObject)(const json& object) = nullptr;
  std::optional<Item> (*readLine)(std::string_view line) = nullptr;
  std::string prefix;
  Resource::Kind kind = Resource::Kind::vm;
  std::vector<std::string> stop;  // the item's identifier follows these words
  std::vector<std::string> stopAfter{};
  std::vector<std::string> keywords;
  HostProcess host{};
  // Whether the engine counts as running whenever its tool answers; otherwise only
  // while it runs something.
  bool isRunningWhenListed = false;
  std::optional<std::string> (*note)(const std::vector<Item>& listed) = nullptr;
};

// Takes the first word off `rest`, leaving `rest` at the word after it.
std::string_view nextWord(std::string_view& rest) {
  constexpr std::string_view blanks = " \t";
  rest = rest.substr(std::min(rest.size(), rest.find_first_not_of(blanks)));
  const size_t end = std::min(rest.size(), rest.find_first_of(blanks));
  const std::string_view word = rest.substr(0, end);
  rest = rest.substr(std::min(rest.size(), rest.find_first_not_of(blanks, end)));
  return word;
}

bool hasWord(std::string_view text, std::string_view word) {
  while (!text.empty()) {
    if (nextWord(text) == word) return true;
  }
  return false;
}

bool containsIgnoringCase(std::string_view text, std::string_view part) {
  const auto same = [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  };
  return std::search(text.begin(), text.end(), part.begin(), part.end(), same) != text.end();
}

std::string_view stem(std::string_view pattern) {
  return pattern.ends_with('*') ? pattern.substr(0, pattern.size() - 1) : pattern;
}

bool matchesAny(std::string_view name, std::span<const std::string_view> patterns) {
  return std::any_of(patterns.begin(), patterns.end(), [name](std::string_view pattern) {
    return pattern.ends_with('*') ? name.starts_with(stem(pattern)) : name == pattern;
  });
}

// Whether the process is named as one of `patterns`, by the name the process table gives
// it: its executable's, or the first word's when the executable cannot be read. Reading
// the command line alone would be cheaper but wrong both ways: a program whose path has
// blanks shows only the path's first word, and a wrapper can name a program it only
// passes along.
bool isNamed(const ProcessEntry& entry, std::span<const std::string_view> patterns) {
  return matchesAny(entry.name(), patterns);
}

// The host process of the machine `key`, the lowest pid when several qualify.
const ProcessEntry* hostProcess(const ProcessTable& processes, const HostProcess& host,
                                std::string_view key) {
  // Parallels lists uuids with or without braces, and its processes carry either form.
  if (key.size() > 2 && key.front() == '{' && key.back() == '}') {
    key = key.substr(1, key.size() - 2);
  }
  if (key.empty()) return nullptr;
  const ProcessEntry* found = nullptr;
  for (const auto& [pid, entry] : processes.byPID) {
    // The text tests come first: they rule out nearly every process before its name costs
    // a system call.
    const bool hasKey = host.match == KeyMatch::word ? hasWord(entry.command, key)
                                                     : containsIgnoringCase(entry.command, key);
    if (!hasKey || (!host.alsoWord.empty() && !hasWord(entry.command, host.alsoWord))) continue;
    if (found != nullptr && found->pid < pid) continue;
    if (isNamed(entry, host.names)) found = &entry;
  }
  return found;
}

std::vector<Item> items(const Member& member, std::string_view out) {
  std::vector<Item> listed;
  const auto read = [&](const json& object) {
    if (!object.is_object()) return;
    if (auto item = member.readObject(object)) listed.push_back(std::move(*item));
  };
  const auto readArray = [&](const json& array) {
    if (!array.is_array()) return;
    for (const json& object : array) read(object);
  };
  switch (member.layout) {
    case Layout::jsonArray:
      readArray(Json::parse(out));
      break;
    case Layout::jsonLines:
      for (const std::string_view line : Text::nonEmptyLines(out)) read(Json::parse(line));
      break;
    case Layout::jsonList:
      if (const json document = Json::parse(out); document.is_object()) {
        if (const auto list = document.find("list"); list != document.end()) readArray(*list);
      }
      break;
    case Layout::text:
      for (const std::string_view line : Text::nonEmptyLines(out)) {
        if (auto item = member.readLine(line)) listed.push_back(std::move(*item));
      }
      break;
  }
  return listed;
}

Resource resource(const Member& member, const Item& item, const ProcessTable& processes) {
  std::vector<std::string> stop = member.stop;
  stop.push_back(item.id);
  stop.insert(stop.end(), member.stopAfter.begin(), member.stopAfter.end());
  std::vector<std::string> keywords = member.keywords;
  keywords.push_back(item.name);
  if (item.group) keywords.push_back(*item.group);
  Resource made{.id = member.prefix + item.id,
                .kind = member.kind,
                .name = item.name,
                .detail = item.detail,
                .provider = member.displayName,
                .group = item.group,
                .state = item.state,
                .started = item.started,
                .stop = std::move(stop),
                .keywords = std::move(keywords)};
  if (member.host.names.empty()) return made;
  if (const ProcessEntry* host = hostProcess(processes, member.host, item.id)) {
    made.pid = host->pid;
    made.cpu = host->cpu;
    made.memory = host->memory;
    made.started = host->started;
  }
  return made;
}

Answer ask(const ToolRunner& tools, const Member& member, const ProcessTable& processes) {
  const auto tool = tools.find(member.tool);
  if (!tool) return {};
  const Shell::Result result = tools.run(*tool, member.list, member.timeoutSeconds);
  if (!result.ok()) {
    return Answer{.provider = Provider{.name = member.displayName, .isInstalled = true}};
  }
  const std::vector<Item> listed = items(member, result.out);
  Answer answer;
  for (const Item& item : listed) {
    if (item.isRunning) answer.resources.push_back(resource(member, item, processes));
  }
  answer.provider = Provider{
      .name = member.displayName,
      .isInstalled = true,
      .isRunning = member.isRunningWhenListed || !answer.resources.empty(),
      .count = static_cast<int>(answer.resources.size()),
      .note = member.note != nullptr ? member.note(listed) : std::nullopt,
  };
  return answer;
}

std::optional<Item> readPodman(const json& container) {
  const auto id = Json::stringAt(container, "Id");
  if (!id || id->empty()) return std::nullopt;
  // Without "--all", `ps` lists only the containers that run.
  Item item{.id = *id,
            .name = id->substr(0, 12),
            .state = Json::stringAt(container, "State").value_or("running"),
            .isRunning = true,
            .detail = shortImage(Json::stringAt(container, "Image").value_or(""))};
  if (const auto names = container.find("Names"); names != container.end() && names->is_array() &&
                                                  !names->empty() && names->front().is_string()) {
    item.name = names->front().get<std::string>();
  }
  if (const auto labels = container.find("Labels");
      labels != container.end() && labels->is_object()) {
    item.group = Json::stringAt(*labels, "com.docker.compose.project");
    if (!item.group) item.group = Json::stringAt(*labels, "io.podman.compose.project");
  }
  // A container that never started says 0 (or Go's zero time, far before 1970).
  if (const auto started = Json::numberAt(container, "StartedAt"); started && *started > 0) {
    item.started = Date(*started);
  }
  return item;
}

std::optional<Item> readParallels(const json& machine) {
  const auto uuid = Json::stringAt(machine, "uuid");
  if (!uuid || uuid->empty()) return std::nullopt;
  const std::string status = Json::stringAt(machine, "status").value_or("");
  return Item{.id = *uuid,
              .name = Json::stringAt(machine, "name").value_or(*uuid),
              .state = status,
              .isRunning = status == "running" || status == "paused" || status == "suspending",
              .detail = "Parallels"};
}

std::optional<std::string> machinesSetUp(const std::vector<Item>& listed) {
  return std::to_string(listed.size()) + (listed.size() == 1 ? " VM" : " VMs") + " set up";
}

// "<UUID> <status> <name>", under a "UUID Status Name" header; names may hold blanks.
std::optional<Item> readUTM(std::string_view line) {
  std::string_view rest = Text::trimmed(line);
  const std::string_view uuid = nextWord(rest);
  const std::string_view status = nextWord(rest);
  if (status.empty() || uuid == "UUID") return std::nullopt;
  return Item{.id = std::string(uuid),
              .name = std::string(rest.empty() ? uuid : rest),
              .state = std::string(status),
              .isRunning = status == "started" || status == "paused",
              .detail = "UTM"};
}

// Under a "Total running VMs: N" line, the path of each running machine's .vmx file.
std::optional<Item> readVMware(std::string_view line) {
  const std::string_view path = Text::trimmed(line);
  if (!path.ends_with(".vmx")) return std::nullopt;
  const std::string_view file = Path::lastComponent(path);
  return Item{.id = std::string(path),
              .name = std::string(file.substr(0, file.size() - 4)),
              .state = "running",
              .isRunning = true};
}

// "\"name\" {uuid}"; the name may hold blanks, quotes and braces itself.
std::optional<Item> readVirtualBox(std::string_view line) {
  line = Text::trimmed(line);
  const size_t open = line.rfind('{');
  if (!line.ends_with('}') || open == std::string_view::npos || open + 2 >= line.size()) {
    return std::nullopt;
  }
  std::string_view name = Text::trimmed(line.substr(0, open));
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
    name = name.substr(1, name.size() - 2);
  }
  return Item{.id = std::string(line.substr(open + 1, line.size() - open - 2)),
              .name = std::string(name),
              .state = "running",
              .isRunning = true};
}

// An item named by its "name" member, running while `stateKey` says `runningState`.
std::optional<Item> namedItem(const json& object, const std::optional<std::string>& name,
                              const char* stateKey, std::string_view runningState) {
  if (!name || name->empty()) return std::nullopt;
  const std::string state = Json::stringAt(object, stateKey).value_or("");
  return Item{.id = *name, .name = *name, .state = state, .isRunning = state == runningState};
}

std::optional<Item> readLima(const json& instance) {
  auto item = namedItem(instance, Json::stringAt(instance, "name"), "status", "Running");
  if (item) item->detail = "Lima";
  return item;
}

std::optional<Item> readColima(const json& instance) {
  auto item = namedItem(instance, Json::stringAt(instance, "name"), "status", "Running");
  if (!item) return item;
  // Colima names the runtime only while the instance runs.
  const auto runtime = Json::stringAt(instance, "runtime");
  item->detail = runtime ? "Colima (" + *runtime + ")" : "Colima";
  return item;
}

std::optional<Item> readMultipass(const json& instance) {
  auto item = namedItem(instance, Json::stringAt(instance, "name"), "state", "Running");
  if (item) item->detail = Json::stringAt(instance, "release").value_or("");
  return item;
}

std::optional<Item> readTart(const json& machine) {
  auto name = Json::stringAt(machine, "Name");
  if (!name) name = Json::stringAt(machine, "name");
  auto item = namedItem(machine, name, "State", "running");
  if (item) item->detail = "Tart";
  return item;
}

std::optional<Item> readOrbStack(const json& machine) {
  auto item = namedItem(machine, Json::stringAt(machine, "name"), "state", "running");
  if (item) item->detail = "OrbStack machine";
  return item;
}

std::optional<Item> readAppleContainer(const json& container) {
  const auto configuration = container.find("configuration");
  if (configuration == container.end() || !configuration->is_object()) return std::nullopt;
  const auto id = Json::stringAt(*configuration, "id");
  if (!id || id->empty()) return std::nullopt;
  std::string reference;
  if (const auto image = configuration->find("image");
      image != configuration->end() && image->is_object()) {
    reference = Json::stringAt(*image, "reference").value_or("");
  }
  // A bare word so far; later versions are said to wrap it as {"state": ...}.
  std::string status;
  if (const auto found = container.find("status"); found != container.end()) {
    if (found->is_string()) status = found->get<std::string>();
    if (found->is_object()) status = Json::stringAt(*found, "state").value_or("");
  }
  return Item{.id = *id,
              .name = *id,
              .state = status,
              .isRunning = status == "running",
              .detail = shortImage(reference)};
}

constexpr std::string_view qemuNames[] = {"qemu-system*"};
constexpr std::string_view appleVirtualizationNames[] = {"com.apple.Virtualization.VirtualMachine"};
constexpr std::string_view dockerDesktopNames[] = {"com.docker.virtualization"};
constexpr std::string_view orbStackNames[] = {"OrbStack Helper", "OrbStack"};
constexpr std::string_view utmNames[] = {"UTM"};

}  // namespace

Answer podman(Context& context, const ProcessTable& processes) {
  static const Member member{.displayName = "Podman",
                             .tool = "podman",
                             .list = {"ps", "--format", "json"},
                             .readObject = readPodman,
                             .prefix = "podman:",
                             .kind = Resource::Kind::container,
                             .stop = {"podman", "stop"},
                             .keywords = {"podman", "compose"},
                             .isRunningWhenListed = true};
  return ask(context.tools(), member, processes);
}

Answer parallels(Context& context, const ProcessTable& processes) {
  static const Member member{.displayName = "Parallels Desktop",
                             .tool = "prlctl",
                             .list = {"list", "-a", "-j"},
                             .readObject = readParallels,
                             .prefix = "parallels:",
                             .stop = {"prlctl", "suspend"},
                             .keywords = {"parallels", "prl_"},
                             .host = {.names = {"prl_vm_app"}},
                             .note = machinesSetUp};
  return ask(context.tools(), member, processes);
}

Answer utm(Context& context, const ProcessTable& processes) {
  // UTM runs each QEMU machine in a QEMULauncher process (a plain qemu-system-* one in
  // older builds) and hands it "-uuid <UUID>". Machines on Apple's Virtualization
  // framework run in a system process whose command line names no machine, so they
  // get no host process here.
  static const Member member{.displayName = "UTM",
                             .tool = "utmctl",
                             .list = {"list"},
                             .layout = Layout::text,
                             .readLine = readUTM,
                             .prefix = "utm:",
                             .stop = {"utmctl", "suspend"},
                             .keywords = {"utm"},
                             .host = {.names = {"QEMULauncher", "qemu-system*"}}};
  return ask(context.tools(), member, processes);
}

Answer vmware(Context& context, const ProcessTable& processes) {
  static const Member member{.displayName = "VMware Fusion",
                             .tool = "vmrun",
                             .list = {"list"},
                             .layout = Layout::text,
                             .readLine = readVMware,
                             .prefix = "vmware:",
                             .stop = {"vmrun", "suspend"},
                             .keywords = {"vmware"},
                             .host = {.names = {"vmware-vmx"}}};
  return ask(context.tools(), member, processes);
}

Answer virtualbox(Context& context, const ProcessTable& processes) {
  static const Member member{.displayName = "VirtualBox",
                             .tool = "VBoxManage",
                             .list = {"list", "runningvms"},
                             .layout = Layout::text,
                             .readLine = readVirtualBox,
                             .prefix = "vbox:",
                             .stop = {"VBoxManage", "controlvm"},
                             .stopAfter = {"savestate"},
                             .keywords = {"vboxmanage", "virtualbox", "vagrant"},
                             .host = {.names = {"VBoxHeadless", "VirtualBoxVM"}}};
  return ask(context.tools(), member, processes);
}

Answer lima(Context& context, const ProcessTable& processes) {
  // Each running instance has a "limactl hostagent --pidfile <dir>/ha.pid ... <name>"
  // process, which also starts the instance's QEMU, if any. The name must stand as a word:
  // it also occurs inside the paths of its own arguments, and inside other instances'
  // names ("default" in "default-arm").
  static const Member member{
      .displayName = "Lima",
      .tool = "limactl",
      .list = {"list", "--json"},
      .layout = Layout::jsonLines,
      .readObject = readLima,
      .prefix = "lima:",
      .stop = {"limactl", "stop"},
      .keywords = {"lima"},
      .host = {.names = {"limactl"}, .match = KeyMatch::word, .alsoWord = "hostagent"}};
  return ask(context.tools(), member, processes);
}

Answer colima(Context& context, const ProcessTable& processes) {
  static const Member member{.displayName = "Colima",
                             .tool = "colima",
                             .list = {"list", "--json"},
                             .layout = Layout::jsonLines,
                             .readObject = readColima,
                             .prefix = "colima:",
                             .stop = {"colima", "stop", "-p"},
                             .keywords = {"colima"}};
  return ask(context.tools(), member, processes);
}

Answer multipass(Context& context, const ProcessTable& processes) {
  static const Member member{.displayName = "Multipass",
                             .tool = "multipass",
                             .list = {"list", "--format", "json"},
                             .timeoutSeconds = 8,
                             .layout = Layout::jsonList,
                             .readObject = readMultipass,
                             .prefix = "Multipass:",
                             .stop = {"multipass", "suspend"},
                             .keywords = {"multipass"}};
  return ask(context.tools(), member, processes);
}

Answer tart(Context& context, const ProcessTable& processes) {
  // "tart run <name>" hosts the machine; a name may also begin another one's.
  static const Member member{.displayName = "Tart",
                             .tool = "tart",
                             .list = {"list", "--format", "json"},
                             .readObject = readTart,
                             .prefix = "tart:",
                             .stop = {"tart", "stop"},
                             .keywords = {"tart"},
                             .host = {.names = {"tart"}, .match = KeyMatch::word}};
  return ask(context.tools(), member, processes);
}

Answer orbstack(Context& context, const ProcessTable& processes) {
  static const Member member{.displayName = "OrbStack",
                             .tool = "orbctl",
                             .list = {"list", "--format", "json"},
                             .readObject = readOrbStack,
                             .prefix = "orb:",
                             .stop = {"orbctl", "stop"},
                             .keywords = {"orb"},
                             .isRunningWhenListed = true};
  return ask(context.tools(), member, processes);
}

Answer appleContainer(Context& context, const ProcessTable& processes) {
  static const Member member{.displayName = "Apple container",
                             .tool = "container",
                             .list = {"list", "--format", "json"},
                             .readObject = readAppleContainer,
                             .prefix = "container:",
                             .kind = Resource::Kind::container,
                             .stop = {"container", "stop"},
                             .keywords = {"container"},
                             .isRunningWhenListed = true};
  return ask(context.tools(), member, processes);
}

Answer unclaimedVMs(Context& context, const ProcessTable& processes,
                    const std::unordered_set<int32_t>& claimed,
                    const std::vector<Provider>& providers, Date now) {
  std::vector<const ProcessEntry*> entries;
  entries.reserve(processes.byPID.size());
  for (const auto& [pid, entry] : processes.byPID) entries.push_back(&entry);
  std::sort(entries.begin(), entries.end(),
            [](const ProcessEntry* a, const ProcessEntry* b) { return a->pid < b->pid; });

  bool hasDockerDesktop = false;
  bool hasOrbStack = false;
  bool hasUTM = false;
  std::vector<std::pair<const ProcessEntry*, bool>> candidates;  // entry, whether QEMU
  // One name per process, one system call each: about a millisecond for 500 processes.
  for (const ProcessEntry* entry : entries) {
    const std::string name = entry->name();
    hasDockerDesktop = hasDockerDesktop || matchesAny(name, dockerDesktopNames);
    hasOrbStack = hasOrbStack || matchesAny(name, orbStackNames);
    hasUTM = hasUTM || matchesAny(name, utmNames);
    // A claimed parent hosts the machine: Lima's host agent starts its instance's QEMU.
    if (claimed.contains(entry->pid) || (entry->ppid > 1 && claimed.contains(entry->ppid))) {
      continue;
    }
    if (matchesAny(name, qemuNames)) {
      candidates.emplace_back(entry, true);
    } else if (matchesAny(name, appleVirtualizationNames)) {
      candidates.emplace_back(entry, false);
    }
  }

  // Docker Desktop and OrbStack each run one machine, UTM any number, all three on Apple's
  // Virtualization framework; the earliest such process goes to Docker Desktop, the next
  // to OrbStack. A QEMU process is never theirs.
  bool isDockerDesktopPlaced = !hasDockerDesktop;
  bool isOrbStackPlaced = !hasOrbStack;
  int number = 0;
  Answer answer;
  for (const auto& [entry, isQEMU] : candidates) {
    Resource machine{.id = "vmproc:" + std::to_string(entry->pid),
                     .kind = Resource::Kind::vm,
                     .detail = isQEMU ? "QEMU" : "Apple Virtualization",
                     .state = "running",
                     .memory = entry->memory,
                     .cpu = entry->cpu,
                     .started = entry->started,
                     .pid = entry->pid};
    if (!isQEMU && !isDockerDesktopPlaced) {
      isDockerDesktopPlaced = true;
      machine.name = "Docker Desktop VM";
      machine.detail = "Linux · Docker’s containers";
      machine.provider = "Docker";
      machine.cores = dockerCPUs(context, now);
    } else if (!isQEMU && !isOrbStackPlaced) {
      isOrbStackPlaced = true;
      machine.name = "OrbStack machine";
      machine.provider = "OrbStack";
    } else {
      machine.name = "Virtual machine " + std::to_string(++number);
      if (isQEMU) {
        machine.provider = "QEMU VM";
        machine.keywords = {"qemu"};
      } else {
        machine.provider = hasUTM ? "UTM" : "Virtual machines";
      }
    }
    answer.resources.push_back(std::move(machine));
  }

  // The machines whose provider the scan has not listed are shown under one more: their
  // own provider's name when they share one, "Virtual machines" when they do not.
  std::optional<std::string> extra;
  int unaccounted = 0;
  for (const Resource& machine : answer.resources) {
    const bool isListed = std::any_of(providers.begin(), providers.end(), [&](const Provider& p) {
      return p.name == machine.provider;
    });
    if (isListed) continue;
    ++unaccounted;
    extra = !extra || *extra == machine.provider ? machine.provider : "Virtual machines";
  }
  if (extra) {
    answer.provider =
        Provider{.name = *extra, .isInstalled = true, .isRunning = true, .count = unaccounted};
  }
  return answer;
}

}  // namespace tessel::Environments
