#include <unistd.h>

#include <iostream>
#include <string>

#include "activity/json_form.h"
#include "report_commands.h"
#include "text_table.h"

namespace tessel::cli {
namespace {

using Object = nlohmann::ordered_json;
using TextTable::Cell;
using TextTable::Tint;

Object encode(const Provider& provider) {
  Object object = {{"id", provider.name},
                   {"name", provider.name},
                   {"isInstalled", provider.isInstalled},
                   {"isRunning", provider.isRunning},
                   {"count", provider.count}};
  if (provider.note) object["note"] = *provider.note;
  return object;
}

int environments(const Globals& globals, bool isJson, bool withStats) {
  auto monitor = Report::openMonitor(globals, Date::now());
  EnvironmentScan scan;
  const ActivitySnapshot snapshot = Report::firstSnapshot(*monitor, withStats, &scan);
  if (isJson) {
    Object providers = Object::array();
    for (const Provider& provider : scan.providers) providers.push_back(encode(provider));
    Object resources = Object::array();
    for (const TrackedResource& tracked : snapshot.resources) {
      resources.push_back(PublicJson::encode(tracked));
    }
    Report::print(Object{{"date", Report::date(scan.date)},
                         {"providers", std::move(providers)},
                         {"resources", std::move(resources)}});
    return success;
  }
  const bool isColored = globals.usesColor();
  TextTable::Table table{.headers = {"PROVIDER", "STATE", "RESOURCES", "NOTE"},
                         .isRightAligned = {false, false, true, false},
                         .widest = 90};
  std::string missing;
  for (const Provider& provider : scan.providers) {
    if (!provider.isInstalled) {
      missing += (missing.empty() ? "" : ", ") + provider.name;
      continue;
    }
    table.rows.push_back(
        {{provider.name},
         provider.isRunning ? Cell{"running", Tint::green} : Cell{"stopped", Tint::dim},
         {std::to_string(provider.count)},
         {provider.note.value_or("")}});
  }
  std::cout << (table.rows.empty() ? "No container engine or virtual machine tool is installed.\n"
                                   : table.render(isColored));
  if (!missing.empty()) std::cout << "Not installed: " << missing << ".\n";
  const std::string resources = Report::resourceTable(snapshot, snapshot.resources, isColored);
  if (!resources.empty()) std::cout << '\n' << resources;
  return success;
}

std::string_view useName(ContainerVolume::Use use) {
  switch (use) {
    case ContainerVolume::Use::running:
      return "running";
    case ContainerVolume::Use::stopped:
      return "stopped";
    case ContainerVolume::Use::unused:
      break;
  }
  return "unused";
}

Object encode(const ContainerVolume::User& user) {
  Object object = {
      {"id", user.id}, {"name", user.name}, {"image", user.image}, {"isRunning", user.isRunning}};
  if (user.started) object["started"] = Report::date(*user.started);
  if (user.finished) object["finished"] = Report::date(*user.finished);
  return object;
}

Object encode(const ContainerVolume& volume, Date now) {
  Object object = {{"id", volume.id()},
                   {"name", volume.name},
                   {"provider", volume.provider},
                   {"driver", volume.driver}};
  if (volume.created) object["created"] = Report::date(*volume.created);
  if (volume.size) object["size"] = *volume.size;
  object["labels"] = Object::object();
  for (const auto& [key, value] : volume.labels) object["labels"][key] = value;
  Object users = Object::array();
  for (const ContainerVolume::User& user : volume.users) users.push_back(encode(user));
  object["users"] = std::move(users);
  if (volume.lastSeenInUse) object["lastSeenInUse"] = Report::date(*volume.lastSeenInUse);
  object["displayName"] = volume.displayName();
  object["use"] = useName(volume.use());
  object["isAnonymous"] = volume.isAnonymous();
  if (const auto project = volume.project()) object["project"] = *project;
  if (const auto lastUsed = volume.lastUsed(now)) object["lastUsed"] = Report::date(*lastUsed);
  return object;
}

int listVolumes(const Globals& globals, bool isJson) {
  const Date now = Date::now();
  auto monitor = Report::openMonitor(globals, now);
  const Volumes::Scan scan = monitor->volumes(now);
  if (isJson) {
    Object volumes = Object::array();
    for (const ContainerVolume& volume : scan.volumes) volumes.push_back(encode(volume, now));
    Object document = {{"date", Report::date(scan.date)}};
    if (scan.note) document["note"] = *scan.note;
    document["volumes"] = std::move(volumes);
    Report::print(document);
    return success;
  }
  if (scan.volumes.empty()) {
    std::cout << scan.note.value_or("There are no volumes.") << '\n';
    return success;
  }
  TextTable::Table table{
      .headers = {"NAME", "PROJECT", "SIZE", "USE", "CONTAINERS", "LAST USED", "CREATED"},
      .isRightAligned = {false, false, true, false, false, false, false}};
  for (const ContainerVolume& volume : scan.volumes) {
    std::string containers;
    for (const ContainerVolume::User& user : volume.users) {
      containers += (containers.empty() ? "" : ", ") + user.name;
    }
    const auto use = volume.use();
    const auto lastUsed = volume.lastUsed(now);
    table.rows.push_back(
        {{volume.name == volume.displayName() ? volume.name
                                              : volume.displayName() + " (" + volume.name + ")"},
         {volume.project().value_or("-")},
         {volume.size ? TextTable::bytes(*volume.size) : "-"},
         {std::string(useName(use)), use == ContainerVolume::Use::running  ? Tint::green
                                     : use == ContainerVolume::Use::unused ? Tint::yellow
                                                                           : Tint::none},
         {containers.empty() ? "-" : containers},
         {!lastUsed                              ? "-"
          : use == ContainerVolume::Use::running ? "now"
                                                 : TextTable::span(now - *lastUsed) + " ago"},
         {volume.created ? TextTable::when(*volume.created, now) : "-"}});
  }
  std::cout << table.render(globals.usesColor());
  return success;
}

// Asks on the terminal; anything but yes keeps the volumes.
bool confirmed(const std::string& question) {
  std::cerr << question << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

int removeVolumes(const Globals& globals, const std::vector<std::string>& names, bool isSure) {
  const bool canAsk = isatty(STDIN_FILENO) != 0 && isatty(STDERR_FILENO) != 0;
  if (!isSure && !canAsk) {
    return fail(
        "Removing volumes deletes their data, and there is no terminal to ask on; add "
        "--yes to remove them.");
  }
  const Date now = Date::now();
  auto monitor = Report::openMonitor(globals, now);
  const Volumes::Scan scan = monitor->volumes(now);
  std::vector<ContainerVolume> chosen;
  bool isComplete = true;
  for (const std::string& name : names) {
    const auto found =
        std::find_if(scan.volumes.begin(), scan.volumes.end(),
                     [&](const ContainerVolume& v) { return v.name == name || v.id() == name; });
    if (found == scan.volumes.end()) {
      std::cerr << "There is no volume named “" << name << "”"
                << (scan.note ? ": " + *scan.note : std::string(".")) << '\n';
      isComplete = false;
    } else if (std::none_of(chosen.begin(), chosen.end(),
                            [&](const ContainerVolume& v) { return v.id() == found->id(); })) {
      chosen.push_back(*found);
    }
  }
  if (chosen.empty()) return failure;
  if (!isSure) {
    int64_t size = 0;
    std::string list;
    for (const ContainerVolume& volume : chosen) {
      size += volume.size.value_or(0);
      list += (list.empty() ? "" : ", ") + volume.name;
    }
    const std::string question = "Remove " + list + " (" + TextTable::bytes(size) +
                                 ") and the data in " + (chosen.size() == 1 ? "it" : "them") + "?";
    if (!confirmed(question)) return fail("Nothing was removed.");
  }
  const Volumes::Outcome outcome = monitor->deleteVolumes(chosen);
  for (const std::string& name : outcome.deleted) std::cout << "Removed " << name << ".\n";
  if (!outcome.deleted.empty()) {
    std::cout << "Freed " << TextTable::bytes(outcome.freed) << ".\n";
  }
  for (const std::string& sentence : outcome.failures) std::cerr << sentence << '\n';
  return isComplete && outcome.failures.empty() ? success : failure;
}

}  // namespace

void addEnvironmentCommands(CLI::App& app, Run& run) {
  auto isJson = std::make_shared<bool>(false);
  auto withStats = std::make_shared<bool>(false);
  CLI::App* env = addCommand(
      app, run, "env",
      "Container engines and virtual machine tools, and what runs in them, each with the "
      "session tied to it",
      "  tessel env\n"
      "  tessel env --stats\n"
      "  tessel env --json | jq '.resources[] | select(.isLeftover) | .resource.name'\n",
      [&run, isJson, withStats] { return environments(run.globals, *isJson, *withStats); });
  env->add_flag("--json", *isJson, "The providers and resources as JSON (docs/json.md)");
  env->add_flag("--stats", *withStats, "Also each container's CPU and memory (slower)");

  auto isVolumesJson = std::make_shared<bool>(false);
  auto removal = std::make_shared<CLI::App*>(nullptr);
  CLI::App* volumes = addCommand(
      app, run, "volumes", "Docker volumes: their size, project, and the containers that use them",
      "  tessel volumes\n"
      "  tessel volumes --json | jq -r '.volumes[] | select(.use == \"unused\") | .name'\n"
      "  tessel volumes rm shop_pgdata\n",
      [&run, isVolumesJson, removal] {
        // `volumes rm` has run already and said how it went.
        if ((*removal)->parsed()) return run.exitCode;
        return listVolumes(run.globals, *isVolumesJson);
      });
  volumes->add_flag("--json", *isVolumesJson, "The volumes as JSON (docs/json.md)");

  auto names = std::make_shared<std::vector<std::string>>();
  auto isSure = std::make_shared<bool>(false);
  *removal =
      addCommand(*volumes, run, "rm",
                 "Remove volumes and their data, after the stopped containers that "
                 "still refer to them; asks first unless --yes",
                 "  tessel volumes rm shop_pgdata\n"
                 "  tessel volumes rm cache_a cache_b --yes\n",
                 [&run, names, isSure] { return removeVolumes(run.globals, *names, *isSure); });
  (*removal)->add_option("names", *names, "The volumes' names")->required();
  (*removal)->add_flag("--yes,-y", *isSure, "Remove without asking");
}

}  // namespace tessel::cli
