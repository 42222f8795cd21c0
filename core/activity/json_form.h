// The one JSON form in which the snapshot and its records leave Tessel (`--json` output,
// docs/json.md): the records' field names as keys in field order, enumerations as their
// raw values, absent optionals left out, dates as ISO 8601 UTC text with milliseconds,
// then the derived values scripts would otherwise recompute. Every record with an identity
// carries it first as "id", even where it repeats a field, so that scripts find any
// record's identity under one key. Sets are written as sorted arrays, so equal snapshots
// give equal text.
#pragma once

#include <nlohmann/json.hpp>

#include "activity/attribution.h"
#include "activity/snapshot.h"
#include "environments/process_table.h"
#include "environments/resource.h"
#include "metrics/samples.h"

namespace tessel::PublicJson {

nlohmann::ordered_json encode(const ActivitySnapshot& snapshot);
nlohmann::ordered_json encode(const SessionInfo& session);
nlohmann::ordered_json encode(const TrackedResource& tracked);
nlohmann::ordered_json encode(const Attribution& attribution);
nlohmann::ordered_json encode(const Resource& resource);
nlohmann::ordered_json encode(const ProcessEntry& entry);
nlohmann::ordered_json encode(const LiveSession& live);
nlohmann::ordered_json encode(const ToolEvent& event);
nlohmann::ordered_json encode(const MetricsSample& sample);
nlohmann::ordered_json encode(const SystemSample& sample);

}  // namespace tessel::PublicJson
