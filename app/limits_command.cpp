#include <algorithm>
#include <cmath>
#include <iostream>

#include "codex/codex_index.h"
#include "report_commands.h"
#include "text_table.h"
#include "usage/connector_state.h"

namespace tessel::cli {
namespace {

using Object = nlohmann::ordered_json;
using TextTable::Tint;

struct Limits {
  std::string source = "none";
  std::optional<std::string> plan{};
  std::optional<Date> at{};
  std::vector<PlanWindow> windows{};
  std::optional<std::string> note{};
};

Limits claudeLimits(const ClaudePaths& paths, Date now) {
  const auto state = ConnectorState::load(paths.connectorFile(), now, false);
  if (!state) {
    return {.note =
                "No plan reading yet: Claude Code hasn’t sent one. Run `tessel install "
                "--statusline` so that each reply brings one."};
  }
  const Plan plan = state->plan(std::nullopt, now);
  if (plan.source == Plan::Source::none) {
    return {.note = plan.note.value_or(std::string(PlanMath::noReadingNote))};
  }
  return {.source = std::string(toString(plan.source)),
          .plan = plan.plan,
          .at = plan.at,
          .windows = plan.windows,
          .note = plan.note};
}

Limits codexLimits(const Globals& globals, Date now) {
  const CodexPaths codexPaths = globals.codexPaths();
  if (!codexPaths.exists()) {
    return {.note = "No Codex reading: there is no Codex home at " + codexPaths.home + "."};
  }
  CodexIndex index;
  Report::catchUp(index, globals, now);
  const auto limits = index.limits();
  if (!limits || limits->windows.empty()) {
    return {.note = "No Codex reading yet: it arrives with Codex’s next reply."};
  }
  Limits result{.source = "codex", .plan = limits->plan, .at = limits->at};
  for (const CodexLimits::Window& window : limits->windows) {
    PlanWindow plan{.percentUsed = window.percentUsed, .resetsAt = window.resetsAt};
    if (window.minutes == CodexLimits::fiveHourMinutes) {
      plan.kind = "five_hour";
      plan.label = "5-hour";
    } else if (window.minutes == CodexLimits::weeklyMinutes) {
      plan.kind = "seven_day";
      plan.label = "Weekly";
    } else {
      plan.kind = plan.label = std::to_string(window.minutes) + "-minute";
    }
    result.windows.push_back(std::move(plan));
  }
  return result;
}

Object encode(const Limits& limits, Date now) {
  Object object = {{"source", limits.source}};
  if (limits.plan) object["plan"] = *limits.plan;
  if (limits.at) {
    object["at"] = Report::date(*limits.at);
    object["age"] = std::max(0.0, now - *limits.at);
  }
  Object windows = Object::array();
  for (const PlanWindow& window : limits.windows) {
    Object item = {{"id", window.kind},
                   {"kind", window.kind},
                   {"label", window.label},
                   {"percentUsed", window.percentUsed}};
    if (window.resetsAt) item["resetsAt"] = Report::date(*window.resetsAt);
    windows.push_back(std::move(item));
  }
  object["windows"] = std::move(windows);
  if (limits.note) object["note"] = *limits.note;
  return object;
}

void printLimits(const std::string& name, const Limits& limits, Date now, bool isColored) {
  std::cout << TextTable::tinted(name, Tint::bold, isColored);
  if (limits.plan) std::cout << " (" << *limits.plan << ")";
  if (limits.at) std::cout << ", read " << TextTable::span(now - *limits.at) << " ago";
  std::cout << '\n';
  if (limits.windows.empty()) {
    std::cout << "  " << limits.note.value_or(std::string(PlanMath::noReadingNote)) << '\n';
    return;
  }
  TextTable::Table table{.headers = {"WINDOW", "USED", "", "RESETS"},
                         .isRightAligned = {false, true, false, false}};
  for (const PlanWindow& window : limits.windows) {
    const int filled = std::clamp(static_cast<int>(window.percentUsed / 5), 0, 20);
    const Tint tint = window.percentUsed >= 90   ? Tint::red
                      : window.percentUsed >= 70 ? Tint::yellow
                                                 : Tint::green;
    std::string resets = "-";
    if (window.resetsAt) {
      resets = TextTable::when(*window.resetsAt, now) + " (in " +
               TextTable::span(*window.resetsAt - now) + ")";
    }
    table.rows.push_back({{window.label},
                          {std::to_string(std::lround(window.percentUsed)) + "%", tint},
                          {std::string(filled, '#') + std::string(20 - filled, '.'), tint},
                          {resets}});
  }
  std::string text = table.render(isColored);
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\n', start);
    std::cout << "  " << text.substr(start, end - start + 1);
    start = end + 1;
  }
}

}  // namespace

void addLimitsCommand(CLI::App& app, Run& run) {
  auto isJson = std::make_shared<bool>(false);
  CLI::App* limits = addCommand(
      app, run, "limits", "How much of each plan window is used and when it resets",
      "  tessel limits\n"
      "  tessel limits --json | jq '.claude.windows[] | {label, percentUsed}'\n",
      [&run, isJson] {
        const Date now = Date::now();
        const Limits claude = claudeLimits(run.globals.claudePaths(), now);
        const Limits codex = codexLimits(run.globals, now);
        if (*isJson) {
          Report::print(Object{{"claude", encode(claude, now)}, {"codex", encode(codex, now)}});
          return success;
        }
        const bool isColored = run.globals.usesColor();
        printLimits("Claude", claude, now, isColored);
        printLimits("Codex", codex, now, isColored);
        return success;
      });
  limits->add_flag("--json", *isJson, "The readings as JSON (docs/json.md)");
}

}  // namespace tessel::cli
