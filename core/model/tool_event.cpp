#include "model/tool_event.h"

#include <nlohmann/json.hpp>

#include "util/json_object.h"
#include "util/path.h"
#include "util/text.h"

namespace tessel {
namespace {

constexpr size_t summaryLimit = 400;

std::string joinPresent(std::optional<std::string> first, std::optional<std::string> second,
                        std::string_view separator) {
  if (first && second) return *first + std::string(separator) + *second;
  if (first) return *first;
  if (second) return *second;
  return {};
}

std::optional<std::string> owned(std::optional<std::string_view> value) {
  return value ? std::optional<std::string>(*value) : std::nullopt;
}

std::string rawSummary(std::string_view tool, const ToolInput& input,
                       const std::optional<std::string_view>& file) {
  const auto s = [&](std::string_view key) { return input.nonEmpty(key); };
  const auto orWord = [](std::optional<std::string_view> value, std::string_view word) {
    return std::string(value.value_or(word));
  };
  if (tool == "Bash") return orWord(s("command"), "command");
  if (tool == "Read" || tool == "Edit" || tool == "Write" || tool == "MultiEdit" ||
      tool == "NotebookEdit") {
    return file ? Path::abbreviateHome(*file) : std::string(tool);
  }
  if (tool == "Grep") {
    std::optional<std::string> in;
    if (auto path = s("path")) in = "in " + Path::abbreviateHome(*path);
    return joinPresent(owned(s("pattern")), in, " ");
  }
  if (tool == "Glob") return orWord(s("pattern"), "files");
  if (tool == "Agent" || tool == "Task") {
    return joinPresent(owned(s("subagent_type")), owned(s("description")), ": ");
  }
  if (tool == "WebFetch") return orWord(s("url"), "page");
  if (tool == "WebSearch") return orWord(s("query"), "search");
  if (tool == "Skill") return orWord(s("skill"), "skill");
  if (tool == "Monitor") {
    if (auto description = s("description")) return std::string(*description);
    return orWord(s("command"), "watching");
  }
  for (std::string_view key : {"description", "summary", "title", "prompt", "query", "command",
                               "path", "url", "pattern", "name", "message"}) {
    if (auto value = s(key)) return std::string(*value);
  }
  return {};
}

}  // namespace

bool ToolEvent::changesFile() const {
  return tool == "Edit" || tool == "Write" || tool == "MultiEdit" || tool == "NotebookEdit" ||
         tool == "apply_patch";
}

std::optional<double> ToolEvent::duration() const {
  if (!end) return std::nullopt;
  return *end - start;
}

ToolEvent::Summary ToolEvent::summarize(std::string_view tool, const ToolInput& input) {
  std::optional<std::string_view> file = input.nonEmpty("file_path");
  if (!file) file = input.nonEmpty("notebook_path");
  const std::string raw = rawSummary(tool, input, file);
  const std::string_view line = Text::firstNonEmptyLine(raw);
  return Summary{std::string(Text::prefixCodePoints(line, summaryLimit)), owned(file)};
}

std::string ToolEvent::prettyTool(std::string_view tool) {
  static constexpr std::string_view prefix = "mcp__";
  if (!tool.starts_with(prefix)) return std::string(tool);
  std::string pretty;
  std::string_view rest = tool.substr(prefix.size());
  for (size_t split; (split = rest.find("__")) != std::string_view::npos;) {
    pretty.append(rest.substr(0, split));
    pretty += " \u00B7 ";
    rest.remove_prefix(split + 2);
  }
  pretty.append(rest);
  return pretty;
}

std::string_view toString(ToolEvent::Source source) {
  return source == ToolEvent::Source::hook ? "hook" : "history";
}

std::optional<ToolEvent::Source> parseSource(std::string_view raw) {
  if (raw == "history") return ToolEvent::Source::history;
  if (raw == "hook") return ToolEvent::Source::hook;
  return std::nullopt;
}

template <class Document>
Document toJson(const ToolEvent& event, DateForm dates) {
  Document json = {
      {"id", event.id},
      {"sessionId", event.sessionId},
      {"tool", event.tool},
      {"summary", event.summary},
      {"start", Json::date<Document>(event.start, dates)},
  };
  if (event.end) json["end"] = Json::date<Document>(*event.end, dates);
  json["isError"] = event.isError;
  json["isBackground"] = event.isBackground;
  if (event.filePath) json["filePath"] = *event.filePath;
  if (event.cwd) json["cwd"] = *event.cwd;
  json["source"] = toString(event.source);
  return json;
}

template nlohmann::json toJson(const ToolEvent&, DateForm);
template nlohmann::ordered_json toJson(const ToolEvent&, DateForm);

std::optional<ToolEvent> toolEventFromJson(const nlohmann::json& json) {
  if (!json.is_object()) return std::nullopt;
  const auto id = Json::stringAt(json, "id");
  const auto sessionId = Json::stringAt(json, "sessionId");
  const auto tool = Json::stringAt(json, "tool");
  const auto summary = Json::stringAt(json, "summary");
  const auto source = Json::stringAt(json, "source");
  const auto start = Json::numberAt(json, "start");
  const auto isError = Json::boolAt(json, "isError");
  const auto isBackground = Json::boolAt(json, "isBackground");
  if (!id || !sessionId || !tool || !summary || !source || !start || !isError || !isBackground) {
    return std::nullopt;
  }
  const auto parsedSource = parseSource(*source);
  if (!parsedSource) return std::nullopt;

  ToolEvent event{*id, *sessionId, *tool, *summary, Date::fromReferenceSeconds(*start)};
  event.isError = *isError;
  event.isBackground = *isBackground;
  event.source = *parsedSource;
  // An optional member may be absent or null; any other type spoils the record.
  if (Json::isPresent(json, "end")) {
    const auto end = Json::numberAt(json, "end");
    if (!end) return std::nullopt;
    event.end = Date::fromReferenceSeconds(*end);
  }
  if (Json::isPresent(json, "filePath")) {
    event.filePath = Json::stringAt(json, "filePath");
    if (!event.filePath) return std::nullopt;
  }
  if (Json::isPresent(json, "cwd")) {
    event.cwd = Json::stringAt(json, "cwd");
    if (!event.cwd) return std::nullopt;
  }
  return event;
}

}  // namespace tessel
