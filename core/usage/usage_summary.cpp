#include "usage/usage_summary.h"

#include <algorithm>
#include <cctype>
#include <ctime>

#include "util/calendar.h"

namespace tessel {
namespace {

TokenBucket bucketOf(const IndexStore::Counts& counts) {
  return {counts[0], counts[1], counts[2], counts[3], counts[4]};
}

// One tally's counts and cost, worked out once and added to every row it belongs to.
struct Priced {
  TokenBucket counts;
  std::optional<double> cost;
};

void add(UsageTotal& total, const Priced& priced) {
  total.counts.input += priced.counts.input;
  total.counts.output += priced.counts.output;
  total.counts.cacheWrite += priced.counts.cacheWrite;
  total.counts.cacheRead += priced.counts.cacheRead;
  total.counts.messages += priced.counts.messages;
  if (priced.cost) {
    total.cost += *priced.cost;
  } else {
    total.unpricedTokens += priced.counts.tokens();
  }
}

void add(TimeBucket& bucket, const std::string& model, const Priced& priced) {
  add(bucket.total, priced);
  bucket.tokens += priced.counts.tokens();
  bucket.byModel[model] += priced.counts.tokens();
}

std::vector<RankedRow> ranked(const std::unordered_map<std::string_view, UsageTotal>& rows,
                              bool modelLabels) {
  std::vector<RankedRow> list;
  list.reserve(rows.size());
  for (const auto& [key, total] : rows) {
    std::string label = modelLabels ? prettyModel(key) : std::string(key);
    list.push_back({std::string(key), std::move(label), total});
  }
  std::sort(list.begin(), list.end(), [](const RankedRow& a, const RankedRow& b) {
    const int64_t left = a.total.counts.tokens(), right = b.total.counts.tokens();
    if (left != right) return left > right;
    return a.key < b.key;
  });
  return list;
}

std::string capitalized(std::string_view word) {
  std::string text(word);
  if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return text;
}

bool isNumber(std::string_view word) {
  return !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
  });
}

}  // namespace

void UsageTotal::add(std::string_view model, const IndexStore::Counts& tally,
                     const PriceTable& prices) {
  add(prices.find(model), tally);
}

void UsageTotal::add(const PriceTable::Price* price, const IndexStore::Counts& tally) {
  tessel::add(*this, Priced{bucketOf(tally),
                            price ? std::optional(PriceTable::cost(*price, tally)) : std::nullopt});
}

UsageTotal& UsageTotal::operator+=(const UsageTotal& other) {
  counts.input += other.counts.input;
  counts.output += other.counts.output;
  counts.cacheWrite += other.counts.cacheWrite;
  counts.cacheRead += other.counts.cacheRead;
  counts.messages += other.counts.messages;
  cost += other.cost;
  unpricedTokens += other.unpricedTokens;
  return *this;
}

std::optional<double> UsageTotal::knownCost() const {
  if (unpricedTokens > 0) return std::nullopt;
  return cost;
}

Aggregate summarize(const IndexStore::Tally& buckets,
                    const std::unordered_map<std::string, std::string>& names, int64_t skippedFiles,
                    Date now, const PriceTable& prices, const SummaryOptions& options) {
  Aggregate summary;
  summary.skippedFiles = skippedFiles;
  const Calendar::LocalTime today = Calendar::localTime(now);
  const int64_t weekStart = today.day - today.weekday;
  summary.hourly.resize(24);
  const Date todayStart = Calendar::localMidnight(today.day);
  for (int hour = 0; hour < 24; ++hour) summary.hourly[hour].t = todayStart + hour * 3600.0;
  summary.daily.resize(14);
  for (int64_t i = 0; i < 14; ++i) summary.daily[i].t = Calendar::localMidnight(today.day - 13 + i);

  // Tallies share their slots and models: each is looked up once.
  std::unordered_map<int64_t, Calendar::LocalTime> slots;
  std::unordered_map<std::string_view, const PriceTable::Price*> known;
  // Keyed by views of the tallies' own strings, which outlive this call.
  std::unordered_map<std::string_view, UsageTotal> projects, models, entries, sessions;
  for (const auto& [key, counts] : buckets) {
    if (options.session && key.sid != *options.session) continue;
    auto slot = slots.find(key.t);
    if (slot == slots.end()) {
      slot = slots.emplace(key.t, Calendar::localTime(Date(static_cast<double>(key.t)))).first;
    }
    const Calendar::LocalTime& local = slot->second;
    auto price = known.find(key.model);
    if (price == known.end()) price = known.emplace(key.model, prices.find(key.model)).first;
    const Priced priced{
        bucketOf(counts),
        price->second ? std::optional(PriceTable::cost(*price->second, counts)) : std::nullopt};

    const int64_t daysAgo = today.day - local.day;
    if (daysAgo == 0) {
      add(summary.today, priced);
      add(summary.hourly[local.hour], key.model, priced);
    } else if (daysAgo == 1) {
      add(summary.yesterday, priced);
    }
    const bool inWeek = options.weekSince ? Date(static_cast<double>(key.t)) >= *options.weekSince
                                          : local.day >= weekStart;
    if (inWeek && daysAgo >= 0) add(summary.week, priced);
    if (daysAgo >= 0 && daysAgo < 14) {
      add(summary.fourteenDays, priced);
      add(summary.daily[13 - daysAgo], key.model, priced);
    }
    summary.heat[local.weekday][local.hour] += counts[4];

    const auto project = names.find(key.cwd);
    add(projects[project == names.end() ? key.cwd : project->second], priced);
    add(models[key.model], priced);
    add(entries[key.entry], priced);
    add(sessions[key.sid], priced);
  }
  summary.projects = ranked(projects, false);
  summary.models = ranked(models, true);
  summary.entries = ranked(entries, false);
  summary.sessions = ranked(sessions, false);
  return summary;
}

std::string prettyModel(std::string_view model) {
  std::vector<std::string_view> words;
  size_t begin = 0;
  while (begin <= model.size()) {
    size_t end = model.find('-', begin);
    if (end == std::string_view::npos) end = model.size();
    words.push_back(model.substr(begin, end - begin));
    begin = end + 1;
  }
  if (words.size() >= 2 && words[0] == "claude") {
    // claude-<family>-<major>[-<minor>][-<date>], or the older claude-<major>-<minor>-<family>.
    std::string family;
    std::vector<std::string_view> version;
    for (size_t i = 1; i < words.size(); ++i) {
      if (isNumber(words[i])) {
        if (words[i].size() >= 8) break;  // the release date
        version.push_back(words[i]);
      } else if (family.empty()) {
        family = capitalized(words[i]);
      } else {
        return std::string(model);
      }
    }
    if (family.empty() || version.empty()) return std::string(model);
    std::string name = family + " ";
    for (size_t i = 0; i < version.size(); ++i) {
      if (i > 0) name += '.';
      name += version[i];
    }
    return name;
  }
  if (words.size() >= 2 && words[0] == "gpt" && !words[1].empty()) {
    std::string name = "GPT-";
    name += words[1];
    for (size_t i = 2; i < words.size(); ++i) {
      if (words[i].empty()) return std::string(model);
      name += ' ';
      name += capitalized(words[i]);
    }
    return name;
  }
  return std::string(model);
}

}  // namespace tessel
