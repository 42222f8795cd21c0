#include "codex/codex_index.h"

#include <simdjson.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "codex/rollout_reader.h"
#include "platform/memory.h"
#include "platform/process_info.h"
#include "util/json_object.h"
#include "util/path.h"
#include "util/text.h"

namespace tessel {
namespace {

constexpr const char* origin = "codex";
constexpr const char* limitsKind = "codexLimits";
// Rollouts are read in pieces of this size, so a first scan of a large home needs no
// more memory than one piece and its longest line. A piece that stays in the processor's
// cache from the copy to the scan of its lines reads fastest (1 MiB beat 256 KiB and 4 MiB).
constexpr size_t chunkBytes = 1 << 20;
// Date folders are three deep; the limit keeps a folder linked into itself from
// walking forever.
constexpr int deepestFolder = 6;
// After reading this much in one call, free memory goes back to the system.
constexpr uint64_t trimAfterBytes = 64 << 20;

int64_t oldestSlot(Date now) {
  const double cutoff = (now - CodexIndex::keepDays * 86400).secondsSince1970();
  const auto slot = static_cast<double>(CodexIndex::slotSeconds);
  return static_cast<int64_t>(std::floor(cutoff / slot)) * CodexIndex::slotSeconds;
}

bool isZero(const IndexStore::Counts& counts) {
  return std::all_of(counts.begin(), counts.end(), [](int64_t count) { return count == 0; });
}

// The titles of session_index.jsonl: the last entry for an id wins, a line still being
// written is left for the next read.
std::map<std::string, std::string> parseTitles(std::string_view text) {
  std::map<std::string, std::string> titles;
  const size_t lastFeed = text.rfind('\n');
  if (lastFeed == std::string_view::npos) return titles;
  for (const std::string_view line : Text::nonEmptyLines(text.substr(0, lastFeed))) {
    const nlohmann::json entry = Json::parse(line);
    if (!entry.is_object()) continue;
    const auto id = Json::stringAt(entry, "id");
    const auto name = Json::stringAt(entry, "thread_name");
    if (id && name && !name->empty()) titles[*id] = *name;
  }
  return titles;
}

}  // namespace

struct CodexIndex::Pending {
  std::string path;
  std::string id;
  uint64_t size = 0;
  Date modified{};
  uint64_t readInScan = 0;
};

// What one refresh changed, for saving.
struct CodexIndex::Changes {
  std::unordered_set<std::string> sessions;
  std::vector<std::string> forget;
  // Keys whose counts changed; a key no longer held was taken back and saves as zeros.
  std::unordered_set<IndexStore::Bucket> buckets;
  bool commands = false;
  bool limits = false;
};

std::optional<std::string> CodexIndex::sessionID(std::string_view fileName) {
  if (!fileName.ends_with(".jsonl")) return std::nullopt;
  fileName.remove_suffix(6);
  // The id is the last five dash-separated pieces.
  size_t start = fileName.size();
  for (int pieces = 0; pieces < 5; ++pieces) {
    const size_t dash = start == 0 ? std::string_view::npos : fileName.rfind('-', start - 1);
    if (dash == std::string_view::npos) {
      if (pieces < 4) return std::nullopt;
      start = 0;
      break;
    }
    start = pieces < 4 ? dash : dash + 1;
    if (pieces == 4) break;
  }
  const std::string_view id = fileName.substr(start);
  if (id.size() != 36) return std::nullopt;
  return std::string(id);
}

void CodexIndex::store(Date now, std::shared_ptr<IndexStore> store) {
  if (!store) return;
  std::unordered_map<std::string, CodexSession> sessions;
  for (const nlohmann::json& document : store->codexSessions()) {
    if (auto session = codexSessionFromJson(document)) {
      std::string id = session->id;
      sessions.insert_or_assign(std::move(id), std::move(*session));
    }
  }
  IndexStore::Tally buckets = store->codexBuckets(oldestSlot(now));
  std::erase_if(buckets, [](const auto& entry) { return isZero(entry.second); });
  std::unordered_map<std::string, ToolEvent> commands;
  for (ToolEvent& event : store->toolEvents(origin, now - keepCommandsDays * 86400)) {
    std::string id = event.id;
    commands.insert_or_assign(std::move(id), std::move(event));
  }
  std::vector<IndexStore::PlanReading> readings;
  std::optional<CodexLimits> latest;
  for (const std::string& data : store->readings(limitsKind, now - keepReadingsDays * 86400)) {
    auto limits = codexLimitsFromJson(Json::parse(data));
    if (!limits) continue;
    if (auto reading = limits->planReading()) readings.push_back(*reading);
    latest = std::move(limits);
  }
  std::lock_guard guard(lock_);
  sessions_ = std::move(sessions);
  buckets_ = std::move(buckets);
  commands_ = std::move(commands);
  readings_ = std::move(readings);
  latest_ = std::move(latest);
  store_ = std::move(store);
}

void CodexIndex::refreshTitles(const CodexPaths& paths) {
  const std::string file = paths.indexFile();
  const auto attributes = Files::attributes(file);
  {
    std::lock_guard guard(lock_);
    // A missing index leaves the titles as they were: it may be in the middle of being
    // replaced.
    if (!attributes ||
        (titlesModified_ == attributes->modified && titlesSize_ == attributes->size)) {
      return;
    }
  }
  const auto text = Files::read(file);
  if (!text) return;
  auto titles = parseTitles(*text);
  std::lock_guard guard(lock_);
  titles_ = std::move(titles);
  titlesModified_ = attributes->modified;
  titlesSize_ = attributes->size;
}

std::vector<CodexIndex::Pending> CodexIndex::scan(const CodexPaths& paths, Date now) {
  const Date cutoff = now - keepDays * 86400;
  std::vector<Pending> found;
  found.reserve(files_.size() + 64);
  const auto walk = [&](const auto& self, const std::string& folder, int depth) -> void {
    const Files::ListingCache::Names names = listings_.list(folder, now);
    if (names->empty()) return;
    const auto open = Files::OpenFolder::open(folder);
    if (!open) return;
    for (const std::string& name : *names) {
      if (name.starts_with("rollout-") && name.ends_with(".jsonl")) {
        auto id = sessionID(name);
        if (!id) continue;
        const auto attributes = open->attributes(name);
        if (!attributes || attributes->isDirectory || !(attributes->modified > cutoff)) continue;
        std::string path;
        path.reserve(folder.size() + 1 + name.size());
        path.append(folder).append("/").append(name);
        found.push_back(Pending{.path = std::move(path),
                                .id = std::move(*id),
                                .size = attributes->size,
                                .modified = attributes->modified});
      } else if (depth < deepestFolder && name.find('.') == std::string::npos) {
        const auto attributes = open->attributes(name);
        if (attributes && attributes->isDirectory) self(self, folder + "/" + name, depth + 1);
      }
    }
  };
  walk(walk, paths.sessionsDir(), 0);
  listings_.forgetUnused();
  // Of two files claiming one id, the later modified.
  std::sort(found.begin(), found.end(), [](const Pending& a, const Pending& b) {
    if (a.id != b.id) return a.id < b.id;
    return a.modified > b.modified;
  });
  found.erase(std::unique(found.begin(), found.end(),
                          [](const Pending& a, const Pending& b) { return a.id == b.id; }),
              found.end());
  return found;
}

void CodexIndex::refresh(const CodexPaths& paths, Date now, double every, uint64_t budget) {
  {
    std::lock_guard guard(lock_);
    if (isRefreshing_ || (hasRead_ && now - lastScan_ < every)) return;
    isRefreshing_ = true;
    lastScan_ = now;
  }
  ++scans_;
  refreshTitles(paths);
  std::vector<Pending> found = scan(paths, now);
  std::vector<const Pending*> pending;
  for (Pending& file : found) {
    // Every file found is marked seen, read or not, so that what the budget leaves
    // waiting is neither dropped nor forgotten.
    FileState& state = files_[file.path];
    state.seenInScan = scans_;
    if (state.isComplete && state.size == file.size && state.modified == file.modified) {
      continue;
    }
    file.readInScan = state.readInScan;
    pending.push_back(&file);
  }
  // The files that waited longest go first; of those never read, the newest, so that
  // live sessions appear early in a long first scan.
  std::sort(pending.begin(), pending.end(), [](const Pending* a, const Pending* b) {
    if (a->readInScan != b->readInScan) return a->readInScan < b->readInScan;
    return a->modified > b->modified;
  });

  Changes changes;
  uint64_t left = budget;
  uint64_t readInCall = 0;
  std::string buffer;
  for (const Pending* waiting : pending) {
    if (left == 0) break;
    const Pending& file = *waiting;
    CodexSession start{.id = file.id, .path = file.path};
    bool wasForgotten = false;
    {
      std::lock_guard guard(lock_);
      const auto known = sessions_.find(file.id);
      if (known != sessions_.end() && known->second.path == file.path) {
        start = known->second;
      } else {
        // A session forgotten while its file was away comes back read from the start:
        // what it brought the first time is taken back first.
        wasForgotten = forgotten_.erase(file.id) > 0;
      }
    }
    bool isReset = wasForgotten;
    // A file shorter than what was read was truncated or replaced: read it again.
    if (file.size < start.offset) {
      isReset = true;
      start = CodexSession{.id = file.id, .path = file.path};
    }
    const auto opened = Files::OpenFile::open(file.path);
    if (!opened) {
      // Gone again before it could be read: it stays forgotten, its usage still held.
      if (wasForgotten) {
        std::lock_guard guard(lock_);
        forgotten_.insert(file.id);
      }
      continue;
    }
    Reader reader(std::move(start));
    const uint64_t size = opened->size();
    uint64_t at = reader.session.offset;
    bool isComplete = true;
    uint64_t want = chunkBytes;
    bool passing = false;  // inside a line too long to be an event
    while (at < size) {
      // The budget may end inside a line longer than a piece; unless it is the first line
      // of this call, it waits for the next call, or it would never be read.
      const bool mayExceed = readInCall == 0 && want > chunkBytes;
      const uint64_t room = mayExceed || passing ? size - at : left;
      if (room == 0) {
        isComplete = false;
        break;
      }
      const uint64_t length = std::min({want, size - at, room});
      // The parser's padding after the bytes lets every line be parsed where it lies.
      if (buffer.size() < length + simdjson::SIMDJSON_PADDING) {
        buffer.resize(length + simdjson::SIMDJSON_PADDING);
      }
      const size_t got = opened->readAt(at, buffer.data(), length);
      const std::string_view bytes(buffer.data(), got);
      if (passing) {
        // The long line ends at the first feed; the lines after it are read as usual. One
        // still being written is passed over again once it is whole.
        const size_t end = bytes.find('\n');
        if (end == std::string_view::npos) {
          if (got < length || at + got >= size) break;
          at += got;
          continue;
        }
        at += end + 1;
        passing = false;
        reader.session.offset = at;
        continue;
      }
      const size_t lastFeed = bytes.rfind('\n');
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
          want = chunkBytes;
          continue;
        }
        want = std::min<uint64_t>(std::max<uint64_t>(length, chunkBytes) * 2, largestRead);
        continue;
      }
      reader.read(bytes.substr(0, lastFeed + 1), at == 0, buffer.size());
      at += lastFeed + 1;
      left -= std::min<uint64_t>(left, lastFeed + 1);
      readInCall += lastFeed + 1;
      reader.session.offset = at;
      want = chunkBytes;
    }
    std::lock_guard guard(lock_);
    merge(std::move(reader), file, isReset, now - keepCommandsDays * 86400, changes);
    files_[file.path] = FileState{.size = file.size,
                                  .modified = file.modified,
                                  .isComplete = isComplete,
                                  .readInScan = scans_,
                                  .seenInScan = scans_};
  }
  // Files left waiting keep their old state, so the next scan finds them still to read.
  const bool someGone = std::erase_if(files_, [&](const auto& entry) {
                          return entry.second.seenInScan != scans_;
                        }) > 0;
  buffer = std::string();

  {
    std::lock_guard guard(lock_);
    // An empty or unreadable sessions folder more likely passes than every file going at
    // once; forgetting would read everything again later.
    // Once one scan has looked for every session's file, each is in files_, so until a
    // file goes there is nothing to forget.
    if (!found.empty() && (someGone || !lookedForAll_)) {
      forgetUnseen(changes);
      lookedForAll_ = true;
    }
    expire(now, changes);
    if (changes.limits && latest_) {
      if (auto reading = latest_->planReading()) readings_.push_back(*reading);
    }
    hasRead_ = true;
  }
  save(now, changes);
  if (readInCall >= trimAfterBytes) platform::releaseFreeMemory();
  std::lock_guard guard(lock_);
  isRefreshing_ = false;
}

