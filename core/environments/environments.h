// The environment scan: asks every container engine and hypervisor on the machine, at
// once, what it runs, and finds the virtual machines none of them claims. Stateless but
// for three process-wide caches (start dates, Docker's CPU count, DevPod workspaces),
// each behind its own lock; every operation may run on any thread and blocks it while
// the tools run.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "environments/process_table.h"
#include "environments/resource.h"

namespace tessel::Environments {

// What one provider contributes: its resources, and itself when it is installed.
struct Answer {
  std::vector<Resource> resources{};
  std::optional<Provider> provider{};

  bool operator==(const Answer&) const = default;
};

// Asks all twelve providers concurrently and waits for every one; `withStats` asks
// Docker for fresh CPU and memory figures, otherwise `previous`'s are carried over.
EnvironmentScan scan(const ProcessTable& processes, bool withStats,
                     const EnvironmentScan* previous);

// The providers, each by its own command-line tool (or the process table).
Answer docker(const ProcessTable& processes, bool withStats, const EnvironmentScan* previous);
Answer podman(const ProcessTable& processes);
Answer parallels(const ProcessTable& processes);
Answer utm(const ProcessTable& processes);
Answer vmware(const ProcessTable& processes);
Answer virtualbox(const ProcessTable& processes);
Answer lima(const ProcessTable& processes);
Answer colima(const ProcessTable& processes);
Answer multipass(const ProcessTable& processes);
Answer tart(const ProcessTable& processes);
Answer orbstack(const ProcessTable& processes);
Answer appleContainer(const ProcessTable& processes);

// Virtual-machine processes ("qemu-system-*", Apple's Virtualization framework) whose
// pid no provider's resource carries; `providers` are those found so far.
Answer unclaimedVMs(const ProcessTable& processes, const std::unordered_set<int32_t>& claimed,
                    const std::vector<Provider>& providers);

// Docker's CPU count (`docker info`), asked at most once every 600 seconds.
std::optional<int> dockerCPUs();

// A DevPod workspace: its name and project folder, when DevPod knows them.
struct Workspace {
  std::optional<std::string> name{};
  std::optional<std::string> folder{};

  bool operator==(const Workspace&) const = default;
};
// DevPod's workspaces by id and by uid, asked at most once every 60 seconds.
std::map<std::string, Workspace> devPodWorkspaces();

// Docker's "k=v,k2=v2" label text; pieces without "=" are skipped, later keys win.
std::map<std::string, std::string> parseLabels(std::string_view text);
// The dev container a container's labels describe, if any (hook and process count unset).
std::optional<DevContainer> devContainer(const std::map<std::string, std::string>& labels);
// "ghcr.io/owner/image:tag" -> "owner/image:tag": drops a registry host from a reference
// of three or more pieces; anything else is returned unchanged.
std::string shortImage(std::string_view image);
// The host ports of "0.0.0.0:5432->5432/tcp, [::]:5432->5432/tcp", each once, in order.
std::vector<std::string> publishedPorts(std::string_view text);
// Whether a "pid args" line of `docker top` is a Claude Code process.
bool isClaudeCommand(std::string_view line);
// "1.5GiB", "660MiB", "18.7MB", "88B" -> bytes; 0 without a leading number.
int64_t bytes(std::string_view text);
// RFC 3339 with or without a fraction of any length ("2026-12-05T17:49:12.771403918Z").
std::optional<Date> rfc3339(std::string_view text);
// Docker's "CreatedAt": "2026-12-05 18:51:13 +0100 CET".
std::optional<Date> dockerDate(const std::optional<std::string>& text);

namespace Testing {
// Forgets the start dates, CPU count and DevPod workspaces learned so far. Only tests call it.
void resetCaches();
// Where Docker's desktop application is looked for; an empty path restores the real one.
void setDockerApplicationPath(std::string path);
}  // namespace Testing

}  // namespace tessel::Environments
