// The volume scan joins three views of the engine: `system df` (names, sizes, labels),
// `volume inspect` (creation dates, exact labels, drivers) and the containers' mounts.
#include "environments/volumes.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>
#include <utility>

#include "environments/environments.h"
#include "util/calendar.h"
#include "util/json_object.h"
#include "util/text.h"

namespace tessel {
namespace {

constexpr const char* notInstalled = "Docker isn’t installed.";
constexpr const char* notRunning = "Docker isn’t running.";

// Seconds each command may take: `system df` sums every volume's files on disk.
constexpr double diskUsageTimeout = 60;
constexpr double volumeInspectTimeout = 20;
constexpr double containerListTimeout = 10;
constexpr double containerInspectTimeout = 30;
constexpr double removalTimeout = 60;

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The member `key` of `object` when it has the JSON type `type`; null otherwise.
const nlohmann::json* memberOfType(const nlohmann::json& object, const char* key,
                                   nlohmann::json::value_t type) {
  if (!object.is_object()) return nullptr;
  const auto found = object.find(key);
  if (found == object.end() || found->type() != type) return nullptr;
  return &*found;
}

const nlohmann::json* objectAt(const nlohmann::json& object, const char* key) {
  return memberOfType(object, key, nlohmann::json::value_t::object);
}

const nlohmann::json* arrayAt(const nlohmann::json& object, const char* key) {
  return memberOfType(object, key, nlohmann::json::value_t::array);
}

// The engine writes year 1 for "never"; nothing of ours happened before 1970.
std::optional<Date> eventDate(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  const auto date = Calendar::rfc3339(*text);
  if (!date || *date <= Date(0)) return std::nullopt;
  return date;
}

void keepLatest(std::optional<Date>& latest, const std::optional<Date>& date) {
  if (date && (!latest || *date > *latest)) latest = date;
}

std::vector<std::string> withArguments(std::vector<std::string> command,
                                       const std::vector<std::string>& more) {
  command.insert(command.end(), more.begin(), more.end());
  return command;
}

// Every container's users by volume name; empty when the containers cannot be read,
// which leaves every volume looking unused rather than failing the scan.
std::map<std::string, std::vector<ContainerVolume::User>> containerUsers(
    const ToolRunner& tools, const std::string& docker) {
  const auto listing = tools.run(docker, {"ps", "-aq", "--no-trunc"}, containerListTimeout);
  if (!listing.ok()) return {};
  std::vector<std::string> ids;
  for (const auto line : Text::nonEmptyLines(listing.out)) {
    const auto id = Text::trimmed(line);
    if (!id.empty()) ids.emplace_back(id);
  }
  if (ids.empty()) return {};
  const auto inspect = tools.run(docker, withArguments({"inspect"}, ids), containerInspectTimeout);
  if (!inspect.ok()) return {};
  return Volumes::parseContainerMounts(inspect.out);
}

}  // namespace

std::string ContainerVolume::id() const { return provider + ":" + name; }

ContainerVolume::Use ContainerVolume::use() const {
  if (users.empty()) return Use::unused;
  const bool anyRunning =
      std::any_of(users.begin(), users.end(), [](const User& user) { return user.isRunning; });
  return anyRunning ? Use::running : Use::stopped;
}

bool ContainerVolume::isAnonymous() const {
  if (labels.count("com.docker.volume.anonymous") > 0) return true;
  // Engines before labelling anonymous volumes still named them with 64 random hex digits.
  return name.size() == 64 && std::all_of(name.begin(), name.end(), isHexDigit);
}

std::optional<std::string> ContainerVolume::project() const {
  const auto found = labels.find("com.docker.compose.project");
  if (found == labels.end() || found->second.empty()) return std::nullopt;
  return found->second;
}

std::string ContainerVolume::displayName() const {
  if (isAnonymous()) return std::string(Text::prefixCodePoints(name, 12));
  const auto composed = labels.find("com.docker.compose.volume");
  if (composed != labels.end() && !composed->second.empty()) return composed->second;
  return name;
}

// A volume held by a running container is in use now. Otherwise it was last used when
// its last user stopped or when the Monitor last saw it in use, whichever is later;
// only without either does the last sign of life count: a user's start, or failing
// all users, the volume's creation.
std::optional<Date> ContainerVolume::lastUsed(Date now) const {
  if (use() == Use::running) return now;
  std::optional<Date> latest = lastSeenInUse;
  for (const auto& user : users) keepLatest(latest, user.finished);
  if (latest) return latest;
  for (const auto& user : users) keepLatest(latest, user.started);
  keepLatest(latest, created);
  return latest;
}

namespace Volumes {

std::vector<ContainerVolume> parseDiskUsage(std::string_view output) {
  std::vector<ContainerVolume> volumes;
  const auto usage = Json::parse(output);
  const auto* list = arrayAt(usage, "Volumes");
  if (list == nullptr) return volumes;
  for (const auto& item : *list) {
    if (!item.is_object()) continue;
    auto name = Json::stringAt(item, "Name");
    if (!name) continue;
    ContainerVolume volume{.name = std::move(*name), .provider = "Docker", .driver = "local"};
    // "N/A" is the engine not having measured; "-1B" (a driver that cannot) reads as 0.
    if (const auto size = Json::stringAt(item, "Size"); size && *size != "N/A") {
      volume.size = Environments::bytes(*size);
    }
    if (const auto labels = Json::stringAt(item, "Labels")) {
      volume.labels = Environments::parseLabels(*labels);
    }
    volumes.push_back(std::move(volume));
  }
  return volumes;
}

std::map<std::string, Inspection> parseVolumeInspect(std::string_view output) {
  std::map<std::string, Inspection> inspections;
  const auto list = Json::parse(output);
  if (!list.is_array()) return inspections;
  for (const auto& item : list) {
    if (!item.is_object()) continue;
    const auto name = Json::stringAt(item, "Name");
    if (!name) continue;
    Inspection inspection{.driver = Json::stringAt(item, "Driver")};
    if (const auto created = Json::stringAt(item, "CreatedAt")) {
      inspection.created = Calendar::rfc3339(*created);
    }
    if (const auto* labels = objectAt(item, "Labels")) {
      for (const auto& [key, value] : labels->items()) {
        if (value.is_string()) inspection.labels[key] = value.get<std::string>();
      }
    }
    inspections[*name] = std::move(inspection);
  }
  return inspections;
}

std::map<std::string, std::vector<ContainerVolume::User>> parseContainerMounts(
    std::string_view output) {
  std::map<std::string, std::vector<ContainerVolume::User>> users;
  const auto list = Json::parse(output);
  if (!list.is_array()) return users;
  for (const auto& item : list) {
    if (!item.is_object()) continue;
    auto id = Json::stringAt(item, "Id");
    if (!id) continue;
    ContainerVolume::User user{.id = std::move(*id)};
    if (const auto name = Json::stringAt(item, "Name")) {
      const size_t first = name->find_first_not_of('/');
      if (first != std::string::npos) {
        user.name = name->substr(first, name->find_last_not_of('/') - first + 1);
      }
    }
    if (const auto* config = objectAt(item, "Config")) {
      if (const auto image = Json::stringAt(*config, "Image")) {
        user.image = Environments::shortImage(*image);
      }
    }
    if (const auto* state = objectAt(item, "State")) {
      user.isRunning = Json::boolAt(*state, "Running").value_or(false);
      user.started = eventDate(Json::stringAt(*state, "StartedAt"));
      user.finished = eventDate(Json::stringAt(*state, "FinishedAt"));
    }
    const auto* mounts = arrayAt(item, "Mounts");
    if (mounts == nullptr) continue;
    for (const auto& mount : *mounts) {
      if (!mount.is_object() || Json::stringAt(mount, "Type") != "volume") continue;
      const auto volume = Json::stringAt(mount, "Name");
      if (!volume) continue;
      // A container that mounts one volume at two paths is its user twice, as the
      // engine counts references.
      users[*volume].push_back(user);
    }
  }
  return users;
}

std::string firstLine(const Shell::Result& result) {
  if (result.timedOut) return "it took too long";
  std::string_view line = Text::firstLine(result.err);
  if (line.empty()) line = Text::firstLine(result.out);
  if (line.empty()) return "exit " + std::to_string(result.status);
  return std::string(line);
}

Scan docker(const ToolRunner& tools) {
  const auto docker = tools.find("docker");
  if (!docker) return Scan{.note = notInstalled, .date = Date::now()};
  const auto usage =
      tools.run(*docker, {"system", "df", "-v", "--format", "{{json .}}"}, diskUsageTimeout);
  if (!usage.ok()) return Scan{.note = notRunning, .date = Date::now()};
  auto volumes = parseDiskUsage(usage.out);
  if (volumes.empty()) return Scan{.date = Date::now()};

  std::vector<std::string> names;
  names.reserve(volumes.size());
  for (const auto& volume : volumes) names.push_back(volume.name);
  const auto inspect =
      tools.run(*docker, withArguments({"volume", "inspect"}, names), volumeInspectTimeout);
  if (inspect.ok()) {
    const auto inspections = parseVolumeInspect(inspect.out);
    for (auto& volume : volumes) {
      const auto found = inspections.find(volume.name);
      if (found == inspections.end()) continue;
      const Inspection& inspection = found->second;
      if (inspection.created) volume.created = inspection.created;
      // These labels are exact, where those of `system df` break at commas in values.
      if (!inspection.labels.empty()) volume.labels = inspection.labels;
      if (inspection.driver) volume.driver = *inspection.driver;
    }
  }

  auto users = containerUsers(tools, *docker);
  for (auto& volume : volumes) {
    if (auto found = users.find(volume.name); found != users.end()) {
      volume.users = std::move(found->second);
    }
  }
  return Scan{.volumes = std::move(volumes), .date = Date::now()};
}

Outcome remove(const ToolRunner& tools, const std::vector<ContainerVolume>& volumes) {
  Outcome outcome;
  const auto docker = tools.find("docker");
  if (!docker) {
    outcome.failures.emplace_back(notInstalled);
    return outcome;
  }

  // The engine refuses to remove a volume any container still refers to, stopped or
  // not. Stopped users go first; running ones are left alone, so their volumes fail.
  std::vector<std::string> stopped;
  std::set<std::string> seen;
  for (const auto& volume : volumes) {
    for (const auto& user : volume.users) {
      if (!user.isRunning && seen.insert(user.id).second) stopped.push_back(user.id);
    }
  }
  // A failure here is not reported on its own: the volumes it keeps in use fail below
  // with the engine's reason, and any it did not matter to are removed anyway.
  if (!stopped.empty()) tools.run(*docker, withArguments({"rm"}, stopped), removalTimeout);

  for (const auto& volume : volumes) {
    const auto result = tools.run(*docker, {"volume", "rm", volume.name}, removalTimeout);
    if (result.ok()) {
      outcome.deleted.push_back(volume.name);
      outcome.freed += volume.size.value_or(0);
    } else {
      outcome.failures.push_back(volume.displayName() + ": " + firstLine(result));
    }
  }
  return outcome;
}

}  // namespace Volumes
}  // namespace tessel
