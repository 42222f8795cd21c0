#include "claude/history_session.h"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>
#include <utility>

#include "util/json_object.h"
#include "util/json_reader.h"
#include "util/text.h"

namespace tessel {
namespace {

using Text::contains;

// Calls `visit` with the line's top-level members; false unless the line is one valid
// JSON object throughout. `visit` answers whether the member it was given is valid; the
// members it reads nothing from it hands to `Json::isValid`.
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
  return Json::forEachMember(object, visit) && Json::atEnd(document);
}

// Reads a string member into `into` (nothing when it is another kind of value); false
// when the value is not valid JSON.
bool readString(simdjson::ondemand::value value, std::optional<std::string>& into) {
  std::string_view text;
  if (value.get_string().get(text) == simdjson::SUCCESS) {
    into = std::string(text);
    return true;
  }
  into.reset();
  return Json::isValid(value);
}

// The non-empty string member `key` of the line; nothing otherwise, or when the line is
// not whole.
std::optional<std::string> titleIn(std::string_view line, std::string_view key) {
  std::optional<std::string> title;
  const bool whole = visitLine(line, [&](std::string_view name, simdjson::ondemand::value value) {
    return name == key ? readString(value, title) : Json::isValid(value);
  });
  if (!whole || (title && title->empty())) return std::nullopt;
  return title;
}

constexpr std::string_view customTitleMark = R"("type":"custom-title")";
constexpr std::string_view aiTitleMark = R"("type":"ai-title")";
constexpr std::string_view lastPromptMark = R"("type":"last-prompt")";
constexpr std::string_view assistantMark = R"("type":"assistant")";
constexpr std::string_view cwdMark = R"("cwd":")";

// The bounds of the line holding byte `at`: from after the previous line feed to the next
// (or the end).
std::pair<size_t, size_t> lineAround(std::string_view data, size_t at) {
  const size_t before = at == 0 ? std::string_view::npos : data.rfind('\n', at - 1);
  const size_t start = before == std::string_view::npos ? 0 : before + 1;
  const size_t end = data.find('\n', at);
  return {start, end == std::string_view::npos ? data.size() : end};
}

}  // namespace

void HistorySession::scanLine(std::string_view line) {
  if (line.size() < 3) return;
  if (contains(line, customTitleMark)) {
    if (auto title = titleIn(line, "customTitle")) customTitle = std::move(title);
  } else if (contains(line, aiTitleMark)) {
    if (auto title = titleIn(line, "aiTitle")) aiTitle = std::move(title);
  } else if (contains(line, lastPromptMark)) {
    hasPrompt = true;
  }
  if ((!cwd || !entrypoint) && contains(line, cwdMark)) {
    std::optional<std::string> lineCwd, lineEntrypoint;
    const bool whole = visitLine(line, [&](std::string_view key, simdjson::ondemand::value value) {
      if (key == "cwd") return readString(value, lineCwd);
      if (key == "entrypoint") return readString(value, lineEntrypoint);
      return Json::isValid(value);
    });
    if (whole) {
      cwd = std::move(lineCwd);
      if (!entrypoint) entrypoint = std::move(lineEntrypoint);
    }
  }
}

void HistorySession::scan(std::string_view data) {
  // Titles and prompts are rare and the folder is needed once, so each mark is searched
  // for across the whole chunk, once: only lines holding one are looked at, and the bytes
  // of every other line are passed over at search speed.
  const std::array<std::string_view, 4> marks = {customTitleMark, aiTitleMark, lastPromptMark,
                                                 cwdMark};
  std::array<size_t, 4> next{};
  for (size_t mark = 0; mark < marks.size(); ++mark) next[mark] = Text::find(data, marks[mark]);
  size_t from = 0;
  while (true) {
    // The folder mark counts only while the folder or entry point is unknown.
    const size_t last = !cwd || !entrypoint ? marks.size() : marks.size() - 1;
    const size_t hit = *std::min_element(next.begin(), next.begin() + static_cast<long>(last));
    if (hit == std::string_view::npos) break;
    const auto [start, end] = lineAround(data, hit);
    scanLine(data.substr(start, end - start));
    from = end + 1;
    for (size_t mark = 0; mark < marks.size(); ++mark) {
      if (next[mark] < from) next[mark] = Text::find(data, marks[mark], from);
    }
  }

  // Only the chunk's last assistant line names the model: search from the end. A line
  // that is also a title or prompt record counts as that instead.
  std::optional<std::string_view> assistant;
  for (size_t hit = data.rfind(assistantMark); hit != std::string_view::npos;) {
    const auto [start, end] = lineAround(data, hit);
    const std::string_view line = data.substr(start, end - start);
    if (!contains(line, customTitleMark) && !contains(line, aiTitleMark) &&
        !contains(line, lastPromptMark)) {
      assistant = line;
      break;
    }
    hit = start == 0 ? std::string_view::npos : data.rfind(assistantMark, start - 1);
  }
  if (!assistant) return;
  std::optional<std::string> lineModel;
  const bool whole =
      visitLine(*assistant, [&](std::string_view key, simdjson::ondemand::value value) {
        if (key != "message") return Json::isValid(value);
        simdjson::ondemand::object message;
        if (value.get_object().get(message) != simdjson::SUCCESS) return Json::isValid(value);
        return Json::forEachMember(
            message, [&](std::string_view name, simdjson::ondemand::value member) {
              return name == "model" ? readString(member, lineModel) : Json::isValid(member);
            });
      });
  if (whole && lineModel && *lineModel != "<synthetic>") model = std::move(lineModel);
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
