// What tokens cost: the makers' list prices per model, shipped with the program as
// data (prices.json) and overridable by a prices.json of the user's. Costs are worked
// out from the tallies when they are shown, so a new price list needs no new count.
// A table is an immutable value; safe to share between threads.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "usage/index_store.h"

namespace tessel {

class PriceTable {
 public:
  // US dollars per million tokens.
  struct Price {
    double input = 0;
    double output = 0;
    double cacheWrite5m = 0;
    double cacheWrite1h = 0;
    double cacheRead = 0;
    bool operator==(const Price&) const = default;
  };

  // Nothing unless `json` is an object with a "models" array; entries without a string
  // "prefix" or with a price that is not a number of at least 0 are left out.
  static std::optional<PriceTable> parse(std::string_view json);
  // The first of `paths` that holds a table, else the table built into the program.
  static PriceTable load(const std::vector<std::string>& paths);
  // The table built into the program from data/prices.json.
  static const PriceTable& builtIn();

  // The price of the longest prefix of `model` in the table; nothing when none is.
  const Price* find(std::string_view model) const;
  // Dollars for one tally of `model`: cache writes by their five-minute and one-hour
  // parts. Nothing for a model without a price, which is unknown, not free.
  std::optional<double> cost(std::string_view model, const IndexStore::Counts& counts) const;
  static double cost(const Price& price, const IndexStore::Counts& counts);

  // The day the prices were taken and where from, as the file says.
  const std::string& taken() const { return taken_; }
  const std::vector<std::string>& sources() const { return sources_; }
  size_t size() const { return prices_.size(); }

 private:
  std::string taken_;
  std::vector<std::string> sources_;
  // Longest prefix first.
  std::vector<std::pair<std::string, Price>> prices_;
};

}  // namespace tessel
