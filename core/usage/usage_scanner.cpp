#include "usage/usage_scanner.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "platform/memory.h"
#include "util/calendar.h"
#include "util/json_reader.h"
#include "util/path.h"

namespace tessel {
namespace {

using simdjson::SUCCESS;
using Value = simdjson::ondemand::value;

// Transcripts are read in pieces of this size, so a first scan of years of them needs no
// more memory than one piece and its longest line.
constexpr uint64_t pieceBytes = 4 << 20;
// Sub-agent folders nest (workflows/<run>/); the limit keeps a folder linked into itself
// from walking forever.
constexpr int deepestSubagentFolder = 4;
// A folder of at most this many entries is not opened for its stats.
constexpr size_t fewEntries = 4;
// After reading this much in one call, free memory goes back to the system.
constexpr uint64_t trimAfterBytes = 64 << 20;
constexpr std::string_view unknown = "unknown";
constexpr std::string_view usageMark = "\"usage\"";
constexpr std::string_view assistantMark = "\"assistant\"";

bool contains(std::string_view text, std::string_view mark) {
  return memmem(text.data(), text.size(), mark.data(), mark.size()) != nullptr;
}

uint64_t idHash(std::string_view id) { return std::hash<std::string_view>{}(id); }

// Calls `visit` with each id of a file's "\n"-ended list.
template <class Visit>
void eachId(std::string_view ids, Visit&& visit) {
  size_t begin = 0;
  while (begin < ids.size()) {
    size_t end = ids.find('\n', begin);
    if (end == std::string_view::npos) end = ids.size();
    if (end > begin) visit(ids.substr(begin, end - begin));
    begin = end + 1;
  }
}

std::optional<std::string> gitDirOf(const std::string& root) {
  const auto text = Files::read(root + "/.git");
  if (!text) return std::nullopt;
  std::string_view line(*text);
  if (!line.starts_with("gitdir:")) return std::nullopt;
  line.remove_prefix(7);
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
    line.remove_suffix(1);
  }
  if (line.empty()) return std::nullopt;
  if (line.front() == '/') return std::string(line);
  return root + "/" + std::string(line);
}

std::string lastName(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return std::string(name.empty() ? path : name);
}

}  // namespace

// One reply as a transcript line gives it. The views point into the line or into the
// parser, and last until the next line is parsed.
struct UsageScanner::Reply {
  std::optional<std::string_view> type, id, model, timestamp, sid, cwd, entry;
  std::optional<int64_t> input, output, cacheWrite, cacheRead, cacheWrite1h;
  bool hasUsage = false;

  // False unless `line` is one whole JSON object whose members have the types expected.
  bool parse(simdjson::padded_string_view line) {
    thread_local simdjson::ondemand::parser parser;
    simdjson::ondemand::document document;
    simdjson::ondemand::object object;
    if (parser.iterate(line).get(document) != SUCCESS ||
        document.get_object().get(object) != SUCCESS) {
      return false;
    }
    const auto readUsage = [&](std::string_view key, Value value) {
      if (key == "input_tokens") return Json::take(value, input);
      if (key == "output_tokens") return Json::take(value, output);
      if (key == "cache_creation_input_tokens") return Json::take(value, cacheWrite);
      if (key == "cache_read_input_tokens") return Json::take(value, cacheRead);
      if (key == "cache_creation") {
        return Json::readObject(value, [&](std::string_view member, Value inner) {
          return member == "ephemeral_1h_input_tokens" ? Json::take(inner, cacheWrite1h) : true;
        });
      }
      return true;
    };
    const auto readMessage = [&](std::string_view key, Value value) {
      if (key == "id") return Json::take(value, id);
      if (key == "model") return Json::take(value, model);
      if (key == "usage") {
        hasUsage = !Json::isNull(value);
        return Json::readObject(value, readUsage);
      }
      return true;
    };
    const bool whole = Json::forEachMember(object, [&](std::string_view key, Value value) {
      if (key == "type") return Json::take(value, type);
      if (key == "message") return Json::readObject(value, readMessage);
      if (key == "timestamp") return Json::take(value, timestamp);
      if (key == "sessionId") return Json::take(value, sid);
      if (key == "cwd") return Json::take(value, cwd);
      if (key == "entrypoint") return Json::take(value, entry);
      return true;
    });
    return whole && Json::atEnd(document);
  }

  IndexStore::Counts counts() const {
    return {input.value_or(0),
            output.value_or(0),
            cacheWrite.value_or(0),
            cacheRead.value_or(0),
            1,
            cacheWrite1h.value_or(0)};
  }
};

