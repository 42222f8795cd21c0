// A realistic Claude Code projects tree of a chosen size, written for the transcript
// readers' benchmarks: projects, sessions of widely varying sizes, sub-agents' files.
#pragma once

#include <cstdint>
#include <string>

namespace tessel::bench {

struct TreeStats {
  uint64_t sessions = 0, subagentFiles = 0, bytes = 0, bashCalls = 0, toolResults = 0, errors = 0;
  void add(const TreeStats& other) {
    sessions += other.sessions;
    subagentFiles += other.subagentFiles;
    bytes += other.bytes;
    bashCalls += other.bashCalls;
    toolResults += other.toolResults;
    errors += other.errors;
  }
};

struct TreeOptions {
  std::string output;
  uint64_t bytes = 0;
  uint64_t seed = 1;
  int64_t nowMs = 0;
  unsigned threads = 0;  // 0: as many as the machine has, up to 8
};

// Writes the tree; false with a message on stderr when the output folder is unusable.
bool writeProjectsTree(const TreeOptions& options, TreeStats& totals);

int64_t nowMillis();

}  // namespace tessel::bench
