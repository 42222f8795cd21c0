// One tool call of any agent: what ran, a one-line summary of its input, when it
// started and ended, and how it went. A plain value shared by every reader and the
// activity model.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "model/tool_input.h"
#include "util/date.h"
#include "util/date_form.h"
#include "util/hash.h"

namespace tessel {

struct ToolEvent {
  enum class Source { history, hook };

  std::string id{};
  std::string sessionId{};
  std::string tool{};
  std::string summary{};
  Date start{};
  std::optional<Date> end{};
  bool isError = false;
  bool isBackground = false;
  std::optional<std::string> filePath{};
  std::optional<std::string> cwd{};
  Source source = Source::history;

  bool operator==(const ToolEvent&) const = default;

  bool isCommand() const { return tool == "Bash" || tool == "exec_command"; }
  bool changesFile() const;
  // Seconds from start to end; negative when the file says so.
  std::optional<double> duration() const;

  struct Summary {
    std::string summary{};
    // The file the input names, unabbreviated.
    std::optional<std::string> file{};
  };
  // A one-line description of a call's input, at most 400 code points.
  static Summary summarize(std::string_view tool, const ToolInput& input);
  // "mcp__tracker__create_issue" -> "tracker · create_issue"; other names unchanged.
  static std::string prettyTool(std::string_view tool);
};

std::string_view toString(ToolEvent::Source source);
std::optional<ToolEvent::Source> parseSource(std::string_view raw);

// The JSON form, keys in field order. `Document` is nlohmann::json or ordered_json.
template <class Document = nlohmann::json>
Document toJson(const ToolEvent& event, DateForm dates = DateForm::referenceSeconds);
// Nothing when a required key is missing or a value has the wrong type.
std::optional<ToolEvent> toolEventFromJson(const nlohmann::json& json);

}  // namespace tessel

template <>
struct std::hash<tessel::ToolEvent> {
  size_t operator()(const tessel::ToolEvent& e) const noexcept {
    return tessel::hashFields(e.id, e.sessionId, e.tool, e.summary, e.start, e.end, e.isError,
                              e.isBackground, e.filePath, e.cwd, e.source);
  }
};
