#include "usage/prices.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "util/files.h"

namespace tessel {

namespace data {
// data/prices.json as it was when the program was built.
extern const char* const builtInPrices;
}  // namespace data

namespace {

std::optional<double> price(const nlohmann::json& entry, const char* key) {
  const auto found = entry.find(key);
  if (found == entry.end() || !found->is_number()) return std::nullopt;
  const double value = found->get<double>();
  if (!(value >= 0) || !std::isfinite(value)) return std::nullopt;
  return value;
}
}  // namespace

std::optional<PriceTable> PriceTable::parse(std::string_view json) {
  const nlohmann::json document = nlohmann::json::parse(json, nullptr, false);
  if (!document.is_object()) return std::nullopt;
  const auto models = document.find("models");
  if (models == document.end() || !models->is_array()) return std::nullopt;
  PriceTable table;
  if (const auto taken = document.find("taken"); taken != document.end() && taken->is_string()) {
    table.taken_ = taken->get<std::string>();
  }
  if (const auto sources = document.find("sources");
      sources != document.end() && sources->is_array()) {
    for (const auto& source : *sources) {
      if (source.is_string()) table.sources_.push_back(source.get<std::string>());
    }
  }
  for (const auto& entry : *models) {
    if (!entry.is_object()) continue;
    const auto prefix = entry.find("prefix");
    if (prefix == entry.end() || !prefix->is_string() || prefix->get<std::string>().empty()) {
      continue;
    }
    const auto input = price(entry, "input"), output = price(entry, "output"),
               write5m = price(entry, "cacheWrite5m"), write1h = price(entry, "cacheWrite1h"),
               read = price(entry, "cacheRead");
    if (!input || !output || !write5m || !write1h || !read) continue;
    table.prices_.emplace_back(prefix->get<std::string>(),
                               Price{*input, *output, *write5m, *write1h, *read});
  }
  std::stable_sort(table.prices_.begin(), table.prices_.end(),
                   [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
  return table;
}

PriceTable PriceTable::load(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    const auto text = Files::read(path);
    if (!text) continue;
    if (auto table = parse(*text)) return std::move(*table);
  }
  return builtIn();
}

const PriceTable& PriceTable::builtIn() {
  static const PriceTable table = parse(data::builtInPrices).value_or(PriceTable());
  return table;
}

const PriceTable::Price* PriceTable::find(std::string_view model) const {
  for (const auto& [prefix, price] : prices_) {
    if (model.starts_with(prefix)) return &price;
  }
  return nullptr;
}

std::optional<double> PriceTable::cost(std::string_view model,
                                       const IndexStore::Counts& counts) const {
  const Price* price = find(model);
  if (!price) return std::nullopt;
  return cost(*price, counts);
}

double PriceTable::cost(const Price& price, const IndexStore::Counts& counts) {
  const auto tokens = [&](size_t i) { return static_cast<double>(counts[i]); };
  // Counts: input, output, cache writes, cache reads, messages, one-hour cache writes.
  const double hourWrites = std::min(tokens(5), tokens(2));
  const double dollars = tokens(0) * price.input + tokens(1) * price.output +
                         (tokens(2) - hourWrites) * price.cacheWrite5m +
                         hourWrites * price.cacheWrite1h + tokens(3) * price.cacheRead;
  return dollars / 1e6;
}

}  // namespace tessel
