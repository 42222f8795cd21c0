// The Docker provider, and the answers it keeps in the scan's context: start dates of
// containers, Docker's CPU count and DevPod's workspaces.
#include <charconv>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "environments/environments.h"
#include "environments/shell.h"
#include "hook/container_hook.h"
#include "util/calendar.h"
#include "util/json_object.h"
#include "util/text.h"

namespace tessel::Environments {
namespace {

// A decimal count and nothing else (blanks around it aside).
std::optional<int> parseCount(std::string_view text) {
  text = Text::trimmed(text);
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0) {
    return std::nullopt;
  }
  return value;
}

std::map<std::string, Workspace> parseWorkspaces(const std::string& text) {
  std::map<std::string, Workspace> workspaces;
  const auto list = Json::parse(text);
  if (!list.is_array()) return workspaces;
  for (const auto& item : list) {
    if (!item.is_object()) continue;
    const auto id = Json::stringAt(item, "id");
    if (!id) continue;
    Workspace workspace{.name = id};
    if (const auto source = item.find("source"); source != item.end() && source->is_object()) {
      workspace.folder = Json::stringAt(*source, "localFolder");
    }
    // Containers name their workspace by id or by uid, depending on DevPod's version.
    if (const auto uid = Json::stringAt(item, "uid")) workspaces[*uid] = workspace;
    workspaces[*id] = std::move(workspace);
  }
  return workspaces;
}

// Docker prints one JSON object per line; a line that is anything else is skipped.
std::vector<nlohmann::json> objectLines(std::string_view text) {
  std::vector<nlohmann::json> objects;
  for (const std::string_view line : Text::nonEmptyLines(text)) {
    auto value = Json::parse(line);
    if (value.is_object()) objects.push_back(std::move(value));
  }
  return objects;
}

// The whole of `text` as a number, or nothing.
std::optional<double> number(std::string_view text) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

struct Usage {
  double cpu = 0;      // percent of one core
  int64_t memory = 0;  // bytes
};
using UsageByID = std::unordered_map<std::string, Usage>;

// `docker stats` lines: "CPUPerc" "12.34%", "MemUsage" "1.5GiB / 7.6GiB".
UsageByID parseStats(std::string_view output) {
  UsageByID usage;
  for (const auto& line : objectLines(output)) {
    // "Container" is only the short id, but older engines may not send "ID".
    std::string id = Json::stringAt(line, "ID")
                         .value_or(Json::stringAt(line, "Container").value_or(std::string()));
    std::string percent = Json::stringAt(line, "CPUPerc").value_or(std::string());
    std::erase(percent, '%');
    const std::string memory = Json::stringAt(line, "MemUsage").value_or(std::string());
    usage[std::move(id)] =
        Usage{.cpu = number(percent).value_or(0),
              .memory = bytes(std::string_view(memory).substr(0, memory.find('/')))};
  }
  return usage;
}

// `docker stats` takes seconds, so scans in between keep the figures of the last one.
UsageByID carriedOver(const EnvironmentScan& previous) {
  constexpr std::string_view prefix = "docker:";
  UsageByID usage;
  for (const auto& resource : previous.resources) {
    if (resource.provider != "Docker" || !resource.id.starts_with(prefix)) continue;
    usage[resource.id.substr(prefix.size())] =
        Usage{.cpu = resource.cpu.value_or(0), .memory = resource.memory.value_or(0)};
  }
  return usage;
}

// Asks `docker inspect` for the start dates of containers seen for the first time. The
// command runs without the cache's lock, so a slow engine never holds up other scans.
void learnStartDates(Context& context, const std::string& docker,
                     const std::vector<nlohmann::json>& containers) {
  std::vector<std::string> arguments = {"inspect", "--format", "{{.Id}} {{.State.StartedAt}}"};
  std::unordered_set<std::string> asked;
  for (const auto& container : containers) {
    const auto id = Json::stringAt(container, "ID");
    if (!id || context.startDates().get(*id) || !asked.insert(*id).second) continue;
    arguments.push_back(*id);
  }
  if (asked.empty()) return;
  const Shell::Result result = context.tools().run(docker, arguments, 8);
  if (!result.ok()) return;
  for (const std::string_view line : Text::nonEmptyLines(result.out)) {
    const size_t space = line.find(' ');
    if (space == std::string_view::npos) continue;
    if (const auto started = Calendar::rfc3339(line.substr(space + 1))) {
      context.startDates().put(std::string(line.substr(0, space)), *started);
    }
  }
}

// How many Claude Code processes `docker top` lists; nothing when it cannot say.
std::optional<int> claudeProcesses(const ToolRunner& tools, const std::string& docker,
                                   const std::string& id) {
  const Shell::Result result = tools.run(docker, {"top", id, "-eo", "pid,args"}, 5);
  if (!result.ok()) return std::nullopt;
  const auto lines = Text::nonEmptyLines(result.out);
  int count = 0;
  // The first line holds the column titles.
  for (size_t index = 1; index < lines.size(); ++index) {
    if (isClaudeCommand(lines[index])) ++count;
  }
  return count;
}

// Words in an agent's commands that point at containers, whichever container it is.
constexpr std::string_view containerKeywords[] = {
    "docker",   "compose", "supabase", "devcontainer", "kind",
    "minikube", "tilt",    "act",      "localstack",
};

Resource containerResource(Context& context, const std::string& docker, const std::string& id,
                           const nlohmann::json& line, const UsageByID& usage,
                           std::optional<int> cores, Date now) {
  const auto labels = parseLabels(Json::stringAt(line, "Labels").value_or(std::string()));
  const std::string name = Json::stringAt(line, "Names").value_or(id.substr(0, 12));
  Resource resource{
      .id = "docker:" + id,
      .kind = Resource::Kind::container,
      .name = name,
      .detail = shortImage(Json::stringAt(line, "Image").value_or(std::string())),
      .provider = "Docker",
      .state = Json::stringAt(line, "State").value_or("running"),
      .cores = cores,
      .ports = publishedPorts(Json::stringAt(line, "Ports").value_or(std::string())),
      .stop = std::vector<std::string>{"docker", "stop", id},
  };
  if (const auto project = labels.find("com.docker.compose.project"); project != labels.end()) {
    resource.group = project->second;
  }
  // Figures an older engine gave under the short id count for the full one.
  auto found = usage.find(id);
  if (found == usage.end()) found = usage.find(id.substr(0, 12));
  if (found != usage.end()) {
    resource.cpu = found->second.cpu;
    resource.memory = found->second.memory;
  }
  resource.started = context.startDates().get(id);
  if (!resource.started) resource.started = dockerDate(Json::stringAt(line, "CreatedAt"));

  resource.keywords.assign(std::begin(containerKeywords), std::end(containerKeywords));
  resource.keywords.push_back(name);
  if (resource.group) resource.keywords.push_back(*resource.group);

  resource.devContainer = devContainer(labels, context, now);
  if (auto& dev = resource.devContainer) {
    if (dev->folder) {
      dev->hookInstalled = ContainerHook::isInstalled(*dev->folder);
      // Only a project with our hook has sessions worth counting inside the container.
      if (dev->hookInstalled) dev->claudeProcesses = claudeProcesses(context.tools(), docker, id);
    }
    resource.keywords.emplace_back("devpod");
    if (dev->name) {
      resource.name = *dev->name;
      resource.keywords.push_back(*dev->name);
    }
  }
  return resource;
}

}  // namespace

