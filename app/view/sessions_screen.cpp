#include <algorithm>
#include <cstdio>

#include "view/screens.h"

namespace tessel::view {
namespace {

struct Column {
  std::string_view head;
  size_t width;  // 0: shares what the fixed columns leave
  bool isRight = false;
};

// The columns that fit: a wide terminal shows every one, a narrow one the state, title,
// activity and costs, with the project and the row's kind folded into the title.
std::vector<Column> columnsFor(size_t width) {
  if (width >= 110) {
    return {{"STATE", 10},   {"TITLE", 0},     {"PROJECT", 12},    {"AGENT", 9},
            {"ACTIVITY", 0}, {"MODEL", 9},     {"CPU%", 5, true},  {"MEM", 6, true},
            {"PR", 3, true}, {"RES", 3, true}, {"TOKENS", 7, true}};
  }
  return {{"STATE", 10},     {"TITLE", 0},     {"ACTIVITY", 0},
          {"CPU%", 5, true}, {"MEM", 6, true}, {"TOKENS", 6, true}};
}

// Fills in the shared widths: the title gets two fifths, the activity the rest.
void share(std::vector<Column>& columns, size_t width) {
  size_t fixed = columns.size() - 1;  // one space between columns
  for (const Column& column : columns) fixed += column.width;
  const size_t left = width > fixed ? width - fixed : 0;
  const size_t title = std::max<size_t>(8, left * 2 / 5);
  for (Column& column : columns) {
    if (column.width != 0) continue;
    column.width =
        column.head == "TITLE" ? title : std::max<size_t>(8, left > title ? left - title : 0);
  }
}

// The session's processes and what it started or used: containers and machines count,
// and processes only when they are not among its own descendants already.
struct Cost {
  double cpu = 0;
  int64_t memory = 0;
  size_t resources = 0;
};

Cost costOf(const SessionInfo& session, const ActivitySnapshot& snapshot) {
  Cost cost{.cpu = session.cpu(), .memory = session.memory()};
  for (const TrackedResource& tracked : snapshot.resourcesFor(session.id())) {
    ++cost.resources;
    const Resource& resource = tracked.resource;
    const bool isOwn = resource.pid && std::any_of(session.children.begin(), session.children.end(),
                                                   [&](const ProcessEntry& child) {
                                                     return child.pid == *resource.pid;
                                                   });
    if (isOwn) continue;
    cost.cpu += resource.cpu.value_or(0);
    cost.memory += resource.memory.value_or(0);
  }
  return cost;
}

std::string cellOf(const Column& column, const SessionInfo& session, const ViewData& data,
                   const Canvas& canvas, bool isWide) {
  const ActivitySnapshot& snapshot = data.snapshot;
  const std::string_view head = column.head;
  if (head == "STATE") {
    return std::string{Look::stateSymbol(session.state, canvas.glyphs())} + " " +
           std::string{toString(session.state)};
  }
  if (head == "TITLE") {
    std::string marks;
    if (!isWide && session.devFolder) marks += "[ctr] ";
    if (!isWide && session.assistant == Assistant::codex) marks += "[codex] ";
    std::string title = marks + Look::titleOf(session);
    if (!isWide && !session.project.empty()) title += " (" + session.project + ")";
    return title;
  }
  if (head == "PROJECT") return session.project;
  // A session in a container runs Claude Code there, beyond this machine's processes.
  if (head == "AGENT")
    return session.devFolder ? "container" : std::string{toString(session.assistant)};
  if (head == "ACTIVITY") return Look::activityOf(session);
  if (head == "MODEL") return session.model ? prettyModel(*session.model) : "";
  if (head == "CPU%") {
    char text[16];
    std::snprintf(text, sizeof text, "%.0f", costOf(session, snapshot).cpu);
    return text;
  }
  if (head == "MEM") return Format::bytes(static_cast<double>(costOf(session, snapshot).memory));
  if (head == "PR") return std::to_string(session.children.size() + (session.process ? 1 : 0));
  if (head == "RES") return std::to_string(costOf(session, snapshot).resources);
  const auto tokens = data.tokensToday.find(session.id());
  return tokens == data.tokensToday.end() ? "-" : Format::count(tokens->second);
}

Line row(const std::vector<Column>& columns, const SessionInfo& session, const ViewData& data,
         const Canvas& canvas, bool isSelected) {
  const bool isWide = columns.size() > 6;
  const std::string_view ellipsis = canvas.glyphs().ellipsis;
  Line line;
  line.isHighlighted = isSelected;
  for (size_t i = 0; i < columns.size(); ++i) {
    const Column& column = columns[i];
    const std::string cell = cellOf(column, session, data, canvas, isWide);
    std::string text = column.isRight ? Format::fitRight(cell, column.width, ellipsis)
                                      : Format::fit(cell, column.width, ellipsis);
    if (i + 1 < columns.size()) text += ' ';
    Tone tone = Tone::normal;
    if (column.head == "STATE")
      tone = Look::stateTone(session.state);
    else if (column.head == "ACTIVITY" && session.lastEvent && !session.lastEvent->end) {
      tone = Tone::bold;
    } else if (column.head == "ACTIVITY" || column.head == "MODEL") {
      tone = Tone::dim;
    }
    line.add(std::move(text), isSelected ? Tone::selected : tone);
  }
  return line;
}

}  // namespace

std::vector<Line> sessionsScreen(const ViewData& data, const ViewState& state, const Canvas& canvas,
                                 size_t rows) {
  auto columns = columnsFor(canvas.width);
  share(columns, canvas.width);
  std::vector<Line> lines;
  Line head;
  for (const Column& column : columns) {
    head.add((column.isRight ? Format::fitRight(column.head, column.width, "")
                             : Format::fit(column.head, column.width, "")) +
                 " ",
             Tone::title);
  }
  lines.push_back(std::move(head));

  const auto sessions = visibleSessions(data.snapshot, state);
  if (sessions.empty()) {
    Line none;
    none.add(state.filter.empty() ? "  No agent sessions are running."
                                  : "  No session matches the filter.",
             Tone::dim);
    lines.push_back(std::move(none));
  }
  const auto leftovers = data.snapshot.leftovers();
  // The leftovers take at most a third of the screen, the sessions what remains.
  const size_t leftoverRows = leftovers.empty() ? 0 : std::min(leftovers.size() + 1, rows / 3);
  const size_t sessionRows = rows > leftoverRows + 1 ? rows - leftoverRows - 1 : 1;
  const SessionInfo* selected = selectedSession(sessions, state);
  const auto at =
      static_cast<size_t>(std::find(sessions.begin(), sessions.end(), selected) - sessions.begin());
  const size_t first = at >= sessionRows ? at - sessionRows + 1 : 0;
  for (size_t i = first; i < sessions.size() && i < first + sessionRows; ++i) {
    lines.push_back(row(columns, *sessions[i], data, canvas, sessions[i] == selected));
  }
  if (leftoverRows == 0) return lines;
  lines.push_back(Look::heading("Left running after their session ended"));
  for (size_t i = 0; i + 1 < leftoverRows; ++i) {
    const TrackedResource& leftover = leftovers[i];
    Line line;
    line.add("  " + std::string{kindName(leftover.resource.kind)} + " ", Tone::dim);
    line.add(leftover.resource.name + " ", Tone::warn);
    line.add("(" + leftover.resource.provider + ")", Tone::dim);
    if (leftover.link) {
      line.add(" from " + Look::sessionTitle(data, leftover.link->sessionId));
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace tessel::view
