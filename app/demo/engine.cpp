#include "demo/engine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "util/calendar.h"
#include "util/files.h"

namespace tessel::demo {
namespace {

constexpr std::string_view dockerProgram = R"(#!/bin/sh
# docker, as the demo's sessions see it: answers come from the files the demo keeps current.
state=@STATE@
case "$*" in
  "ps --no-trunc --format {{json .}}") cat "$state/ps.jsonl" ;;
  "stats --no-stream --no-trunc --format {{json .}}") cat "$state/stats.jsonl" ;;
  "inspect --format {{.Id}} {{.State.StartedAt}} "*) cat "$state/started.txt" ;;
  "info --format {{.NCPU}}") echo 8 ;;
  "ps -aq --no-trunc") cat "$state/ids.txt" ;;
  "inspect "*) cat "$state/inspect.json" ;;
  "system df -v --format {{json .}}")
    printf '{"Images":[],"Containers":[],"Volumes":['
    first=1
    for volume in "$state"/volumes/*.json; do
      [ -e "$volume" ] || continue
      [ "$first" = 1 ] || printf ','
      first=0
      tr -d '\n' < "$volume"
    done
    printf '],"BuildCache":[]}' ;;
  "volume inspect "*)
    shift 2
    printf '['
    first=1
    for name in "$@"; do
      [ -e "$state/volumes/$name.inspect" ] || continue
      [ "$first" = 1 ] || printf ','
      first=0
      cat "$state/volumes/$name.inspect"
    done
    printf ']\n' ;;
  "volume rm "*)
    shift 2
    for name in "$@"; do
      if [ -e "$state/volumes/$name.json" ]; then
        rm -f "$state/volumes/$name.json" "$state/volumes/$name.inspect"
        echo "$name"
      else
        echo "Error response from daemon: get $name: no such volume" >&2
        exit 1
      fi
    done ;;
  "top "*) printf 'PID                 COMMAND\n' ;;
  "compose "* | "stop "*) ;;
  *) echo "docker: '$1' is not a docker command." >&2; exit 1 ;;
esac
)";

constexpr std::string_view podmanProgram = R"(#!/bin/sh
# podman, as the demo's sessions see it.
state=@STATE@
case "$*" in
  "ps --format json") cat "$state/podman.json" ;;
  "stop "*) ;;
  *) echo "Error: unrecognized command \`podman $1\`" >&2; exit 125 ;;
esac
)";

std::string withState(std::string_view program, const std::string& folder) {
  std::string text(program);
  text.replace(text.find("@STATE@"), 7, "'" + folder + "'");
  return text;
}

// Docker's own words for a duration, as `docker ps` prints them.
std::string humanDuration(double seconds) {
  if (seconds < 1) return "Less than a second";
  if (seconds < 60) return std::to_string(static_cast<int>(seconds)) + " seconds";
  const int minutes = static_cast<int>(std::lround(seconds / 60));
  if (minutes == 1) return "About a minute";
  if (minutes < 60) return std::to_string(minutes) + " minutes";
  const int hours = static_cast<int>(std::lround(seconds / 3600));
  if (hours == 1) return "About an hour";
  if (hours < 48) return std::to_string(hours) + " hours";
  return std::to_string(hours / 24) + " days";
}

// Go's encoder escapes "<", ">" and "&" inside strings; docker's JSON lines show it.
std::string goJson(const Json& value) {
  std::string text = value.dump();
  std::string escaped;
  for (const char c : text) {
    if (c == '>') {
      escaped += "\\u003e";
    } else if (c == '<') {
      escaped += "\\u003c";
    } else if (c == '&') {
      escaped += "\\u0026";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string mebibytes(double value) {
  char text[32];
  std::snprintf(text, sizeof text, value >= 1024 ? "%.3gGiB" : "%.4gMiB",
                value >= 1024 ? value / 1024 : value);
  return text;
}

std::string percent(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f%%", value);
  return text;
}

}  // namespace

Engine::Engine(std::string folder, std::string toolsFolder, std::string composeFolder,
               uint64_t seed)
    : folder_(std::move(folder)),
      toolsFolder_(std::move(toolsFolder)),
      composeFolder_(std::move(composeFolder)),
      ids_(seed) {}

bool Engine::install(Date mailpitAt, Date minioAt, Date now) {
  Files::createDirectories(folder_);
  Files::createDirectories(toolsFolder_);
  minioAt_ = minioAt;
  containers_.push_back(Container{.id = ids_.hex(64),
                                  .name = "mailpit",
                                  .image = "axllent/mailpit:latest",
                                  .ports = "0.0.0.0:8025->8025/tcp, 0.0.0.0:1025->1025/tcp",
                                  .command = "\"/mailpit\"",
                                  .started = mailpitAt,
                                  .cpu = 0.1,
                                  .memoryMiB = 21});
  write(now);
  const auto volume = [&](const std::string& name, const std::string& project,
                          const std::string& size, Date created) {
    std::string labels;
    Json labelObject = nullptr;
    if (!project.empty()) {
      const std::string volumeName = name.substr(project.size() + 1);
      labels = "com.docker.compose.project=" + project +
               ",com.docker.compose.version=2.29.7,com.docker.compose.volume=" + volumeName;
      labelObject = Json{{"com.docker.compose.project", project},
                         {"com.docker.compose.version", "2.29.7"},
                         {"com.docker.compose.volume", volumeName}};
    } else if (name.size() == 64) {
      labels = "com.docker.volume.anonymous=";
      labelObject = Json{{"com.docker.volume.anonymous", ""}};
    }
    const std::string mountpoint = "/var/lib/docker/volumes/" + name + "/_data";
    const Json usage = {{"Availability", "N/A"}, {"Driver", "local"}, {"Group", "N/A"},
                        {"Labels", labels},      {"Links", "N/A"},    {"Mountpoint", mountpoint},
                        {"Name", name},          {"Scope", "local"},  {"Size", size},
                        {"Status", "N/A"}};
    const Json inspection = {{"CreatedAt", Calendar::formatInternetDateTime(created, false)},
                             {"Driver", "local"},
                             {"Labels", labelObject},
                             {"Mountpoint", mountpoint},
                             {"Name", name},
                             {"Options", nullptr},
                             {"Scope", "local"}};
    return Files::create(folder_ + "/volumes/" + name + ".json", goJson(usage)) &&
           Files::create(folder_ + "/volumes/" + name + ".inspect", inspection.dump(4));
  };
  Files::createDirectories(folder_ + "/volumes");
  const bool hasVolumes =
      volume("shop_pgdata", "shop", "196.4MB", now - 9 * 86400) &&
      volume("storefront_node_modules", "storefront", "1.074GB", now - 12 * 86400) &&
      volume(ids_.hex(64), "", "88B", now - 5 * 86400);
  const Json minio = Json::array({Json{{"AutoRemove", false},
                                       {"Command", Json::array({"server", "/data"})},
                                       {"Created", std::llround(minioAt.secondsSince1970()) - 2},
                                       {"Exited", false},
                                       {"Id", ids_.hex(64)},
                                       {"Image", "quay.io/minio/minio:latest"},
                                       {"Labels", nullptr},
                                       {"Names", Json::array({"minio-dev"})},
                                       {"Ports", Json::array({Json{{"host_ip", ""},
                                                                   {"container_port", 9000},
                                                                   {"host_port", 9000},
                                                                   {"range", 1},
                                                                   {"protocol", "tcp"}}})},
                                       {"StartedAt", std::llround(minioAt.secondsSince1970())},
                                       {"State", "running"},
                                       {"Status", "Up " + humanDuration(now - minioAt)}}});
  const std::string docker = toolsFolder_ + "/docker";
  const std::string podman = toolsFolder_ + "/podman";
  return hasVolumes && Files::create(folder_ + "/podman.json", minio.dump(2) + "\n") &&
         Files::create(docker, withState(dockerProgram, folder_), 0755) &&
         Files::create(podman, withState(podmanProgram, folder_), 0755);
}

void Engine::composeUp(Date at) {
  const auto service = [&](const std::string& service, std::string image, std::string ports,
                           std::string command, double memoryMiB) {
    containers_.push_back(Container{.id = ids_.hex(64),
                                    .name = "shop-" + service + "-1",
                                    .image = std::move(image),
                                    .service = service,
                                    .ports = std::move(ports),
                                    .command = std::move(command),
                                    .started = at,
                                    .cpu = 1.5,
                                    .memoryMiB = memoryMiB});
  };
  service("db", "postgres:16-alpine", "0.0.0.0:5432->5432/tcp, [::]:5432->5432/tcp",
          "\"docker-entrypoint.sh postgres\"", 48);
  service("redis", "redis:7-alpine", "0.0.0.0:6379->6379/tcp, [::]:6379->6379/tcp",
          "\"docker-entrypoint.sh redis-server\"", 9);
  service("api", "shop-api", "0.0.0.0:3000->3000/tcp, [::]:3000->3000/tcp", "\"node dist/main.js\"",
          112);
  write(at);
}

void Engine::refresh(Date now) {
  for (Container& container : containers_) {
    const double wave = std::sin(now.secondsSince1970() / 7 + container.memoryMiB);
    container.cpu = std::max(0.05, container.cpu * 0.6 + (1.2 + wave) * 0.4 * ids_.between(1, 4));
    container.memoryMiB = std::max(5.0, container.memoryMiB + wave * 0.7);
  }
  write(now);
}

void Engine::write(Date now) {
  std::string ps, stats, started, ids;
  Json inspection = Json::array();
  for (const Container& container : containers_) {
    std::string labels;
    if (!container.service.empty()) {
      labels = "com.docker.compose.config-hash=" + container.id.substr(0, 64) +
               ",com.docker.compose.container-number=1,com.docker.compose.depends_on=,"
               "com.docker.compose.image=sha256:" +
               container.id.substr(1, 63) +
               "0,com.docker.compose.oneoff=False,com.docker.compose.project.config_files=" +
               composeFolder_ +
               "/compose.yaml,com.docker.compose.project.working_dir=" + composeFolder_ +
               ",com.docker.compose.project=shop,com.docker.compose.service=" + container.service +
               ",com.docker.compose.version=2.29.7";
    }
    const Json line = {
        {"Command", container.command},
        {"CreatedAt", Calendar::formatLocal(container.started - 1, "%Y-%m-%d %H:%M:%S %z %Z")},
        {"ID", container.id},
        {"Image", container.image},
        {"Labels", labels},
        {"LocalVolumes", container.service == "db" ? "1" : "0"},
        {"Mounts", container.service == "db" ? "shop_pgdata" : ""},
        {"Names", container.name},
        {"Networks", container.service.empty() ? "bridge" : "shop_default"},
        {"Platform", nullptr},
        {"Ports", container.ports},
        {"RunningFor", humanDuration(now - container.started + 1) + " ago"},
        {"Size", "0B"},
        {"State", "running"},
        {"Status", "Up " + humanDuration(now - container.started)}};
    ps += goJson(line) + "\n";
    const Json figures = {{"BlockIO", "4.19MB / 0B"},
                          {"CPUPerc", percent(container.cpu)},
                          {"Container", container.id.substr(0, 12)},
                          {"ID", container.id},
                          {"MemPerc", percent(container.memoryMiB / (7.653 * 1024) * 100)},
                          {"MemUsage", mebibytes(container.memoryMiB) + " / 7.653GiB"},
                          {"Name", container.name},
                          {"NetIO", "18.7kB / 2.31kB"},
                          {"PIDs", std::to_string(container.service == "db" ? 7 : 3)}};
    stats += goJson(figures) + "\n";
    started += container.id + " " + Calendar::formatInternetDateTime(container.started, false);
    started.insert(started.size() - 1, ".771403918");
    started += "\n";
    ids += container.id + "\n";
    Json mounts = Json::array();
    if (container.service == "db") {
      mounts.push_back(Json{{"Type", "volume"},
                            {"Name", "shop_pgdata"},
                            {"Source", "/var/lib/docker/volumes/shop_pgdata/_data"},
                            {"Destination", "/var/lib/postgresql/data"},
                            {"Driver", "local"},
                            {"Mode", "z"},
                            {"RW", true},
                            {"Propagation", ""}});
    }
    inspection.push_back(
        Json{{"Id", container.id},
             {"Name", "/" + container.name},
             {"State",
              {{"Status", "running"},
               {"Running", true},
               {"Pid", 0},
               {"ExitCode", 0},
               {"StartedAt", Calendar::formatInternetDateTime(container.started, true)},
               {"FinishedAt", "0001-01-01T00:00:00Z"}}},
             {"Mounts", std::move(mounts)},
             {"Config", {{"Image", container.image}}}});
  }
  Files::replace(folder_ + "/ps.jsonl", ps, ".new");
  Files::replace(folder_ + "/stats.jsonl", stats, ".new");
  Files::replace(folder_ + "/started.txt", started, ".new");
  Files::replace(folder_ + "/ids.txt", ids, ".new");
  Files::replace(folder_ + "/inspect.json", inspection.dump(4) + "\n", ".new");
}

}  // namespace tessel::demo
