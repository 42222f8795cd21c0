// The pieces of a Codex home's names and stamps: thread ids, the local time in rollout
// file names and date folders, and the UTC stamps inside lines. Free functions; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "tree/random.h"

namespace tessel::bench {

// A version 7 UUID: the creation time in its first 48 bits, so that ids sort by age.
std::string uuidV7(int64_t createdMs, Random& random);

// "2026-12-05T18:20:41.093Z".
void appendUtcStamp(std::string& out, int64_t millis);
// "2026-12-05T18:25:11.551204117Z": the session index's stamps carry nanoseconds.
void appendUtcNanos(std::string& out, int64_t millis, int64_t extraNanos);

// The machine's local time, as Codex names rollouts: "2026/12/05" for the date folder
// and "2026-12-05T19-20-41" for the file name.
struct LocalNames {
  std::string folder;
  std::string stamp;
};
LocalNames localNames(int64_t millis);

}  // namespace tessel::bench
