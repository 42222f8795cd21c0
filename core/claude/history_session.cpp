#include "claude/history_session.h"

#include <nlohmann/json.hpp>

#include "util/json_object.h"
#include "util/json_reader.h"
#include "util/text.h"

namespace tessel {
namespace {

using Text::contains;

// Calls `visit` with the line's top-level members; false when the line is not a JSON
// object or a member cannot be read.
template <typename Visit>
bool visitLine(std::string_view line, Visit&& visit) {
  thread_local simdjson::ondemand::parser parser;
  thread_local std::string scratch;
  simdjson::ondemand::document document;
  simdjson::ondemand::object object;
  if (parser.iterate(Json::padded(line, scratch)).get(document) != simdjson::SUCCESS ||
      document.get_object().get(object) != simdjson::SUCCESS) {
    return false;
  }
  return Json::forEachMember(object, visit);
}

std::optional<std::string> stringOf(simdjson::ondemand::value value) {
  std::string_view text;
  if (value.get_string().get(text) != simdjson::SUCCESS) return std::nullopt;
  return std::string(text);
}

// The non-empty string member `key` of the line; nothing otherwise.
std::optional<std::string> titleIn(std::string_view line, std::string_view key) {
  std::optional<std::string> title;
  visitLine(line, [&](std::string_view name, simdjson::ondemand::value value) {
    if (name == key) title = stringOf(value);
    return true;
  });
  if (title && title->empty()) return std::nullopt;
  return title;
}

// The record types a history session takes something from, as written after "type":".
bool namesARecordType(std::string_view rest) {
  return rest.starts_with("custom-title\"") || rest.starts_with("ai-title\"") ||
         rest.starts_with("last-prompt\"") || rest.starts_with("assistant\"");
}

}  // namespace

void HistorySession::scanLine(std::string_view line, std::optional<std::string_view>& assistant) {
  if (line.size() < 3) return;
  if (contains(line, R"("type":"custom-title")")) {
    if (auto title = titleIn(line, "customTitle")) customTitle = std::move(title);
  } else if (contains(line, R"("type":"ai-title")")) {
    if (auto title = titleIn(line, "aiTitle")) aiTitle = std::move(title);
  } else if (contains(line, R"("type":"last-prompt")")) {
    hasPrompt = true;
  } else if (contains(line, R"("type":"assistant")")) {
    assistant = line;
  }
  if ((!cwd || !entrypoint) && contains(line, R"("cwd":")")) {
    std::optional<std::string> lineCwd, lineEntrypoint;
    const bool whole = visitLine(line, [&](std::string_view key, simdjson::ondemand::value value) {
      if (key == "cwd") {
        lineCwd = stringOf(value);
      } else if (key == "entrypoint") {
        lineEntrypoint = stringOf(value);
      }
      return true;
    });
    if (whole) {
      cwd = std::move(lineCwd);
      if (!entrypoint) entrypoint = std::move(lineEntrypoint);
    }
  }
}

void HistorySession::scan(std::string_view data) {
  static constexpr std::string_view typeKey = R"("type":")";
  static constexpr std::string_view cwdKey = R"("cwd":")";
  std::optional<std::string_view> assistant;
  // Only lines with one of the four record types, or (while the folder is unknown) a
  // working directory, matter. Both are searched for across the whole chunk, so the
  // bytes of every other line are passed over at search speed.
  size_t from = 0;
  while (from < data.size()) {
    const bool wantsFolder = !cwd || !entrypoint;
    size_t hit = Text::find(data, typeKey, from);
    while (hit != std::string_view::npos && !namesARecordType(data.substr(hit + typeKey.size()))) {
      hit = Text::find(data, typeKey, hit + 1);
    }
    if (wantsFolder) hit = std::min(hit, Text::find(data, cwdKey, from));
    if (hit == std::string_view::npos) break;
    const size_t feedBefore = hit == 0 ? std::string_view::npos : data.rfind('\n', hit - 1);
    const size_t lineStart = feedBefore == std::string_view::npos ? 0 : feedBefore + 1;
    size_t lineEnd = data.find('\n', hit);
    if (lineEnd == std::string_view::npos) lineEnd = data.size();
    scanLine(data.substr(lineStart, lineEnd - lineStart), assistant);
    from = lineEnd + 1;
  }
  if (!assistant) return;
  std::optional<std::string> lineModel;
  visitLine(*assistant, [&](std::string_view key, simdjson::ondemand::value value) {
    if (key != "message") return true;
    simdjson::ondemand::object message;
    if (value.get_object().get(message) != simdjson::SUCCESS) return false;
    return Json::forEachMember(message,
                               [&](std::string_view name, simdjson::ondemand::value member) {
                                 if (name == "model") lineModel = stringOf(member);
                                 return true;
                               });
  });
  if (lineModel && *lineModel != "<synthetic>") model = std::move(lineModel);
}

nlohmann::json toJson(const HistorySession& session) {
  nlohmann::json json = {{"id", session.id},
                         {"path", session.path},
                         {"offset", session.offset},
                         {"hasPrompt", session.hasPrompt},
                         {"lastActivity", session.lastActivity.referenceSeconds()}};
  if (session.cwd) json["cwd"] = *session.cwd;
  if (session.entrypoint) json["entrypoint"] = *session.entrypoint;
  if (session.customTitle) json["customTitle"] = *session.customTitle;
  if (session.aiTitle) json["aiTitle"] = *session.aiTitle;
  if (session.model) json["model"] = *session.model;
  return json;
}

std::optional<HistorySession> historySessionFromJson(const nlohmann::json& json) {
  if (!json.is_object()) return std::nullopt;
  const auto id = Json::stringAt(json, "id");
  const auto path = Json::stringAt(json, "path");
  const auto offset = json.find("offset");
  const auto hasPrompt = Json::boolAt(json, "hasPrompt");
  const auto lastActivity = Json::numberAt(json, "lastActivity");
  if (!id || !path || offset == json.end() || !offset->is_number_unsigned() || !hasPrompt ||
      !lastActivity) {
    return std::nullopt;
  }
  HistorySession session{.id = *id,
                         .path = *path,
                         .offset = offset->get<uint64_t>(),
                         .hasPrompt = *hasPrompt,
                         .lastActivity = Date::fromReferenceSeconds(*lastActivity)};
  const auto optional = [&](const char* key, std::optional<std::string>& field) {
    if (!Json::isPresent(json, key)) return true;
    field = Json::stringAt(json, key);
    return field.has_value();
  };
  if (!optional("cwd", session.cwd) || !optional("entrypoint", session.entrypoint) ||
      !optional("customTitle", session.customTitle) || !optional("aiTitle", session.aiTitle) ||
      !optional("model", session.model)) {
    return std::nullopt;
  }
  return session;
}

}  // namespace tessel
