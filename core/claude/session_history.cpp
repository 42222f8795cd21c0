#include "claude/session_history.h"

#include <unordered_set>

#include "claude/transcript.h"
#include "usage/index_store.h"
#include "util/files.h"
#include "util/path.h"

namespace tessel {

SessionHistory::SessionHistory(std::shared_ptr<IndexStore> store) : store_(std::move(store)) {
  if (!store_) return;
  for (const auto& row : store_->historySessions()) {
    if (auto session = historySessionFromJson(row)) {
      std::string id = session->id;
      known_.insert_or_assign(std::move(id), std::move(*session));
    }
  }
}

void SessionHistory::refresh(const ClaudePaths& paths, Date now, double every) {
  std::unordered_map<std::string, HistorySession> sessions;
  {
    std::lock_guard guard(lock_);
    if (now - lastScan_ < every) return;
    lastScan_ = now;
    sessions = known_;
  }
  const Date cutoff = now - keepDays * 86400;
  std::unordered_set<std::string> seen;
  std::vector<IndexStore::SessionRow> changed;
  bool isChanged = false;
  for (const std::string& path : Transcript::files(paths, false, listings_, now)) {
    const auto attributes = Files::attributes(path);
    if (!attributes || attributes->isDirectory || !(attributes->modified > cutoff)) continue;
    std::string_view name = Path::lastComponent(path);
    name.remove_suffix(6);  // ".jsonl"
    const std::string id(name);
    seen.insert(id);
    HistorySession& session = sessions[id];
    // New, moved to another project, or rewritten shorter: start over.
    if (session.path != path || attributes->size < session.offset) {
      session = HistorySession{.id = id, .path = path, .lastActivity = attributes->modified};
      isChanged = true;
    }
    if (attributes->size == session.offset) continue;
    const auto file = Files::OpenFile::open(path);
    if (!file) continue;
    const uint64_t end = std::min(attributes->size, session.offset + chunkBytes);
    const std::string bytes = file->read(session.offset, end);
    if (bytes.empty()) continue;
    session.scan(bytes);
    session.offset += bytes.size();
    session.lastActivity = attributes->modified;
    changed.push_back({.id = id, .data = toJson(session)});
    isChanged = true;
  }
  std::vector<std::string> forgotten;
  std::erase_if(sessions, [&](const auto& entry) {
    if (seen.contains(entry.first)) return false;
    forgotten.push_back(entry.first);
    return true;
  });
  {
    std::lock_guard guard(lock_);
    known_ = std::move(sessions);
    if (isChanged || !forgotten.empty()) ++changes_;
  }
  if (store_ && (!changed.empty() || !forgotten.empty())) {
    store_->saveHistorySessions(changed, forgotten);
  }
}

uint64_t SessionHistory::changes() const {
  std::lock_guard guard(lock_);
  return changes_;
}

std::vector<HistorySession> SessionHistory::all() const {
  std::lock_guard guard(lock_);
  std::vector<HistorySession> sessions;
  sessions.reserve(known_.size());
  for (const auto& [id, session] : known_) sessions.push_back(session);
  return sessions;
}

}  // namespace tessel