void CodexIndex::merge(Reader&& reader, const Pending& file, bool isReset, Date commandsFrom,
                       Changes& changes) {
  const std::string& id = file.id;
  if (isReset) {
    // What the old content contributed goes; reading from the start adds it back.
    for (auto entry = buckets_.begin(); entry != buckets_.end();) {
      if (entry->first.sid == id) {
        changes.buckets.insert(entry->first);
        entry = buckets_.erase(entry);
      } else {
        ++entry;
      }
    }
    changes.commands |= std::erase_if(commands_, [&](const auto& entry) {
                          return entry.second.sessionId == id;
                        }) > 0;
  }
  for (const auto& [key, counts] : reader.buckets) {
    IndexStore::Counts& held = buckets_[key];
    for (size_t i = 0; i < held.size(); ++i) held[i] += counts[i];
    changes.buckets.insert(key);
  }
  // Calls too old to keep are not taken in at all: on a first scan of weeks of rollouts
  // they would be most of the map, only to expire a moment later.
  for (auto& [callId, event] : reader.commands) {
    if (event.start < commandsFrom) continue;
    commands_.insert_or_assign(callId, std::move(event));
    changes.commands = true;
  }
  std::string part;
  for (const auto& [callId, ended] : reader.ended) {
    // A code cell's calls end with the cell: "<id>", "<id>#2", ...
    for (int n = 1;; ++n) {
      Reader::partID(callId, n, part);
      const auto event = commands_.find(part);
      if (event == commands_.end()) break;
      if (event->second.end != ended.end || event->second.isError != ended.isFailed) {
        event->second.end = ended.end;
        event->second.isError = ended.isFailed;
        changes.commands = true;
      }
    }
  }
  for (CodexLimits& limits : reader.limits) {
    if (!latest_ || limits.at >= latest_->at) {
      latest_ = std::move(limits);
      changes.limits = true;
    }
  }
  sessions_.insert_or_assign(id, std::move(reader.session));
  changes.sessions.insert(id);
}

