#include "claude/command_index.h"

#include <unordered_set>

#include "claude/transcript.h"
#include "usage/index_store.h"
#include "util/files.h"
#include "util/path.h"
#include "util/text.h"

namespace tessel {
namespace {

constexpr const char* origin = "history";

}  // namespace

CommandIndex::CommandIndex(std::shared_ptr<IndexStore> store, Date now) : store_(std::move(store)) {
  if (!store_) return;
  for (auto& [path, offset] : store_->offsets(origin)) offsets_[path] = offset.offset;
  for (auto& event : store_->toolEvents(origin, now - keepDays * 86400)) {
    std::string id = event.id;
    commands_.insert_or_assign(std::move(id), std::move(event));
  }
}

void CommandIndex::refresh(const ClaudePaths& paths, Date now) {
  const Date cutoff = now - keepDays * 86400;
  // What is known is copied out so the files are read without the lock.
  std::unordered_map<std::string, uint64_t> offsets;
  std::unordered_set<std::string> known;
  {
    std::lock_guard guard(lock_);
    offsets = offsets_;
    known.reserve(commands_.size());
    for (const auto& [id, event] : commands_) known.insert(id);
  }
  std::unordered_map<std::string, uint64_t> kept;
  std::unordered_map<std::string, ToolEvent> found;
  std::vector<Transcript::Result> results;
  const auto wanted = [&](std::string_view id) {
    const std::string key(id);
    return found.contains(key) || known.contains(key);
  };
  bool changed = false;
  for (const std::string& path : Transcript::files(paths, true, listings_, now)) {
    const auto read = offsets.find(path);
    uint64_t& offset = kept[path];
    offset = read == offsets.end() ? 0 : read->second;
    const auto attributes = Files::attributes(path);
    if (!attributes || attributes->isDirectory || !(attributes->modified > cutoff)) continue;
    const uint64_t size = attributes->size;
    // A file shorter than what was read was truncated or replaced: read it again.
    const uint64_t start = size >= offset ? offset : 0;
    if (size == start) continue;
    const uint64_t from = start != 0 || size <= firstReadBytes ? start : size - firstReadBytes;
    const auto file = Files::OpenFile::open(path);
    if (!file) continue;
    const std::string bytes = file->read(from, size);
    // A line still being written waits for the next refresh.
    std::string repaired;
    const auto lines = Text::wholeLines(bytes, repaired);
    if (!lines) continue;
    const std::string_view text = lines->text;
    offset = from + lines->length;
    std::string_view name = Path::lastComponent(path);
    name.remove_suffix(6);  // ".jsonl"
    for (auto& event : Transcript::events(text, std::string(name), true, wanted, results)) {
      std::string id = event.id;
      found.insert_or_assign(std::move(id), std::move(event));
    }
    changed = true;
  }

  std::vector<ToolEvent> events;
  {
    std::lock_guard guard(lock_);
    bool isChanged = !found.empty();
    for (auto& [id, event] : found) commands_.insert_or_assign(id, std::move(event));
    for (const auto& result : results) {
      const auto event = commands_.find(result.toolUseId);
      if (event == commands_.end()) continue;
      if (!event->second.end || *event->second.end != result.end) {
        event->second.end = result.end;
        event->second.isError = result.isError;
        isChanged = true;
      }
    }
    if (std::erase_if(commands_,
                      [&](const auto& entry) { return !(entry.second.start > cutoff); }) > 0) {
      isChanged = true;
    }
    if (isChanged) ++changes_;
    offsets_ = std::move(kept);
    if (!changed || !store_) return;
    events.reserve(commands_.size());
    for (const auto& [id, event] : commands_) events.push_back(event);
    offsets = offsets_;
  }
  store_->saveToolEvents(origin, events, offsets);
}

uint64_t CommandIndex::changes() const {
  std::lock_guard guard(lock_);
  return changes_;
}

std::vector<ToolEvent> CommandIndex::all() const {
  std::lock_guard guard(lock_);
  std::vector<ToolEvent> events;
  events.reserve(commands_.size());
  for (const auto& [id, event] : commands_) events.push_back(event);
  return events;
}

}  // namespace tessel
