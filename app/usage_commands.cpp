#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>

#include "claude/session_record.h"
#include "codex/codex_index.h"
#include "report_commands.h"
#include "text_table.h"
#include "usage/usage_scanner.h"
#include "usage/usage_summary.h"
#include "util/calendar.h"

namespace tessel::cli {
namespace {

using Object = nlohmann::ordered_json;
using TextTable::Cell;
using TextTable::Tint;

// Bytes one refresh reads: small enough for a progress bar that moves, large enough
// that the listing each refresh makes costs nothing beside the reading.
constexpr uint64_t chunkBytes = 32000000;

struct UsageOptions {
  std::string view = "daily";
  std::string since{};
  std::string until{};
  bool isCodex = false;
  bool isJson = false;
};

struct Row {
  std::string key{};
  std::string label{};
  UsageTotal total{};
};

// Shows how far a long first reading got, on a terminal only, and clears it at the end.
class Progress {
 public:
  explicit Progress(uint64_t total) : total_(total), isShown_(isatty(STDERR_FILENO) != 0) {}
  ~Progress() {
    if (hasDrawn_) std::fputs("\r\033[K", stderr);
  }
  void update(uint64_t read) {
    // Quick readings are over before a bar could help.
    if (!isShown_ || total_ == 0 || Date::now() - start_ < 1) return;
    const double share = std::min(1.0, static_cast<double>(read) / static_cast<double>(total_));
    const int filled = static_cast<int>(share * 30);
    std::fprintf(stderr, "\rReading transcripts [%s%s] %3d%% of %s",
                 std::string(filled, '#').c_str(), std::string(30 - filled, '.').c_str(),
                 static_cast<int>(share * 100),
                 TextTable::bytes(static_cast<int64_t>(total_)).c_str());
    std::fflush(stderr);
    hasDrawn_ = true;
  }

