#include "claude/desktop_session_store.h"

#include <chrono>
#include <nlohmann/json.hpp>
#include <unordered_set>

#include "util/files.h"
#include "util/json_object.h"

namespace tessel {
namespace {

using nlohmann::json;

// Never equal to a real time, so the file is read (and fails) rather than trusted.
Date modificationTime(const std::string& path) {
  return Files::modificationTime(path).value_or(Date::distantPast());
}

std::optional<SessionRecord> readRecord(const std::string& path, const std::string& name) {
  const std::optional<std::string> bytes = Files::read(path);
  if (!bytes) return std::nullopt;
  const json object = json::parse(*bytes, nullptr, false);
  if (!object.is_object()) return std::nullopt;
  std::optional<std::string> id = Json::stringAt(object, "cliSessionId");
  if (!id) return std::nullopt;

  SessionRecord record;
  record.id = std::move(*id);
  record.desktopId = Json::stringAt(object, "sessionId").value_or(name.substr(0, name.size() - 5));
  record.title = Json::stringAt(object, "title").value_or("");
  if (record.title.empty()) record.title = DesktopSessionStore::untitled;
  record.cwd = Json::stringAt(object, "cwd").value_or("");
  record.model = Json::stringAt(object, "model");
  record.isArchived = Json::boolAt(object, "isArchived").value_or(false);
  record.remoteControl = Json::boolAt(object, "remoteControlUserEnabled").value_or(false);
  const auto lastActivity = object.find("lastActivityAt");
  if (lastActivity != object.end() && lastActivity->is_number()) {
    record.lastActivity = Date::fromMillis(lastActivity->get<double>());
  }
  return record;
}

}  // namespace

std::vector<SessionRecord> DesktopSessionStore::load(const ClaudePaths& paths) {
  std::lock_guard guard(lock_);
  std::unordered_set<std::string> seen;

  // The entry names of `directory`. A folder that exists but cannot be listed right now
  // (permissions being changed, a sync in progress) keeps the records cached under it.
  const auto list = [&](const std::string& directory) {
    if (auto names = Files::list(directory)) return std::move(*names);
    if (Files::attributes(directory)) {
      const std::string prefix = directory + "/";
      for (const auto& [path, entry] : cache_) {
        if (path.starts_with(prefix)) seen.insert(path);
      }
    }
    return std::vector<std::string>();
  };

  const std::string root = paths.desktopSessionsDir();
  for (const std::string& a : list(root)) {
    const std::string first = root + "/" + a;
    for (const std::string& b : list(first)) {
      const std::string second = first + "/" + b;
      for (const std::string& name : list(second)) {
        if (!name.starts_with("local_") || !name.ends_with(".json")) continue;
        const std::string path = second + "/" + name;
        seen.insert(path);
        const Date modified = modificationTime(path);
        const auto cached = cache_.find(path);
        if (cached != cache_.end() && cached->second.first == modified) continue;
        cache_[path] = {modified, readRecord(path, name)};
      }
    }
  }

  std::erase_if(cache_, [&](const auto& entry) { return !seen.contains(entry.first); });
  std::vector<SessionRecord> records;
  for (const auto& [path, entry] : cache_) {
    if (entry.second) records.push_back(*entry.second);
  }
  return records;
}

}  // namespace tessel
