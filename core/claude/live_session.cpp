#include "claude/live_session.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "platform/process_probe.h"
#include "util/files.h"
#include "util/hash.h"
#include "util/json_object.h"

namespace tessel {
namespace {

using nlohmann::json;

// Claude Code writes whole numbers, but any JSON number is accepted. Integers keep their
// low 32 bits; fractions are cut; a number no 32-bit pid can hold gives 0, which names
// no process.
int32_t pidOf(const json& value) {
  if (value.is_number_unsigned()) return static_cast<int32_t>(value.get<uint64_t>());
  if (value.is_number_integer()) return static_cast<int32_t>(value.get<int64_t>());
  const double number = std::trunc(value.get<double>());
  if (!(number >= std::numeric_limits<int32_t>::min() &&
        number <= std::numeric_limits<int32_t>::max())) {
    return 0;
  }
  return static_cast<int32_t>(number);
}

// "<pid>.json" -> pid: the whole stem must be a decimal number that fits in 32 bits.
std::optional<int32_t> pidFromFileName(std::string_view name) {
  if (!name.ends_with(".json")) return std::nullopt;
  std::string_view stem = name.substr(0, name.size() - 5);
  if (stem.starts_with('+')) stem.remove_prefix(1);
  if (stem.empty()) return std::nullopt;
  int32_t pid = 0;
  const auto [end, error] = std::from_chars(stem.data(), stem.data() + stem.size(), pid);
  if (error != std::errc() || end != stem.data() + stem.size()) return std::nullopt;
  return pid;
}

// The file may have been replaced between listing and now; "now" is then the best
// guess for a session that evidently just changed.
Date modificationTime(const std::string& path) {
  return Files::modificationTime(path).value_or(Date::now());
}

std::vector<LiveSession> sortedByPid(std::vector<LiveSession> sessions) {
  std::sort(sessions.begin(), sessions.end(),
            [](const LiveSession& a, const LiveSession& b) { return a.pid < b.pid; });
  return sessions;
}

}  // namespace

std::optional<LiveSession> LiveSession::read(const std::string& path, const std::string& name) {
  const std::optional<std::string> bytes = Files::read(path);
  if (!bytes) return std::nullopt;
  const json object = json::parse(*bytes, nullptr, false);
  if (!object.is_object()) return std::nullopt;

  LiveSession session;
  std::optional<std::string> sessionId = Json::stringAt(object, "sessionId");
  if (!sessionId) return std::nullopt;
  session.sessionId = std::move(*sessionId);

  const auto pidValue = object.find("pid");
  if (pidValue != object.end() && pidValue->is_number()) {
    session.pid = pidOf(*pidValue);
  } else if (const std::optional<int32_t> pid = pidFromFileName(name)) {
    session.pid = *pid;
  } else {
    return std::nullopt;
  }
  // Claude Code leaves the files of ended processes behind; only a live process counts.
  if (session.pid <= 0 || !platform::processExists(session.pid)) return std::nullopt;

  const Date modified = modificationTime(path);
  session.cwd = Json::stringAt(object, "cwd").value_or("");
  session.name = Json::stringAt(object, "name");
  session.status = Json::stringAt(object, "status").value_or("idle");
  session.entrypoint = Json::stringAt(object, "entrypoint");
  session.hostSessionId = Json::stringAt(object, "hostSessionId");
  session.kind = Json::stringAt(object, "kind");
  session.version = Json::stringAt(object, "version");
  session.bridgeSessionId = Json::stringAt(object, "bridgeSessionId");
  if (session.bridgeSessionId && session.bridgeSessionId->empty()) session.bridgeSessionId.reset();

  const std::optional<double> startedAt = Json::numberAt(object, "startedAt");
  const std::optional<double> updatedAt = Json::numberAt(object, "updatedAt");
  const std::optional<double> statusUpdatedAt = Json::numberAt(object, "statusUpdatedAt");
  session.startedAt = startedAt ? Date::fromMillis(*startedAt) : modified;
  session.updatedAt = updatedAt ? Date::fromMillis(*updatedAt) : modified;
  session.statusSince = statusUpdatedAt ? Date::fromMillis(*statusUpdatedAt) : session.updatedAt;
  return session;
}

std::vector<LiveSession> LiveSession::load(const ClaudePaths& paths) {
  LiveSessionReader reader;
  return reader.load(paths);
}

std::vector<LiveSession> LiveSessionReader::load(const ClaudePaths& paths) {
  const std::string directory = paths.sessionsDir();
  const std::optional<std::vector<std::string>> names = Files::list(directory);
  std::unordered_map<std::string, LiveSession> previous;
  {
    std::lock_guard guard(lock_);
    if (!names) {
      // A folder we cannot list right now says nothing about the sessions in it.
      std::vector<LiveSession> kept;
      for (const auto& [name, session] : cache_) kept.push_back(session);
      return sortedByPid(std::move(kept));
    }
    previous = cache_;
  }

  std::unordered_map<std::string, LiveSession> result;
  for (const std::string& name : *names) {
    // Peer-token files ("<pid>.<hash>.key") and other names are not session files.
    if (!pidFromFileName(name)) continue;
    if (std::optional<LiveSession> session = LiveSession::read(directory + "/" + name, name)) {
      result.emplace(name, std::move(*session));
      continue;
    }
    // Claude Code rewrites the file on every status change; a reading caught half-way
    // keeps the previous one while its process is still running.
    const auto old = previous.find(name);
    if (old != previous.end() && old->second.pid > 0 && platform::processExists(old->second.pid)) {
      result.emplace(name, old->second);
    }
  }

  std::vector<LiveSession> sessions;
  sessions.reserve(result.size());
  for (const auto& [name, session] : result) sessions.push_back(session);
  {
    std::lock_guard guard(lock_);
    cache_ = std::move(result);
  }
  return sortedByPid(std::move(sessions));
}

template <class Document>
Document toJson(const LiveSession& session, DateForm dates) {
  Document object = {{"pid", session.pid}, {"sessionId", session.sessionId}, {"cwd", session.cwd}};
  const auto putOptional = [&](const char* key, const std::optional<std::string>& value) {
    if (value) object[key] = *value;
  };
  putOptional("name", session.name);
  object["status"] = session.status;
  putOptional("entrypoint", session.entrypoint);
  putOptional("hostSessionId", session.hostSessionId);
  putOptional("kind", session.kind);
  putOptional("version", session.version);
  putOptional("bridgeSessionId", session.bridgeSessionId);
  object["startedAt"] = Json::date<Document>(session.startedAt, dates);
  object["updatedAt"] = Json::date<Document>(session.updatedAt, dates);
  object["statusSince"] = Json::date<Document>(session.statusSince, dates);
  return object;
}

template nlohmann::json toJson(const LiveSession&, DateForm);
template nlohmann::ordered_json toJson(const LiveSession&, DateForm);

std::optional<LiveSession> liveSessionFromJson(const nlohmann::json& json) {
  if (!json.is_object()) return std::nullopt;
  const auto pid = json.find("pid");
  if (pid == json.end() || !pid->is_number_integer()) return std::nullopt;
  const std::optional<std::string> sessionId = Json::stringAt(json, "sessionId");
  const std::optional<std::string> cwd = Json::stringAt(json, "cwd");
  const std::optional<std::string> status = Json::stringAt(json, "status");
  const std::optional<double> startedAt = Json::numberAt(json, "startedAt");
  const std::optional<double> updatedAt = Json::numberAt(json, "updatedAt");
  const std::optional<double> statusSince = Json::numberAt(json, "statusSince");
  if (!sessionId || !cwd || !status || !startedAt || !updatedAt || !statusSince) {
    return std::nullopt;
  }
  LiveSession session;
  session.pid = pidOf(*pid);
  session.sessionId = *sessionId;
  session.cwd = *cwd;
  session.name = Json::stringAt(json, "name");
  session.status = *status;
  session.entrypoint = Json::stringAt(json, "entrypoint");
  session.hostSessionId = Json::stringAt(json, "hostSessionId");
  session.kind = Json::stringAt(json, "kind");
  session.version = Json::stringAt(json, "version");
  session.bridgeSessionId = Json::stringAt(json, "bridgeSessionId");
  session.startedAt = Date::fromReferenceSeconds(*startedAt);
  session.updatedAt = Date::fromReferenceSeconds(*updatedAt);
  session.statusSince = Date::fromReferenceSeconds(*statusSince);
  return session;
}

}  // namespace tessel

size_t std::hash<tessel::LiveSession>::operator()(const tessel::LiveSession& s) const {
  return tessel::hashFields(s.pid, s.sessionId, s.cwd, s.name, s.status, s.entrypoint,
                            s.hostSessionId, s.kind, s.version, s.bridgeSessionId,
                            s.startedAt.secondsSince1970(), s.updatedAt.secondsSince1970(),
                            s.statusSince.secondsSince1970());
}