Answer docker(Context& context, const ProcessTable& /*processes*/, bool withStats,
              const EnvironmentScan* previous, Date now) {
  const ToolRunner& tools = context.tools();
  std::error_code error;
  const bool hasApplication = std::filesystem::exists(context.dockerApplication(), error);
  const auto tool = tools.find("docker");
  if (!tool) {
    if (!hasApplication) return {};
    return Answer{
        .provider =
            Provider{.name = "Docker", .isInstalled = true, .note = "Command-line tool not found"}};
  }
  const Shell::Result listing = tools.run(*tool, {"ps", "--no-trunc", "--format", "{{json .}}"}, 6);
  // The engine is stopped (or hung): Docker is there, its containers are unknown.
  if (!listing.ok()) return Answer{.provider = Provider{.name = "Docker", .isInstalled = true}};

  const std::optional<int> cores = dockerCPUs(context, now);
  UsageByID usage;
  if (withStats) {
    const Shell::Result stats =
        tools.run(*tool, {"stats", "--no-stream", "--no-trunc", "--format", "{{json .}}"}, 10);
    if (stats.ok()) usage = parseStats(stats.out);
  } else if (previous != nullptr) {
    usage = carriedOver(*previous);
  }

  const auto containers = objectLines(listing.out);
  learnStartDates(context, *tool, containers);
  Answer answer;
  for (const auto& container : containers) {
    // Without an id a container can be neither told apart from others nor stopped.
    const auto id = Json::stringAt(container, "ID");
    if (!id) continue;
    answer.resources.push_back(
        containerResource(context, *tool, *id, container, usage, cores, now));
  }
  answer.provider = Provider{.name = "Docker",
                             .isInstalled = true,
                             .isRunning = true,
                             .count = static_cast<int>(answer.resources.size())};
  return answer;
}

std::optional<int> dockerCPUs(Context& context, Date now) {
  return context.cpuCount().get(now, [&context]() -> std::optional<int> {
    const auto result = context.tools().tool("docker", {"info", "--format", "{{.NCPU}}"}, 6);
    if (!result || !result->ok()) return std::nullopt;
    return parseCount(result->out);
  });
}

std::map<std::string, Workspace> devPodWorkspaces(Context& context, Date now) {
  return context.workspaces().get(now, [&context]() -> std::map<std::string, Workspace> {
    const auto result = context.tools().tool("devpod", {"list", "--output", "json"}, 8);
    if (!result || !result->ok()) return {};
    return parseWorkspaces(result->out);
  });
}

}  // namespace tessel::Environments