void CodexIndex::forgetUnseen(Changes& changes) {
  // files_ holds only the files this scan found.
  for (auto entry = sessions_.begin(); entry != sessions_.end();) {
    if (files_.contains(entry->second.path)) {
      ++entry;
      continue;
    }
    changes.forget.push_back(entry->first);
    changes.sessions.erase(entry->first);
    forgotten_.insert(entry->first);
    entry = sessions_.erase(entry);
  }
}

void CodexIndex::expire(Date now, Changes& changes) {
  if (now - expiredAt_ < 60 && now >= expiredAt_) return;
  expiredAt_ = now;
  const Date commandsFrom = now - keepCommandsDays * 86400;
  changes.commands |= std::erase_if(commands_, [&](const auto& entry) {
                        return !(entry.second.start >= commandsFrom);
                      }) > 0;
  const int64_t oldest = oldestSlot(now);
  std::erase_if(buckets_, [&](const auto& entry) { return entry.first.t < oldest; });
  const Date readingsFrom = now - keepReadingsDays * 86400;
  std::erase_if(readings_, [&](const auto& reading) { return !(reading.t >= readingsFrom); });
}

void CodexIndex::save(Date now, const Changes& changes) {
  std::vector<IndexStore::SessionRow> sessions;
  IndexStore::Tally buckets;
  std::vector<ToolEvent> events;
  std::unordered_map<std::string, uint64_t> offsets;
  std::optional<CodexLimits> latest;
  std::shared_ptr<IndexStore> store;
  {
    std::lock_guard guard(lock_);
    if (!store_) return;
    store = store_;
    for (const std::string& id : changes.sessions) {
      const auto session = sessions_.find(id);
      if (session != sessions_.end()) sessions.push_back({id, toJson(session->second)});
    }
    const int64_t oldest = oldestSlot(now);
    for (const IndexStore::Bucket& key : changes.buckets) {
      if (key.t < oldest) continue;
      const auto held = buckets_.find(key);
      buckets[key] = held == buckets_.end() ? IndexStore::Counts{} : held->second;
    }
    if (changes.commands) {
      events.reserve(commands_.size());
      for (const auto& [id, event] : commands_) events.push_back(event);
      for (const auto& [id, session] : sessions_) offsets[session.path] = session.offset;
    }
    if (changes.limits) latest = latest_;
  }
  // Calls first: should the second write fail, the offsets it holds stay behind, and the
  // calls read again are the same calls.
  if (changes.commands) store->saveToolEvents(origin, events, offsets);
  if (!sessions.empty() || !changes.forget.empty() || !buckets.empty()) {
    store->saveCodex(sessions, changes.forget, buckets, oldestSlot(now));
  }
  if (latest) {
    store->addReading(limitsKind, latest->at, toJson(*latest).dump(),
                      now - keepReadingsDays * 86400);
  }
}

