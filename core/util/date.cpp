#include "util/date.h"

#include <ctime>

namespace tessel {

Date Date::now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return Date(static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9);
}

}  // namespace tessel