int64_t UsageScanner::slot(Date date) {
  const auto width = static_cast<double>(slotSeconds);
  return static_cast<int64_t>(std::floor(date.secondsSince1970() / width)) * slotSeconds;
}

std::vector<std::string> UsageScanner::projectCandidates(const std::string& cwd) {
  std::vector<std::string> candidates;
  for (const std::string_view marker : {"/.claude/worktrees/", "/.worktrees/", "/worktrees/"}) {
    const size_t at = cwd.find(marker);
    if (at != std::string::npos && at > 0) {
      candidates.push_back(cwd.substr(0, at));
      break;
    }
  }
  candidates.push_back(cwd);
  return candidates;
}

std::string UsageScanner::projectName(const std::string& gitRoot) {
  // A linked worktree's .git is a file naming <main>/.git/worktrees/<name>.
  if (const auto gitDir = gitDirOf(gitRoot)) {
    const size_t at = gitDir->find("/.git/worktrees/");
    if (at != std::string::npos && at > 0) return lastName(gitDir->substr(0, at));
  }
  return lastName(gitRoot);
}

std::string UsageScanner::projectOf(const std::string& cwd) {
  if (cwd.empty() || cwd.front() != '/') return cwd.empty() ? std::string(unknown) : cwd;
  const std::vector<std::string> candidates = projectCandidates(cwd);
  for (const std::string& candidate : candidates) {
    std::string folder = candidate;
    while (folder.size() > 1) {
      if (Files::attributes(folder + "/.git")) return projectName(folder);
      const size_t slash = folder.rfind('/');
      folder.resize(slash == 0 ? 1 : slash);
    }
  }
  return lastName(candidates.front());
}

std::vector<UsageScanner::Pending> UsageScanner::scan(const ClaudePaths& paths, Date now,
                                                      Date cutoff) {
  std::vector<Pending> found;
  found.reserve(files_.size() + 64);
  // `open` is the folder opened, or nothing for a folder of a few entries, where one
  // stat by path costs less than opening and closing it.
  const auto take = [&](const std::string& folder, const Files::OpenFolder* open,
                        const std::string& name) {
    std::string path;
    path.reserve(folder.size() + 1 + name.size());
    path.append(folder).append("/").append(name);
    const auto attributes = open ? open->attributes(name) : Files::attributes(path);
    if (!attributes || attributes->isDirectory || !(attributes->modified > cutoff)) return;
    found.push_back(Pending{
        .path = std::move(path), .size = attributes->size, .modified = attributes->modified});
  };
  const auto subagents = [&](const auto& self, const std::string& folder, int depth) -> void {
    const Files::ListingCache::Names names = listings_.list(folder, now);
    if (names->empty()) return;
    const bool isLarge = names->size() > fewEntries;
    const std::optional<Files::OpenFolder> open =
        isLarge ? Files::OpenFolder::open(folder) : std::nullopt;
    if (isLarge && !open) return;
    for (const std::string& name : *names) {
      if (name.ends_with(".jsonl")) {
        take(folder, open ? &*open : nullptr, name);
      } else if (depth < deepestSubagentFolder && name.find('.') == std::string::npos) {
        // Listing answers nothing for what is not a folder.
        self(self, folder + "/" + name, depth + 1);
      }
    }
  };
  const std::string projects = paths.projectsDir();
  const Files::ListingCache::Names projectNames = listings_.list(projects, now);
  for (const std::string& project : *projectNames) {
    const std::string folder = projects + "/" + project;
    const Files::ListingCache::Names entries = listings_.list(folder, now);
    if (entries->empty()) continue;
    const auto open = Files::OpenFolder::open(folder);
    if (!open) continue;
    for (const std::string& entry : *entries) {
      if (entry.ends_with(".jsonl")) {
        take(folder, &*open, entry);
      } else if (entry == "subagents") {
        // Where early versions kept sub-agents' files.
        subagents(subagents, folder + "/subagents", 0);
      } else if (entry.find('.') == std::string::npos) {
        // A session's own folder: <session>/subagents/, nested deeper for workflows.
        subagents(subagents, folder + "/" + entry + "/subagents", 0);
      }
    }
  }
  listings_.forgetUnused();
  return found;
}

