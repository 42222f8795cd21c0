// What the usage tallies say, arranged for showing: today, yesterday, this week and the
// last fourteen days; per hour of today and per day; ranked by project, model, entry
// point and session; and when in the week the work happens. Local time throughout.
// Plain values made by one pure function; safe from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "usage/index_store.h"
#include "usage/prices.h"
#include "util/date.h"

namespace tessel {

// The five counts of a tally; its JSON form has these keys.
struct TokenBucket {
  int64_t input = 0;
  int64_t output = 0;
  int64_t cacheWrite = 0;
  int64_t cacheRead = 0;
  int64_t messages = 0;

  int64_t tokens() const { return input + output + cacheWrite + cacheRead; }
  bool operator==(const TokenBucket&) const = default;
};

// Counts and what they cost. Tokens of models without a price add to `unpricedTokens`
// instead of the cost: their cost is unknown, never zero.
struct UsageTotal {
  TokenBucket counts;
  double cost = 0;
  int64_t unpricedTokens = 0;

  void add(std::string_view model, const IndexStore::Counts& tally, const PriceTable& prices);
  // With the model's price looked up already (nothing: it has none).
  void add(const PriceTable::Price* price, const IndexStore::Counts& tally);
  UsageTotal& operator+=(const UsageTotal& other);
  // Nothing while some tokens have no price.
  std::optional<double> knownCost() const;
  bool operator==(const UsageTotal&) const = default;
};

struct TimeBucket {
  Date t{};  // local start of the hour or day
  int64_t tokens = 0;
  std::map<std::string, int64_t> byModel{};
  UsageTotal total{};
};

struct RankedRow {
  std::string key{};    // the session id, project name, model id or entry point
  std::string label{};  // what to show: for models their display name
  UsageTotal total{};
};

struct Aggregate {
  UsageTotal today, yesterday, week, fourteenDays;
  std::vector<TimeBucket> hourly;  // the 24 hours of today
  std::vector<TimeBucket> daily;   // the last 14 days, today last
  // Most tokens first; all tallies given.
  std::vector<RankedRow> projects, models, entries, sessions;
  // Messages by local weekday (Monday first) and hour.
  std::array<std::array<int64_t, 24>, 7> heat{};
  int64_t skippedFiles = 0;
};

struct SummaryOptions {
  // The start of "this week" when it is not Monday's midnight: the weekly allowance's.
  std::optional<Date> weekSince{};
  // Only this session's tallies.
  std::optional<std::string> session{};
};

// `names` maps working directories to their projects; a directory without one counts
// under its own name.
Aggregate summarize(const IndexStore::Tally& buckets,
                    const std::unordered_map<std::string, std::string>& names, int64_t skippedFiles,
                    Date now, const PriceTable& prices, const SummaryOptions& options = {});

// "claude-opus-4-5-20251101" -> "Opus 4.5", "gpt-5.2-codex" -> "GPT-5.2 Codex"; other
// names as they are.
std::string prettyModel(std::string_view model);

}  // namespace tessel
