// The tokens Claude Code sessions spend, from the usage figures Claude Code writes into
// its transcripts with every reply: tallied in ten-minute buckets per session, working
// directory, model and entry point. Each transcript is read from where the last refresh
// stopped, and what was learned is kept in the index store so that a restart reads only
// new bytes. One lock guards the members; files are read without it. Any thread may
// read while a refresh runs; a refresh that finds another running returns at once.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "paths/claude_paths.h"
#include "usage/index_store.h"
#include "util/date.h"
#include "util/files.h"

namespace tessel {

class UsageScanner {
 public:
  static constexpr int64_t slotSeconds = 600;
  // Transcripts not written to for this long are no longer read, and their buckets go.
  static constexpr double keepDays = 15;
  // The most one read takes in; a longer line is passed over.
  static constexpr uint64_t largestRead = 64000000;
  // What the ":usage-version" row holds for stores this scanner wrote. Another value
  // means the rows were counted by other rules, and everything is read again.
  static constexpr uint64_t formatVersion = 2;
  static constexpr std::string_view versionRow = ":usage-version";

  using Key = IndexStore::Bucket;

  // One counted reply: the bucket it went to and what it added, so that a fuller copy of
  // the same message can take its place.
  struct Seen {
    // Nothing for a reply counted before a restart: what it added is not known, so it is
    // never counted again, nor replaced. Points into `buckets_`, whose entries stay put.
    IndexStore::Tally::value_type* bucket = nullptr;
    IndexStore::Counts v{};
    // The number of the file whose ids list holds it (FileState::number).
    uint32_t file = 0;
  };

  // How far one transcript was read.
  struct FileState {
    uint64_t offset = 0;
    // The ids of the replies counted in this file, each ended by a line feed, as the
    // store keeps them.
    std::string seen{};
    uint32_t number = 0;
    // What the last look found, to pass over a file that did not change.
    uint64_t size = 0;
    Date modified{};
    // Read to its end; false when the budget stopped it, or before the first look.
    bool isComplete = false;
    uint64_t readInScan = 0;
    uint64_t seenInScan = 0;
    bool changed = false;
  };

  UsageScanner() = default;
  UsageScanner(const UsageScanner&) = delete;
  UsageScanner& operator=(const UsageScanner&) = delete;

  // Reads what the transcripts gained since the last call. `budget` bounds the bytes
  // read in one call; files left over go first next time. True when the budget ran out
  // before every changed transcript was read.
  bool refresh(const ClaudePaths& paths, Date now, uint64_t budget);

  IndexStore::Tally buckets() const;
  // Working directory -> the project it belongs to.
  std::unordered_map<std::string, std::string> projectNames() const;
  // Transcripts the last refresh found but could not open.
  int64_t skippedFiles() const;
  // True once a refresh went through every transcript at least once.
  bool hasRead() const;

  // The folders that may name the project of `cwd`, the likeliest first: the main
  // checkout above a worktree folder, then `cwd` itself.
  static std::vector<std::string> projectCandidates(const std::string& cwd);
  // The display name of the project whose checkout is at `gitRoot`: its folder's name,
  // or the main checkout's when `gitRoot` is a linked worktree.
  static std::string projectName(const std::string& gitRoot);
  // The project of `cwd`: the name of the first git checkout at or above a candidate,
  // else the last folder name of the first candidate.
  static std::string projectOf(const std::string& cwd);

  static int64_t slot(Date date);

  // Takes up what `store` holds and saves there from now on. Called once, before the
  // first refresh.
  void store(Date now, std::shared_ptr<IndexStore> store);

 private:
  struct Pending {
    std::string path;
    uint64_t size = 0;
    Date modified{};
    uint64_t readInScan = 0;
  };
  struct Reply;
  using Bucket = IndexStore::Tally::value_type;

  std::vector<Pending> scan(const ClaudePaths& paths, Date now, Date cutoff);
  // Reads one transcript from its offset; false when it could not be opened.
  bool read(const Pending& file, FileState& state, int64_t oldest, uint64_t& left,
            uint64_t& readInCall);
  // Counts the replies in `lines`, whole lines each ended by a line feed, with the
  // padding simdjson reads past them in place up to `capacity`.
  void countLines(std::string_view lines, size_t capacity, FileState& state, int64_t oldest);
  // Under lock_.
  void count(const Reply& reply, FileState& file, int64_t oldest);
  Bucket& bucketFor(const Key& key);
  void add(Bucket& bucket, const IndexStore::Counts& counts, int64_t sign);
  void takeBack(FileState& file);
  void forget(const std::string& path, FileState& file);
  void expire(int64_t oldest);
  // Not under lock_.
  void nameProjects();
  void save(int64_t oldest);

  // Owned by the one refresh in progress (isRefreshing_ keeps others out).
  Files::ListingCache listings_;
  uint64_t scans_ = 0;
  std::string buffer_;
  Key lookup_;

  mutable std::mutex lock_;
  // Guarded by lock_.
  std::unordered_map<std::string, FileState> files_;
  IndexStore::Tally buckets_;
  bool needsVersion_ = true;
  std::unordered_map<std::string, std::string> cwdProject_;
  int64_t skipped_ = 0;
  bool hasRead_ = false;
  std::shared_ptr<IndexStore> store_;
  // By the hash of the message id: ids are most of what the scanner holds.
  std::unordered_map<uint64_t, Seen> seen_;
  uint32_t nextNumber_ = 1;
  bool isRefreshing_ = false;
  // Buckets and names changed since the last save, files to forget there.
  std::unordered_set<const Bucket*> changedBuckets_;
  std::unordered_set<std::string> newCwds_;
  std::unordered_map<std::string, std::string> newNames_;
  std::vector<std::string> forgotten_;
  // Expiring walks every reply and bucket held; once a minute is soon enough.
  Date expiredAt_ = Date::distantPast();
};

}  // namespace tessel