bool UsageScanner::refresh(const ClaudePaths& paths, Date now, uint64_t budget) {
  {
    std::lock_guard guard(lock_);
    if (isRefreshing_) return false;
    isRefreshing_ = true;
  }
  ++scans_;
  const Date cutoff = now - keepDays * 86400;
  const int64_t oldest = slot(cutoff);
  std::vector<Pending> found = scan(paths, now, cutoff);

  std::vector<std::pair<Pending*, FileState*>> pending;
  {
    std::lock_guard guard(lock_);
    for (Pending& file : found) {
      auto [entry, isNew] = files_.try_emplace(file.path);
      FileState& state = entry->second;
      if (isNew) state.number = nextNumber_++;
      state.seenInScan = scans_;
      if (state.isComplete && state.size == file.size && state.modified == file.modified) {
        continue;
      }
      file.readInScan = state.readInScan;
      pending.emplace_back(&file, &state);
    }
  }
  // The files that waited longest go first; of those never read, the newest, so that
  // live sessions count early in a long first scan.
  std::sort(pending.begin(), pending.end(), [](const auto& a, const auto& b) {
    if (a.first->readInScan != b.first->readInScan) {
      return a.first->readInScan < b.first->readInScan;
    }
    return a.first->modified > b.first->modified;
  });

  uint64_t left = budget;
  uint64_t readInCall = 0;
  int64_t skipped = 0;
  bool allRead = true;
  bool isCut = false;
  for (const auto& [file, state] : pending) {
    if (left == 0) {
      allRead = false;
      isCut = true;
      break;
    }
    if (!read(*file, *state, oldest, left, readInCall)) {
      ++skipped;
    } else if (!state->isComplete) {
      isCut = true;
    }
    allRead = allRead && state->isComplete;
  }
  buffer_ = std::string();

  {
    std::lock_guard guard(lock_);
    skipped_ = skipped;
    // An empty or unreadable projects folder more likely passes than every transcript
    // going at once; forgetting them would count everything again later.
    if (!found.empty()) {
      for (auto entry = files_.begin(); entry != files_.end();) {
        if (entry->second.seenInScan == scans_) {
          ++entry;
          continue;
        }
        forget(entry->first, entry->second);
        entry = files_.erase(entry);
      }
    }
    if (now - expiredAt_ >= 60 || now < expiredAt_) {
      expiredAt_ = now;
      expire(oldest);
    }
    if (allRead) hasRead_ = true;
  }
  nameProjects();
  save(oldest);
  if (readInCall >= trimAfterBytes) platform::releaseFreeMemory();
  std::lock_guard guard(lock_);
  isRefreshing_ = false;
  return isCut;
}

bool UsageScanner::read(const Pending& file, FileState& state, int64_t oldest, uint64_t& left,
                        uint64_t& readInCall) {
  // A file shorter than what was read was truncated or replaced: it is read again, once
  // what it counted is taken back.
  if (file.size < state.offset) {
    std::lock_guard guard(lock_);
    takeBack(state);
  }
  const auto opened = Files::OpenFile::open(file.path);
  if (!opened) return false;
  const uint64_t size = opened->size();
  uint64_t at = state.offset;
  bool isComplete = true;
  uint64_t want = pieceBytes;
  bool passing = false;  // inside a line too long to be a reply
  while (at < size) {
    // The budget may end inside a line longer than a piece; unless it is the first line
    // of this call, it waits for the next call, or it would never be read.
    const bool mayExceed = readInCall == 0 && want > pieceBytes;
    const uint64_t room = mayExceed || passing ? size - at : left;
    if (room == 0) {
      isComplete = false;
      break;
    }
    const uint64_t length = std::min({want, size - at, room});
    if (buffer_.size() < length + simdjson::SIMDJSON_PADDING) {
      buffer_.resize(length + simdjson::SIMDJSON_PADDING);
    }
    const size_t got = opened->readAt(at, buffer_.data(), length);
    const std::string_view bytes(buffer_.data(), got);
    const size_t lastFeed = bytes.rfind('\n');
    if (passing) {
      // The long line ends at the first feed; the lines after it are read as usual.
      const size_t end = bytes.find('\n');
      at += end == std::string_view::npos ? got : end + 1;
      passing = end == std::string_view::npos;
      if (got < length) break;
      continue;
    }
    if (lastFeed == std::string_view::npos) {
      // A line still being written waits for the next refresh.
      if (got < length || at + got >= size) break;
      if (length == room && !mayExceed && readInCall > 0) {
        isComplete = false;
        break;
      }
      if (length >= largestRead) {
        passing = true;
        at += got;
        want = pieceBytes;
        continue;
      }
      want = std::min<uint64_t>(std::max<uint64_t>(length, pieceBytes) * 2, largestRead);
      continue;
    }
    countLines(bytes.substr(0, lastFeed + 1), buffer_.size(), state, oldest);
    at += lastFeed + 1;
    left -= std::min<uint64_t>(left, lastFeed + 1);
    readInCall += lastFeed + 1;
    want = pieceBytes;
  }
  std::lock_guard guard(lock_);
  state.offset = at;
  state.size = file.size;
  state.modified = file.modified;
  state.isComplete = isComplete;
  state.readInScan = scans_;
  state.changed = true;
  return true;
}

