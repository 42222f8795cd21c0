// What Claude Code hands its status-line command after each message of a session: the
// session, its cost and context, and the plan's official rate limits. The rate limits
// are kept in the connector state file, where plan readings are looked for, and one
// line is made for Claude Code to show. Runs in a short-lived process of its own for
// every message of every session, so it reads no transcript and touches one small file.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "paths/claude_paths.h"
#include "usage/connector_state.h"
#include "util/date.h"

namespace tessel::StatusLine {

struct Input {
  std::string sessionId{};
  std::string cwd{};
  std::string version{};  // Claude Code's, empty when not given
  std::optional<double> costUsd{};
  std::optional<double> contextPercent{};
  // The windows as the connector state keeps them: {"kind", "percentUsed", "resetsAt"}
  // with the reset in seconds since 1970. Empty without a subscription plan.
  nlohmann::json rateLimits = nlohmann::json::array();
};

// Nothing when `text` is not a JSON object.
std::optional<Input> parse(std::string_view text);

// Puts the input's rate limits and `now` into the connector state file, keeping every
// other key, unless the file already holds a later reading. Processes of several
// sessions may capture at once; none loses what another wrote. False when there was
// nothing to keep or the file could not be written.
bool capture(const Input& input, const ClaudePaths& paths, Date now);

// The line to show: `activity` (the session's state word, when the caller knows it), the
// five-hour and weekly percentages with their reset times (the input's, else the plan
// of `state`), the session's cost and how full its context is.
std::string render(const Input& input, const std::optional<ConnectorState>& state, Date now,
                   std::string_view activity = {});

}  // namespace tessel::StatusLine
