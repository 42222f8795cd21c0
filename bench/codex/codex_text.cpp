#include "codex/codex_text.h"

#include <cstdio>
#include <ctime>

#include "support/transcript_format.h"
#include "tree/text.h"

namespace tessel::bench {

std::string uuidV7(int64_t createdMs, Random& random) {
  std::string hex = randomChars(random, kHex, 32);
  auto time = static_cast<uint64_t>(createdMs);
  for (int i = 11; i >= 0; --i) {
    hex[static_cast<size_t>(i)] = kHex[time & 0xF];
    time >>= 4;
  }
  hex[12] = '7';
  hex[16] = kHex[8 + random.below(4)];
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
         hex.substr(16, 4) + "-" + hex.substr(20);
}

void appendUtcStamp(std::string& out, int64_t millis) {
  TranscriptFormat::appendTimestamp(out, millis);
}

void appendUtcNanos(std::string& out, int64_t millis, int64_t extraNanos) {
  appendUtcStamp(out, millis);
  // "…41.093Z" becomes "…41.093204117Z".
  out.pop_back();
  char digits[8];
  std::snprintf(digits, sizeof digits, "%06lld", static_cast<long long>(extraNanos % 1000000));
  out += digits;
  out += 'Z';
}

LocalNames localNames(int64_t millis) {
  const auto seconds = static_cast<time_t>(millis / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char folder[16];
  char stamp[24];
  std::strftime(folder, sizeof folder, "%Y/%m/%d", &local);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H-%M-%S", &local);
  return {folder, stamp};
}

}  // namespace tessel::bench