void UsageScanner::countLines(std::string_view lines, size_t capacity, FileState& state,
                              int64_t oldest) {
  // Most bytes are tool output in lines without usage figures: finding the few marks in
  // the whole run beats looking at every line.
  const char* const base = lines.data();
  const char* const end = base + lines.size();
  const char* at = base;
  while (at < end) {
    const auto* hit = static_cast<const char*>(
        memmem(at, static_cast<size_t>(end - at), usageMark.data(), usageMark.size()));
    if (!hit) break;
    const char* start = at;
    if (hit > at) {
      if (const auto* feed = static_cast<const char*>(memrchr(at, '\n', hit - at))) {
        start = feed + 1;
      }
    }
    const auto* stop = static_cast<const char*>(memchr(hit, '\n', end - hit));
    const std::string_view line(start, static_cast<size_t>(stop - start));
    at = stop + 1;
    if (!contains(line, assistantMark)) continue;
    Reply reply;
    if (!reply.parse(simdjson::padded_string_view(start, line.size(),
                                                  capacity - static_cast<size_t>(start - base)))) {
      continue;
    }
    if (reply.type != "assistant" || !reply.hasUsage || !reply.timestamp) continue;
    std::lock_guard guard(lock_);
    count(reply, state, oldest);
  }
}

void UsageScanner::count(const Reply& reply, FileState& file, int64_t oldest) {
  if (reply.model == "<synthetic>") return;
  const auto at = Calendar::parseInternetDateTime(*reply.timestamp);
  if (!at) return;
  const int64_t t = slot(*at);
  // Older replies belong to buckets already dropped; a transcript resumed after weeks
  // is read from the start again, and must not bring them back.
  if (t < oldest) return;
  lookup_.t = t;
  lookup_.sid.assign(reply.sid.value_or(unknown));
  lookup_.cwd.assign(reply.cwd.value_or(unknown));
  lookup_.model.assign(reply.model.value_or(unknown));
  lookup_.entry.assign(reply.entry.value_or(unknown));
  const IndexStore::Counts counts = reply.counts();
  const std::string_view id = reply.id.value_or("");
  // An id that could not be listed in the store could not be kept from counting twice
  // after a restart.
  if (id.empty() || id.find('\n') != std::string_view::npos) {
    if (!id.empty()) return;
    add(bucketFor(lookup_), counts, 1);
    return;
  }
  auto [entry, isNew] = seen_.try_emplace(idHash(id));
  Seen& seen = entry->second;
  if (!isNew) {
    // Claude Code writes a reply once per content block, early copies with part of the
    // output; the same reply comes back in the file of a resumed session. The fullest
    // copy counts, once.
    if (!seen.bucket || IndexStore::tokens(counts) <= IndexStore::tokens(seen.v)) return;
    add(*seen.bucket, seen.v, -1);
  }
  Bucket& bucket = bucketFor(lookup_);
  add(bucket, counts, 1);
  seen.bucket = &bucket;
  seen.v = counts;
  if (isNew || seen.file != file.number) {
    seen.file = file.number;
    file.seen.append(id).push_back('\n');
  }
}

UsageScanner::Bucket& UsageScanner::bucketFor(const Key& key) {
  auto found = buckets_.find(key);
  if (found == buckets_.end()) {
    found = buckets_.emplace(key, IndexStore::Counts{}).first;
    if (!cwdProject_.contains(key.cwd)) newCwds_.insert(key.cwd);
  }
  return *found;
}

void UsageScanner::add(Bucket& bucket, const IndexStore::Counts& counts, int64_t sign) {
  for (size_t i = 0; i < counts.size(); ++i) bucket.second[i] += sign * counts[i];
  changedBuckets_.insert(&bucket);
}

void UsageScanner::takeBack(FileState& file) {
  std::string kept;
  eachId(file.seen, [&](std::string_view id) {
    const auto entry = seen_.find(idHash(id));
    if (entry == seen_.end() || entry->second.file != file.number) return;
    if (!entry->second.bucket) {
      // What it added is not known, so it cannot be taken back; it stays counted.
      kept.append(id).push_back('\n');
      return;
    }
    add(*entry->second.bucket, entry->second.v, -1);
    seen_.erase(entry);
  });
  file.seen = std::move(kept);
  file.offset = 0;
  file.changed = true;
}

