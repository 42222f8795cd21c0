// A realistic Codex home of a chosen size, written for the Codex index's benchmarks:
// rollouts in local-time date folders over the last two weeks (a few older), of widely
// varying sizes, in every shape Codex has written them, and the session index of the
// sessions' names. A seed and a time base name one home: the same bytes on every run,
// however many threads write it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "codex/rollout.h"

namespace tessel::bench {

struct CodexHomeOptions {
  std::string output;  // becomes $CODEX_HOME
  uint64_t bytes = 0;
  uint64_t seed = 1;
  int64_t nowMs = 0;
  unsigned threads = 0;  // 0: as many as the machine has, up to 8
};

// Writes the home; false with a message on stderr when the output folder is unusable.
bool writeCodexHome(const CodexHomeOptions& options, RolloutStats& totals);

// A session Codex is working in right now: each call gives the next lines it appends to
// its rollout. Its own pools and project, so it needs no home.
class LiveCodexSession {
 public:
  LiveCodexSession(uint64_t seed, std::string cwd);
  ~LiveCodexSession();
  LiveCodexSession(const LiveCodexSession&) = delete;
  LiveCodexSession& operator=(const LiveCodexSession&) = delete;

  // `count` whole lines at about `nowMs`.
  std::string nextLines(size_t count, int64_t nowMs);

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace tessel::bench
