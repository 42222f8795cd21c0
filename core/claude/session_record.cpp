#include "claude/session_record.h"

#include <nlohmann/json.hpp>
#include <unordered_map>

#include "claude/desktop_session_store.h"
#include "claude/history_session.h"
#include "util/hash.h"
#include "util/json_object.h"
#include "util/path.h"

namespace tessel {
namespace {

using nlohmann::json;

// Sessions started by programs through the SDK, and sessions nobody ever prompted, are
// nothing a user would want to reopen. Desktop-app sessions come from the desktop store
// with better titles, unless that store gave nothing at all.
bool isListed(const HistorySession& session, bool desktopIsEmpty) {
  if (!session.hasPrompt) return false;
  if (!session.entrypoint) return true;
  if (session.entrypoint->starts_with("sdk")) return false;
  return *session.entrypoint != "claude-desktop" || desktopIsEmpty;
}

SessionRecord recordOf(const HistorySession& session) {
  SessionRecord record;
  record.id = session.id;
  record.title = session.title();
  record.cwd = session.cwd.value_or("");
  record.model = session.model;
  record.lastActivity = session.lastActivity;
  record.entrypoint = session.entrypoint;
  return record;
}

void enrich(SessionRecord& record, const HistorySession& session) {
  if (record.title == DesktopSessionStore::untitled) {
    if (session.customTitle) {
      record.title = *session.customTitle;
    } else if (session.aiTitle) {
      record.title = *session.aiTitle;
    }
  }
  if (record.cwd.empty()) record.cwd = session.cwd.value_or("");
  if (!record.model) record.model = session.model;
  if (session.entrypoint) record.entrypoint = session.entrypoint;
  if (!record.lastActivity || *record.lastActivity < session.lastActivity) {
    record.lastActivity = session.lastActivity;
  }
}

}  // namespace

std::vector<SessionRecord> SessionRecord::merge(const std::vector<HistorySession>& history,
                                                const std::vector<SessionRecord>& desktop) {
  std::unordered_map<std::string, const HistorySession*> historyById;
  for (const HistorySession& session : history) historyById[session.id] = &session;

  std::unordered_map<std::string, SessionRecord> merged;
  for (const HistorySession& session : history) {
    if (isListed(session, desktop.empty())) merged[session.id] = recordOf(session);
  }
  for (SessionRecord record : desktop) {
    const auto found = historyById.find(record.id);
    if (found != historyById.end()) enrich(record, *found->second);
    merged[record.id] = std::move(record);
  }

  std::vector<SessionRecord> records;
  records.reserve(merged.size());
  for (auto& [id, record] : merged) records.push_back(std::move(record));
  return records;
}

nlohmann::json toJson(const SessionRecord& record) {
  json object = {
      {"id", record.id},
      {"title", record.title},
      {"cwd", record.cwd},
      {"isArchived", record.isArchived},
      {"remoteControl", record.remoteControl},
  };
  if (record.desktopId) object["desktopId"] = *record.desktopId;
  if (record.model) object["model"] = *record.model;
  if (record.lastActivity) object["lastActivity"] = record.lastActivity->referenceSeconds();
  if (record.entrypoint) object["entrypoint"] = *record.entrypoint;
  return object;
}

std::optional<SessionRecord> sessionRecordFromJson(const nlohmann::json& json) {
  if (!json.is_object()) return std::nullopt;
  const std::optional<std::string> id = Json::stringAt(json, "id");
  const std::optional<std::string> title = Json::stringAt(json, "title");
  const std::optional<std::string> cwd = Json::stringAt(json, "cwd");
  const auto isArchived = json.find("isArchived");
  const auto remoteControl = json.find("remoteControl");
  if (!id || !title || !cwd || isArchived == json.end() || !isArchived->is_boolean() ||
      remoteControl == json.end() || !remoteControl->is_boolean()) {
    return std::nullopt;
  }
  SessionRecord record;
  record.id = *id;
  record.desktopId = Json::stringAt(json, "desktopId");
  record.title = *title;
  record.cwd = *cwd;
  record.model = Json::stringAt(json, "model");
  record.isArchived = isArchived->get<bool>();
  record.remoteControl = remoteControl->get<bool>();
  const auto lastActivity = json.find("lastActivity");
  if (lastActivity != json.end() && lastActivity->is_number()) {
    record.lastActivity = Date::fromReferenceSeconds(lastActivity->get<double>());
  }
  record.entrypoint = Json::stringAt(json, "entrypoint");
  return record;
}

namespace Folder {

std::string shortPath(std::string_view path) { return Path::abbreviateHome(path); }

std::string name(std::string_view path) {
  if (path.ends_with('/')) path.remove_suffix(1);
  return std::string(Path::lastComponent(path));
}

}  // namespace Folder

}  // namespace tessel

size_t std::hash<tessel::SessionRecord>::operator()(const tessel::SessionRecord& r) const {
  const std::optional<double> lastActivity =
      r.lastActivity ? std::optional(r.lastActivity->secondsSince1970()) : std::nullopt;
  return tessel::hashFields(r.id, r.desktopId, r.title, r.cwd, r.model, r.isArchived,
                            r.remoteControl, lastActivity, r.entrypoint);
}
