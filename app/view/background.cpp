#include "view/background.h"

#include <chrono>

#include "usage/connector_state.h"
#include "usage/prices.h"
#include "util/calendar.h"

namespace tessel::view {

Background::Background(Monitor& monitor)
    : monitor_(monitor),
      scanThread_([this] { scanLoop(); }),
      usageThread_([this] { usageLoop(); }) {}

Background::~Background() {
  {
    std::lock_guard guard(lock_);
    isStopping_ = true;
  }
  stopped_.notify_all();
  scanThread_.join();
  usageThread_.join();
}

Background::Results Background::latest() const {
  std::lock_guard guard(lock_);
  return results_;
}

bool Background::pause(double seconds) {
  std::unique_lock guard(lock_);
  return !stopped_.wait_for(guard, std::chrono::duration<double>(seconds),
                            [this] { return isStopping_; });
}

void Background::scanLoop() {
  std::optional<Plan> lastPlan;
  do {
    const Date now = Date::now();
    EnvironmentScan scan = monitor_.scanEnvironments(statsEvery, now);
    if (const auto state =
            ConnectorState::load(monitor_.paths().connectorFile(), now, /*history=*/false)) {
      lastPlan = state->plan(lastPlan, now);
    }
    std::optional<CodexLimits> codex;
    if (monitor_.codexEnabled()) codex = monitor_.codex().limits();
    {
      std::lock_guard guard(lock_);
      results_.scan = std::move(scan);
      results_.plan = lastPlan;
      results_.codexLimits = std::move(codex);
    }
    monitor_.refreshCommands(Date::now());
  } while (pause(scanEvery));
}

void Background::usageLoop() {
  const PriceTable& prices = PriceTable::builtIn();
  bool isCut = false;
  do {
    const Date now = Date::now();
    isCut = monitor_.refreshUsage(now, usageSlice);
    const IndexStore::Tally buckets = monitor_.usage().buckets();
    Aggregate usage = summarize(buckets, monitor_.usage().projectNames(),
                                monitor_.usage().skippedFiles(), now, prices);
    auto today = tokensToday(buckets, now);
    std::lock_guard guard(lock_);
    results_.usage = std::move(usage);
    results_.tokensToday = std::move(today);
    // While transcripts are left to read, the next slice follows at once.
  } while (pause(isCut ? 0 : usageEvery));
}

std::map<std::string, int64_t> tokensToday(const IndexStore::Tally& buckets, Date now) {
  const Date midnight = Calendar::localMidnight(Calendar::localTime(now).day);
  std::map<std::string, int64_t> tokens;
  for (const auto& [bucket, counts] : buckets) {
    if (static_cast<double>(bucket.t) + UsageScanner::slotSeconds <= midnight.secondsSince1970()) {
      continue;
    }
    if (!bucket.sid.empty()) tokens[bucket.sid] += IndexStore::tokens(counts);
  }
  return tokens;
}

}  // namespace tessel::view
