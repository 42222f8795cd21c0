// The environment scan: asks every container engine and hypervisor on the machine, at
// once, what it runs, and finds the virtual machines none of them claims. What lasts
// from one scan to the next is in the `Context` the caller passes; every operation may
// run on any thread and blocks it while the tools run.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "environments/context.h"
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
// Docker for fresh CPU and memory figures, otherwise `previous`'s are carried over. The
// scan is dated `now`, which also ages the context's answers.
EnvironmentScan scan(Context& context, const ProcessTable& processes, bool withStats,
                     const EnvironmentScan* previous, Date now);

// The providers, each by its own command-line tool (or the process table).
Answer docker(Context& context, const ProcessTable& processes, bool withStats,
              const EnvironmentScan* previous, Date now);
Answer podman(Context& context, const ProcessTable& processes);
Answer parallels(Context& context, const ProcessTable& processes);
Answer utm(Context& context, const ProcessTable& processes);
Answer vmware(Context& context, const ProcessTable& processes);
Answer virtualbox(Context& context, const ProcessTable& processes);
Answer lima(Context& context, const ProcessTable& processes);
Answer colima(Context& context, const ProcessTable& processes);
Answer multipass(Context& context, const ProcessTable& processes);
Answer tart(Context& context, const ProcessTable& processes);
Answer orbstack(Context& context, const ProcessTable& processes);
Answer appleContainer(Context& context, const ProcessTable& processes);

// Virtual-machine processes ("qemu-system-*", Apple's Virtualization framework) whose
// pid no provider's resource carries; `providers` are those found so far.
Answer unclaimedVMs(Context& context, const ProcessTable& processes,
                    const std::unordered_set<int32_t>& claimed,
                    const std::vector<Provider>& providers, Date now);

// Docker's CPU count (`docker info`), asked again once the last answer is 600 seconds old.
std::optional<int> dockerCPUs(Context& context, Date now);
// DevPod's workspaces by id and by uid, asked again once the last answer is 60 seconds old.
std::map<std::string, Workspace> devPodWorkspaces(Context& context, Date now);

// Docker's "k=v,k2=v2" label text; pieces without "=" are skipped, later keys win.
std::map<std::string, std::string> parseLabels(std::string_view text);
// The dev container a container's labels describe, if any (hook and process count unset);
// DevPod is asked only for a container of a DevPod workspace.
std::optional<DevContainer> devContainer(const std::map<std::string, std::string>& labels,
                                         Context& context, Date now);
// "ghcr.io/owner/image:tag" -> "owner/image:tag": drops a registry host from a reference
// of three or more pieces; anything else is returned unchanged.
std::string shortImage(std::string_view image);
// The host ports of "0.0.0.0:5432->5432/tcp, [::]:5432->5432/tcp", each once, in order.
std::vector<std::string> publishedPorts(std::string_view text);
// Whether a "pid args" line of `docker top` is a Claude Code process.
bool isClaudeCommand(std::string_view line);
// "1.5GiB", "660MiB", "18.7MB", "88B" -> bytes; 0 without a leading number.
int64_t bytes(std::string_view text);
// Docker's "CreatedAt": "2026-12-05 18:51:13 +0100 CET".
std::optional<Date> dockerDate(const std::optional<std::string>& text);

}  // namespace tessel::Environments
