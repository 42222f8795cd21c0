#include "monitor/plugin_writers.h"

#include <filesystem>
#include <nlohmann/json.hpp>

#include "util/files.h"
#include "util/json_object.h"

namespace tessel {

namespace {

constexpr std::string_view suffix = ".json";

std::optional<std::string> sessionOf(const std::string& name) {
  if (name.size() <= suffix.size() || !name.ends_with(suffix)) return std::nullopt;
  return name.substr(0, name.size() - suffix.size());
}

}  // namespace

std::string PluginWriters::dir(const ClaudePaths& paths) {
  return paths.supportDir + "/connector/writers";
}

std::optional<PluginWriters::Record> PluginWriters::parse(std::string_view text) {
  const nlohmann::json object = Json::parse(text);
  if (!object.is_object()) return std::nullopt;
  auto sessionId = Json::stringAt(object, "sessionId");
  auto version = Json::stringAt(object, "version");
  const auto t = Json::numberAt(object, "t");
  if (!sessionId || sessionId->empty() || !version || !t) return std::nullopt;
  Record record{std::move(*sessionId)};
  record.version = std::move(*version);
  record.t = Date::fromMillis(*t);
  for (const auto& [key, field] : {std::pair{"title", &record.title}, std::pair{"cwd", &record.cwd},
                                   std::pair{"desktopId", &record.desktopId}}) {
    if (!Json::isPresent(object, key)) continue;
    *field = Json::stringAt(object, key);
    if (!*field) return std::nullopt;
  }
  return record;
}

std::string PluginWriters::encode(const Record& record) {
  nlohmann::ordered_json object;
  object["sessionId"] = record.sessionId;
  if (record.title) object["title"] = *record.title;
  if (record.cwd) object["cwd"] = *record.cwd;
  object["version"] = record.version;
  object["t"] = static_cast<int64_t>(std::llround(record.t.secondsSince1970() * 1000));
  if (record.desktopId) object["desktopId"] = *record.desktopId;
  // Titles come from the session and may hold anything; a broken sequence is replaced
  // rather than refused.
  return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

bool PluginWriters::write(const Record& record, const ClaudePaths& paths) {
  // The session id names the file: one that could leave the folder is refused.
  if (record.sessionId.empty() || record.sessionId.find('/') != std::string::npos ||
      record.sessionId.starts_with('.')) {
    return false;
  }
  const std::string folder = dir(paths);
  Files::createDirectories(folder);
  return Files::replace(folder + "/" + record.sessionId + std::string(suffix), encode(record),
                        ".writing");
}

void PluginWriters::check(const ClaudePaths& paths) {
  const std::string folder = dir(paths);
  const auto names = Files::list(folder);
  std::unordered_map<std::string, Date> known;
  {
    std::lock_guard guard(lock_);
    for (const auto& [name, entry] : files_) known.emplace(name, entry.modified);
  }
  std::unordered_map<std::string, Date> present;
  std::unordered_map<std::string, Entry> changed;
  for (const std::string& name : names.value_or(std::vector<std::string>{})) {
    if (!sessionOf(name)) continue;
    const std::string path = folder + "/" + name;
    const auto modified = Files::modificationTime(path);
    if (!modified) continue;
    present.emplace(name, *modified);
    if (const auto it = known.find(name); it != known.end() && it->second == *modified) continue;
    const auto bytes = Files::read(path);
    changed.emplace(name, Entry{*modified, bytes ? parse(*bytes) : std::nullopt});
  }
  std::lock_guard guard(lock_);
  // An unlisted folder says nothing about what it holds, so what was seen stays.
  if (!names) return;
  std::erase_if(files_, [&](const auto& entry) { return !present.contains(entry.first); });
  for (auto& [name, entry] : changed) {
    Entry& kept = files_[name];
    kept.modified = entry.modified;
    if (entry.record) kept.record = std::move(entry.record);
  }
}

void PluginWriters::prune(const std::vector<LiveSession>& live, const std::string& dir, Date now) {
  std::unordered_map<std::string, bool> isLive;
  for (const LiveSession& session : live) isLive[session.sessionId] = true;
  const auto names = Files::list(dir);
  if (!names) return;
  std::vector<std::string> removed;
  for (const std::string& name : *names) {
    const auto session = sessionOf(name);
    if (!session || isLive.contains(*session)) continue;
    const std::string path = dir + "/" + name;
    const auto modified = Files::modificationTime(path);
    if (!modified || now - *modified <= keepDays * 86400) continue;
    std::error_code error;
    if (std::filesystem::remove(path, error)) removed.push_back(name);
  }
  if (removed.empty()) return;
  std::lock_guard guard(lock_);
  for (const std::string& name : removed) files_.erase(name);
}

std::unordered_map<std::string, PluginWriters::Record> PluginWriters::seen() const {
  std::lock_guard guard(lock_);
  std::unordered_map<std::string, Record> records;
  for (const auto& [name, entry] : files_) {
    if (entry.record) records.emplace(entry.record->sessionId, *entry.record);
  }
  return records;
}

SessionVersion PluginWriters::version(const LiveSession& session) const {
  {
    std::lock_guard guard(lock_);
    const auto it = files_.find(session.sessionId + std::string(suffix));
    if (it != files_.end() && it->second.record && !it->second.record->version.empty()) {
      return {it->second.record->version, true};
    }
  }
  return {session.version, false};
}

}  // namespace tessel
