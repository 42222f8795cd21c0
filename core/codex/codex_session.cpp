#include "codex/codex_session.h"

#include <nlohmann/json.hpp>

#include "util/json_object.h"

namespace tessel {

nlohmann::json toJson(const CodexSession& session) {
  nlohmann::json json = {{"id", session.id},
                         {"path", session.path},
                         {"offset", session.offset},
                         {"isSubagent", session.isSubagent},
                         {"lastActivity", session.lastActivity.referenceSeconds()},
                         {"recognised", session.recognised}};
  const auto text = [&](const char* key, const std::optional<std::string>& value) {
    if (value) json[key] = *value;
  };
  const auto date = [&](const char* key, const std::optional<Date>& value) {
    if (value) json[key] = value->referenceSeconds();
  };
  text("cwd", session.cwd);
  text("originator", session.originator);
  text("cliVersion", session.cliVersion);
  text("model", session.model);
  date("started", session.started);
  date("turnStarted", session.turnStarted);
  date("turnEnded", session.turnEnded);
  if (session.countedTotal) json["countedTotal"] = *session.countedTotal;
  return json;
}

std::optional<CodexSession> codexSessionFromJson(const nlohmann::json& json) {
  if (!json.is_object()) return std::nullopt;
  const auto id = Json::stringAt(json, "id");
  const auto path = Json::stringAt(json, "path");
  const auto offset = json.find("offset");
  const auto isSubagent = Json::boolAt(json, "isSubagent");
  const auto lastActivity = Json::numberAt(json, "lastActivity");
  const auto recognised = Json::boolAt(json, "recognised");
  if (!id || !path || offset == json.end() || !offset->is_number_unsigned() || !isSubagent ||
      !lastActivity || !recognised) {
    return std::nullopt;
  }
  CodexSession session{.id = *id,
                       .path = *path,
                       .offset = offset->get<uint64_t>(),
                       .isSubagent = *isSubagent,
                       .lastActivity = Date::fromReferenceSeconds(*lastActivity),
                       .recognised = *recognised};
  const auto text = [&](const char* key, std::optional<std::string>& field) {
    if (!Json::isPresent(json, key)) return true;
    field = Json::stringAt(json, key);
    return field.has_value();
  };
  const auto date = [&](const char* key, std::optional<Date>& field) {
    if (!Json::isPresent(json, key)) return true;
    const auto seconds = Json::numberAt(json, key);
    if (seconds) field = Date::fromReferenceSeconds(*seconds);
    return seconds.has_value();
  };
  if (!text("cwd", session.cwd) || !text("originator", session.originator) ||
      !text("cliVersion", session.cliVersion) || !text("model", session.model) ||
      !date("started", session.started) || !date("turnStarted", session.turnStarted) ||
      !date("turnEnded", session.turnEnded)) {
    return std::nullopt;
  }
  if (Json::isPresent(json, "countedTotal")) {
    const auto total = json.find("countedTotal");
    if (!total->is_number_integer()) return std::nullopt;
    session.countedTotal = total->get<int64_t>();
  }
  return session;
}

}  // namespace tessel
