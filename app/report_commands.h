// The report commands, which print what the core knows once (or, for `watch`, once per
// interval) as aligned text or as the JSON form of docs/json.md, and what they share.
// Each runs on the main thread of its own short-lived process.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "cli.h"
#include "monitor/monitor.h"

namespace tessel::cli {

void addSnapshotCommands(CLI::App& app, Run& run);  // snapshot, watch
void addUsageCommands(CLI::App& app, Run& run);
void addLimitsCommand(CLI::App& app, Run& run);
void addSessionCommands(CLI::App& app, Run& run);      // sessions, timeline
void addEnvironmentCommands(CLI::App& app, Run& run);  // env, volumes

namespace Report {

// A Monitor over the paths of `globals` that keeps its store, so a later command resumes
// where this one stopped; Codex is read when its home exists.
std::unique_ptr<Monitor> openMonitor(const Globals& globals, Date now);

// A snapshot as a user expects the first one to be: containers scanned (with their
// statistics when `withStats`), the session history read, and CPU measured over a short
// interval rather than since each process began. `scan`, when given, receives the scan.
ActivitySnapshot firstSnapshot(Monitor& monitor, bool withStats, EnvironmentScan* scan = nullptr);

// The resources as an aligned table with the session each is tied to and why; empty
// without any.
std::string resourceTable(const ActivitySnapshot& snapshot,
                          const std::vector<TrackedResource>& resources, bool isColored);

// What the transcripts or rollouts under `folder` written in the last `keepDays` weigh.
uint64_t bytesToRead(const std::string& folder, double keepDays);

// Brings `index` up to date from the store and the rollouts, however much there is to read.
void catchUp(CodexIndex& index, const Globals& globals, Date now);

// The public date form: "2026-12-05T18:20:41.093Z".
std::string date(Date date);

// `document` on standard output, indented, with a line feed.
void print(const nlohmann::ordered_json& document);

}  // namespace Report
}  // namespace tessel::cli
