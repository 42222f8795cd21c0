#include "environments/context.h"

namespace tessel::Environments {

std::optional<Date> StartDates::get(const std::string& id) const {
  std::lock_guard guard(lock_);
  const auto found = dates_.find(id);
  if (found == dates_.end()) return std::nullopt;
  return found->second;
}

void StartDates::put(const std::string& id, Date date) {
  std::lock_guard guard(lock_);
  dates_[id] = date;
}

}  // namespace tessel::Environments