std::vector<CodexSession> CodexIndex::allSessions() const {
  std::vector<CodexSession> sessions;
  {
    std::lock_guard guard(lock_);
    sessions.reserve(sessions_.size());
    for (const auto& [id, session] : sessions_) sessions.push_back(session);
  }
  std::sort(sessions.begin(), sessions.end(),
            [](const CodexSession& a, const CodexSession& b) { return a.id < b.id; });
  return sessions;
}

std::vector<ToolEvent> CodexIndex::allCommands() const {
  std::lock_guard guard(lock_);
  std::vector<ToolEvent> events;
  events.reserve(commands_.size());
  for (const auto& [id, event] : commands_) events.push_back(event);
  return events;
}

std::optional<CodexLimits> CodexIndex::limits() const {
  std::lock_guard guard(lock_);
  return latest_;
}

std::map<std::string, std::string> CodexIndex::titles() const {
  std::lock_guard guard(lock_);
  return titles_;
}

std::vector<IndexStore::PlanReading> CodexIndex::readings() const {
  std::lock_guard guard(lock_);
  return readings_;
}

IndexStore::Tally CodexIndex::buckets() const {
  std::lock_guard guard(lock_);
  return buckets_;
}

std::map<std::string, int32_t> CodexIndex::openSessions(const std::vector<int32_t>& pids,
                                                        const CodexPaths& paths) {
  std::string locks = Files::resolved(paths.locksDir()).value_or(paths.locksDir());
  locks += '/';
  std::map<std::string, int32_t> open;
  for (const int32_t pid : pids) {
    for (const std::string& path : platform::openFiles(pid)) {
      if (!path.starts_with(locks) || !path.ends_with(".lock")) continue;
      std::string_view name = Path::lastComponent(path);
      name.remove_suffix(5);
      if (name.size() == 36) open[std::string(name)] = pid;
    }
  }
  return open;
}

}  // namespace tessel