void UsageScanner::forget(const std::string& path, FileState& file) {
  eachId(file.seen, [&](std::string_view id) {
    const auto entry = seen_.find(idHash(id));
    if (entry != seen_.end() && entry->second.file == file.number) seen_.erase(entry);
  });
  forgotten_.push_back(path);
}

void UsageScanner::expire(int64_t oldest) {
  // Replies first: they point into the buckets about to go.
  std::erase_if(seen_, [&](const auto& entry) {
    return entry.second.bucket && entry.second.bucket->first.t < oldest;
  });
  for (auto entry = buckets_.begin(); entry != buckets_.end();) {
    if (entry->first.t < oldest) {
      changedBuckets_.erase(&*entry);
      entry = buckets_.erase(entry);
    } else {
      ++entry;
    }
  }
}

void UsageScanner::nameProjects() {
  std::unordered_set<std::string> cwds;
  {
    std::lock_guard guard(lock_);
    cwds.swap(newCwds_);
  }
  if (cwds.empty()) return;
  // Looking for each checkout asks the file system; done once per folder, outside the lock.
  std::unordered_map<std::string, std::string> names;
  for (const std::string& cwd : cwds) names.emplace(cwd, projectOf(cwd));
  std::lock_guard guard(lock_);
  for (auto& [cwd, name] : names) {
    cwdProject_[cwd] = name;
    newNames_[cwd] = std::move(name);
  }
}

void UsageScanner::save(int64_t oldest) {
  std::unordered_map<std::string, IndexStore::FileOffset> files;
  IndexStore::Tally buckets;
  std::unordered_map<std::string, std::string> names;
  std::vector<std::string> forget;
  std::shared_ptr<IndexStore> store;
  {
    std::lock_guard guard(lock_);
    store = store_;
    for (auto& [path, state] : files_) {
      if (!state.changed) continue;
      state.changed = false;
      if (!store) continue;
      IndexStore::FileOffset& saved = files[path];
      saved.offset = state.offset;
      eachId(state.seen, [&](std::string_view id) { saved.ids.emplace_back(id); });
    }
    if (store) {
      for (const Bucket* bucket : changedBuckets_) {
        if (bucket->first.t >= oldest) buckets.insert(*bucket);
      }
      if (needsVersion_) files[std::string(versionRow)] = {formatVersion, {}};
      needsVersion_ = false;
    }
    changedBuckets_.clear();
    names.swap(newNames_);
    forget.swap(forgotten_);
  }
  if (!store) return;
  if (files.empty() && buckets.empty() && names.empty() && forget.empty()) return;
  store->saveUsage(files, buckets, names, forget, oldest);
}

void UsageScanner::store(Date now, std::shared_ptr<IndexStore> store) {
  if (!store) return;
  std::unordered_map<std::string, IndexStore::FileOffset> offsets = store->offsets("usage");
  const auto version = offsets.find(std::string(versionRow));
  if (version == offsets.end() || version->second.offset != formatVersion) {
    // Counted by other rules: everything is read again, and the old rows go first.
    std::vector<std::string> stale;
    stale.reserve(offsets.size());
    for (const auto& [path, offset] : offsets) stale.push_back(path);
    store->saveUsage({}, {}, {}, stale, std::numeric_limits<int64_t>::max());
    std::lock_guard guard(lock_);
    store_ = std::move(store);
    needsVersion_ = true;
    return;
  }
  offsets.erase(version);
  IndexStore::Tally buckets = store->usageBuckets(slot(now - keepDays * 86400));
  std::unordered_map<std::string, std::string> names = store->projectNames();
  std::lock_guard guard(lock_);
  for (auto& [path, offset] : offsets) {
    FileState state{.offset = offset.offset, .number = nextNumber_++};
    for (const std::string& id : offset.ids) {
      seen_.try_emplace(idHash(id), Seen{.file = state.number});
      state.seen.append(id).push_back('\n');
    }
    files_.insert_or_assign(path, std::move(state));
  }
  buckets_ = std::move(buckets);
  cwdProject_ = std::move(names);
  needsVersion_ = false;
  store_ = std::move(store);
}

IndexStore::Tally UsageScanner::buckets() const {
  std::lock_guard guard(lock_);
  return buckets_;
}

std::unordered_map<std::string, std::string> UsageScanner::projectNames() const {
  std::lock_guard guard(lock_);
  return cwdProject_;
}

int64_t UsageScanner::skippedFiles() const {
  std::lock_guard guard(lock_);
  return skipped_;
}

bool UsageScanner::hasRead() const {
  std::lock_guard guard(lock_);
  return hasRead_;
}

}  // namespace tessel
