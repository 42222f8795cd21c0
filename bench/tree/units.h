// Sizes and spans the projects tree is planned in: bytes, and milliseconds as the
// transcripts count time.
#pragma once

#include <cstdint>

namespace tessel::bench {

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * kKiB;
constexpr int64_t kSecondMs = 1000;
constexpr int64_t kMinuteMs = 60 * kSecondMs;
constexpr int64_t kHourMs = 60 * kMinuteMs;
constexpr int64_t kDayMs = 24 * kHourMs;

}  // namespace tessel::bench