 private:
  const Date start_ = Date::now();
  uint64_t total_;
  bool isShown_;
  bool hasDrawn_ = false;
};

// Claude Code's tallies, resumed from the store and brought up to date.
IndexStore::Tally claudeBuckets(const ClaudePaths& paths, Date now,
                                std::unordered_map<std::string, std::string>& names) {
  UsageScanner scanner;
  scanner.store(now, std::shared_ptr<IndexStore>(IndexStore::standard(paths)));
  const uint64_t total = Report::bytesToRead(paths.projectsDir(), UsageScanner::keepDays);
  Progress progress(total);
  for (uint64_t round = 1; scanner.refresh(paths, now, chunkBytes); ++round) {
    progress.update(round * chunkBytes);
  }
  names = scanner.projectNames();
  return scanner.buckets();
}

IndexStore::Tally codexBuckets(const Globals& globals, Date now,
                               std::unordered_map<std::string, std::string>& names) {
  CodexIndex index;
  Report::catchUp(index, globals, now);
  IndexStore::Tally buckets = index.buckets();
  for (const auto& [key, counts] : buckets) {
    if (!names.contains(key.cwd)) names[key.cwd] = UsageScanner::projectOf(key.cwd);
  }
  return buckets;
}

// A local day as "2026-12-07" or "20261207": its midnight.
std::optional<Date> parseDay(const std::string& text) {
  if (auto day = Calendar::parseFixed(text, "%Y-%m-%d")) return day;
  return Calendar::parseFixed(text, "%Y%m%d");
}

std::string periodKey(const std::string& view, Date t) {
  if (view == "monthly") return Calendar::formatLocal(t, "%Y-%m");
  if (view == "weekly") {
    const Calendar::LocalTime local = Calendar::localTime(t);
    return Calendar::localDay(Calendar::localMidnight(local.day - local.weekday));
  }
  return Calendar::localDay(t);
}

std::vector<Row> group(const IndexStore::Tally& buckets,
                       const std::unordered_map<std::string, std::string>& names,
                       const UsageOptions& options, std::optional<Date> since,
                       std::optional<Date> until, const PriceTable& prices) {
  const bool isPeriod =
      options.view == "daily" || options.view == "weekly" || options.view == "monthly";
  std::map<std::string, Row> rows;
  for (const auto& [key, counts] : buckets) {
    const Date t(static_cast<double>(key.t));
    if ((since && t < *since) || (until && t >= *until)) continue;
    const auto named = names.find(key.cwd);
    const std::string project = named != names.end() ? named->second : Folder::name(key.cwd);
    std::string id, label;
    if (isPeriod) {
      id = label = periodKey(options.view, t);
    } else if (options.view == "session") {
      id = key.sid;
      label = project;
    } else if (options.view == "project") {
      id = label = project;
    } else {
      id = key.model;
      label = prettyModel(key.model);
    }
    Row& row = rows[id];
    if (row.key.empty()) row = {id, label, {}};
    row.total.add(key.model, counts, prices);
  }
  std::vector<Row> list;
  for (auto& [id, row] : rows) list.push_back(std::move(row));
  if (!isPeriod) {
    std::stable_sort(list.begin(), list.end(), [](const Row& a, const Row& b) {
      return a.total.counts.tokens() > b.total.counts.tokens();
    });
  }
  return list;
}

Object encode(const Row& row) {
  const TokenBucket& counts = row.total.counts;
  Object object = {{"id", row.key},
                   {"label", row.label},
                   {"input", counts.input},
                   {"output", counts.output},
                   {"cacheWrite", counts.cacheWrite},
                   {"cacheRead", counts.cacheRead},
                   {"messages", counts.messages},
                   {"tokens", counts.tokens()}};
  if (auto cost = row.total.knownCost()) object["cost"] = *cost;
  object["unpricedTokens"] = row.total.unpricedTokens;
  return object;
}

std::string costText(const UsageTotal& total) {
  // At least this much: some tokens are of models without a known price.
  return TextTable::dollars(total.cost) + (total.unpricedTokens > 0 ? "+" : "");
}

int usage(const Globals& globals, const UsageOptions& options) {
  std::optional<Date> since, until;
  if (!options.since.empty()) {
    since = parseDay(options.since);
    if (!since) return fail("“" + options.since + "” isn’t a day; write it as 2026-12-01.");
  }
  if (!options.until.empty()) {
    const auto day = parseDay(options.until);
    if (!day) return fail("“" + options.until + "” isn’t a day; write it as 2026-12-01.");
    // The whole of the last day counts.
    until = Calendar::localMidnight(Calendar::localTime(*day).day + 1);
  }
  const Date now = Date::now();
  const ClaudePaths paths = globals.claudePaths();
  std::unordered_map<std::string, std::string> names;
  const IndexStore::Tally buckets =
      options.isCodex ? codexBuckets(globals, now, names) : claudeBuckets(paths, now, names);
  const PriceTable prices = PriceTable::load({paths.supportDir + "/prices.json"});
  const std::vector<Row> rows = group(buckets, names, options, since, until, prices);
  Row total{"total", "Total", {}};
  for (const Row& row : rows) total.total += row.total;

  if (options.isJson) {
    Object document = {{"view", options.view}, {"assistant", options.isCodex ? "codex" : "claude"}};
    if (since) document["since"] = Report::date(*since);
    if (until) document["until"] = Report::date(*until);
    Object list = Object::array();
    for (const Row& row : rows) list.push_back(encode(row));
    document["rows"] = std::move(list);
    document["total"] = encode(total);
    Report::print(document);
    return success;
  }
  if (rows.empty()) {
    std::cout << "No token usage was recorded "
              << (since || until ? "in that period." : "in the last 15 days.") << '\n';
    return success;
  }
  static const std::map<std::string, std::string> headings = {
      {"daily", "DAY"},       {"weekly", "WEEK OF"},  {"monthly", "MONTH"},
      {"session", "SESSION"}, {"project", "PROJECT"}, {"model", "MODEL"}};
  TextTable::Table table{.headers = {headings.at(options.view), "INPUT", "OUTPUT", "CACHE WRITE",
                                     "CACHE READ", "TOTAL", "COST"},
                         .isRightAligned = {false, true, true, true, true, true, true}};
  if (options.view == "session") {
    table.headers.insert(table.headers.begin() + 1, "PROJECT");
    table.isRightAligned.insert(table.isRightAligned.begin() + 1, false);
  }
  const auto line = [&](const Row& row, Tint tint) {
    const TokenBucket& counts = row.total.counts;
    std::vector<Cell> cells = {
        {options.view == "session" && row.key != "total" ? row.key.substr(0, 8) : row.label, tint},
        {TextTable::tokens(counts.input), tint},
        {TextTable::tokens(counts.output), tint},
        {TextTable::tokens(counts.cacheWrite), tint},
        {TextTable::tokens(counts.cacheRead), tint},
        {TextTable::tokens(counts.tokens()), tint},
        {costText(row.total), tint}};
    if (options.view == "session") {
      cells.insert(cells.begin() + 1, Cell{row.key == "total" ? "" : row.label, tint});
    }
    table.rows.push_back(std::move(cells));
  };
  for (const Row& row : rows) line(row, Tint::none);
  line(total, Tint::bold);
  std::cout << table.render(globals.usesColor());
  if (total.total.unpricedTokens > 0) {
    std::cout << "+ " << TextTable::grouped(total.total.unpricedTokens)
              << " tokens are of models without a known price, so their cost isn’t included.\n";
  }
  return success;
}

}  // namespace

void addUsageCommands(CLI::App& app, Run& run) {
  auto options = std::make_shared<UsageOptions>();
  CLI::App* usageCommand =
      addCommand(app, run, "usage",
                 "Tokens spent and what they cost, by day, week, month, session, project or model "
                 "(the last 15 days, which Tessel keeps)",
                 "  tessel usage\n"
                 "  tessel usage model --since 2026-12-01\n"
                 "  tessel usage project --codex --json | jq '.rows[] | {label, cost}'\n",
                 [&run, options] { return usage(run.globals, *options); });
  usageCommand->add_option("view", options->view, "How to group the tallies (default daily)")
      ->check(CLI::IsMember({"daily", "weekly", "monthly", "session", "project", "model"}));
  usageCommand->add_option("--since", options->since, "From this local day on (2026-12-01)");
  usageCommand->add_option("--until", options->until, "Up to and with this local day");
  usageCommand->add_flag("--codex", options->isCodex, "Codex's usage instead of Claude Code's");
  usageCommand->add_flag("--json", options->isJson, "The tallies as JSON (docs/json.md)");
}

}  // namespace tessel::cli
