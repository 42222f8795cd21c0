// One hook event as Tessel logs it, and the JSON line form of the hook log. Built by
// tessel-hook from Claude Code's hook input, and by the reader of container events.
#pragma once

#include <simdjson.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "util/date.h"
#include "util/hash.h"

namespace tessel {

struct HookRecord {
  double t = 0;  // milliseconds since the Unix epoch, a whole number
  std::string e{};
  std::string s{};
  std::optional<std::string> tool{};
  std::optional<std::string> id{};
  std::optional<std::string> sum{};
  std::optional<std::string> cwd{};
  std::optional<int32_t> pid{};
  std::optional<bool> err{};         // written only when true
  std::optional<bool> bg{};          // written only when true
  std::optional<std::string> ctr{};  // set only by the reader of container events files

  bool operator==(const HookRecord&) const = default;

  Date date() const { return Date::fromMillis(t); }

  // The record of one hook input, or nothing when the input is not to be logged (no
  // event name or session id, or a tool the desktop app calls on its own). Reads only
  // the keys it needs; a large tool response is skipped, never materialised.
  static std::optional<HookRecord> from(simdjson::ondemand::object& hookInput, Date now,
                                        std::optional<int32_t> pid);
  // The same from the raw input bytes; nothing when they are not a JSON object.
  static std::optional<HookRecord> fromHookInput(simdjson::padded_string_view json, Date now,
                                                 std::optional<int32_t> pid);

  // The compact JSON object of one log line, without the line feed; nothing when `t`
  // cannot be written.
  std::optional<std::string> encode() const;
  // A log line back into a record: `t`, `e` and `s` are required, other known keys are
  // optional (null counts as absent), unknown keys are ignored, and a known key with a
  // value of the wrong type makes the line no record.
  static std::optional<HookRecord> decode(std::string_view line);
  // The same over bytes that already have simdjson's padding after them (a line inside
  // a larger buffer), without copying them.
  static std::optional<HookRecord> decode(simdjson::padded_string_view line);
};

}  // namespace tessel

template <>
struct std::hash<tessel::HookRecord> {
  size_t operator()(const tessel::HookRecord& r) const noexcept {
    return tessel::hashFields(r.t, r.e, r.s, r.tool, r.id, r.sum, r.cwd, r.pid, r.err, r.bg, r.ctr);
  }
};
