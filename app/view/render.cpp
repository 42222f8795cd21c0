#include <algorithm>
#include <cstdio>

#include "usage/plan.h"
#include "util/calendar.h"
#include "util/text.h"
#include "view/screens.h"

namespace tessel::view {
namespace {

constexpr const char* screenNames[] = {"Sessions", "Environments", "Usage", "System"};

void percentWindow(Line& line, std::string_view label, double percent, std::optional<Date> resets,
                   const Canvas& canvas) {
  char figure[16];
  std::snprintf(figure, sizeof figure, " %3.0f%%", percent);
  const Tone tone = percent >= 90 ? Tone::bad : percent >= 70 ? Tone::warn : Tone::good;
  line.add(std::string{label} + " ", Tone::bold);
  line.add(Format::bar(percent, 10, canvas.glyphs()), tone);
  line.add(figure);
  if (resets) line.add(" " + Look::clockTime(*resets, canvas.now), Tone::dim);
  line.add("   ");
}

Line planLine(const ViewData& data, const Canvas& canvas) {
  Line line;
  bool hasWindow = false;
  if (data.plan) {
    for (const auto& [kind, label] : {std::pair{"five_hour", "5h"}, {"seven_day", "week"}}) {
      if (const PlanWindow* window = data.plan->window(kind)) {
        percentWindow(line, label, window->percentUsed, window->resetsAt, canvas);
        hasWindow = true;
      }
    }
  }
  if (data.codexLimits) {
    for (const auto& window : data.codexLimits->windows) {
      const bool isWeekly = window.minutes == CodexLimits::weeklyMinutes;
      percentWindow(line, isWeekly ? "Codex week" : "Codex 5h", window.percentUsed, window.resetsAt,
                    canvas);
      hasWindow = true;
    }
  }
  if (!hasWindow) {
    const bool hasNote = data.plan && data.plan->note;
    line.add(hasNote ? *data.plan->note : std::string{PlanMath::noReadingNote}, Tone::dim);
  }
  return line;
}

Line statusLine(const ViewData& data, const ViewState& state, const Canvas& canvas) {
  const ActivitySnapshot& snapshot = data.snapshot;
  const Glyphs& glyphs = canvas.glyphs();
  size_t working = 0;
  size_t waiting = 0;
  size_t idle = 0;
  for (const auto* rows : {&snapshot.sessions, &snapshot.codexSessions}) {
    for (const SessionInfo& session : *rows) {
      if (session.state == SessionInfo::State::working)
        ++working;
      else if (session.state == SessionInfo::State::waiting)
        ++waiting;
      else
        ++idle;
    }
  }
  // An 80-column terminal keeps the machine's figures by dropping the name and spaces.
  const bool isNarrow = canvas.width < 100;
  const std::string gap = isNarrow ? " " : "  ";
  Line line;
  if (!isNarrow) line.add("tessel ", Tone::title);
  line.add(Calendar::formatLocal(canvas.now, "%H:%M:%S") + "  ");
  line.add(std::string{glyphs.working} + " " + std::to_string(working) + " working  ",
           Tone::working);
  line.add(std::string{glyphs.waiting} + " " + std::to_string(waiting) + " waiting  ",
           Tone::waiting);
  line.add(std::string{glyphs.idle} + " " + std::to_string(idle) + " idle  ", Tone::idle);
  if (snapshot.system) {
    const SystemSample& system = *snapshot.system;
    char load[32];
    std::snprintf(load, sizeof load, "CPU %.0f%%%sLoad %.2f%s", system.cpu, gap.c_str(),
                  system.load, gap.c_str());
    line.add(load);
    line.add("Mem " + Format::bytes(static_cast<double>(system.memUsed)) + "/" +
             Format::bytes(static_cast<double>(system.memTotal)));
  }
  if (state.isPaused) line.add("  PAUSED", Tone::warn);
  return line;
}

Line tabLine(const ViewState& state) {
  Line line;
  for (int i = 0; i < 4; ++i) {
    const bool isCurrent = static_cast<int>(state.screen) == i;
    line.add(" " + std::to_string(i + 1) + " " + screenNames[i] + " ",
             isCurrent ? Tone::selected : Tone::dim);
    line.add(" ");
  }
  if (!state.filter.empty() || state.isTypingFilter) {
    line.add(" filter: ", Tone::dim);
    line.add(state.filter + (state.isTypingFilter ? "_" : ""), Tone::bold);
  }
  if (!state.showsCodex) line.add("  Codex hidden", Tone::dim);
  return line;
}

Line keyLine(const ViewState& state, const Canvas& canvas) {
  Line line;
  const auto key = [&line](std::string_view name, std::string_view what) {
    line.add(std::string{name} + " ", Tone::title);
    line.add(std::string{what} + "  ");
  };
  if (state.isTypingFilter) {
    key("Enter", "keep filter");
    key("Esc", "clear filter");
    return line;
  }
  key("q", "quit");
  key(canvas.isAscii ? "j/k" : "↑↓", "move");
  if (state.isDetail)
    key("Esc", "back");
  else
    key("Enter", "detail");
  key("Tab", "view");
  key("/", "filter");
  key("c", "Codex");
  key("p", state.isPaused ? "resume" : "pause");
  key("?", "help");
  return line;
}

std::vector<Line> helpScreen() {
  static constexpr std::pair<const char*, const char*> keys[] = {
      {"q", "quit"},
      {"Up/Down, j/k", "move the selection (or scroll)"},
      {"PgUp/PgDn, Home/End", "move further"},
      {"Enter", "the selected session's detail"},
      {"Esc", "back to the list, or clear the filter"},
      {"Tab, Shift-Tab, 1-4", "Sessions, Environments, Usage, System"},
      {"/", "filter the sessions by text"},
      {"c", "show or hide Codex sessions"},
      {"p", "pause or resume updates"},
      {"?", "this help; any key closes it"},
  };
  std::vector<Line> lines{Look::heading("Keys")};
  for (const auto& [name, what] : keys) {
    Line line;
    line.add("  " + Format::fit(name, 22, "~"), Tone::bold);
    line.add(what);
    lines.push_back(std::move(line));
  }
  return lines;
}

// Cuts `line` to `width` columns and, for an ASCII terminal, replaces whatever else
// came in (titles, summaries) with '?', one per character.
void finish(Line& line, const Canvas& canvas) {
  size_t left = canvas.width;
  for (Span& span : line.spans) {
    const size_t columns = Text::codePoints(span.text);
    if (columns > left) span.text = std::string{Text::prefixCodePoints(span.text, left)};
    left -= std::min(left, columns);
    if (!canvas.isAscii) continue;
    std::string ascii;
    for (size_t i = 0; i < span.text.size(); ++i) {
      const auto byte = static_cast<unsigned char>(span.text[i]);
      if (byte < 0x80)
        ascii += span.text[i];
      else if ((byte & 0xC0) != 0x80)
        ascii += '?';
    }
    span.text = std::move(ascii);
  }
  std::erase_if(line.spans, [](const Span& span) { return span.text.empty(); });
}

}  // namespace

Frame render(const ViewData& data, const ViewState& state, const Canvas& canvas) {
  Frame frame;
  frame.lines = {statusLine(data, state, canvas), planLine(data, canvas), tabLine(state)};
  const size_t rows = canvas.height > 4 ? canvas.height - 4 : 0;
  std::vector<Line> body;
  const auto sessions = visibleSessions(data.snapshot, state);
  const SessionInfo* selected = selectedSession(sessions, state);
  bool scrolls = true;
  if (state.showsHelp) {
    body = helpScreen();
  } else if (state.screen == Screen::sessions && state.isDetail && selected != nullptr) {
    body = detailScreen(data, *selected, canvas, rows + state.scroll);
  } else if (state.screen == Screen::sessions) {
    body = sessionsScreen(data, state, canvas, rows);
    scrolls = false;
  } else if (state.screen == Screen::environments) {
    body = environmentsScreen(data, canvas);
  } else if (state.screen == Screen::usage) {
    body = usageScreen(data, canvas);
  } else {
    body = systemScreen(data, canvas);
  }
  frame.scroll = scrolls ? std::min(state.scroll, body.size() > rows ? body.size() - rows : 0) : 0;
  for (size_t i = frame.scroll; i < body.size() && frame.lines.size() < 3 + rows; ++i) {
    frame.lines.push_back(std::move(body[i]));
  }
  while (frame.lines.size() < 3 + rows) frame.lines.emplace_back();
  if (canvas.height > 3) frame.lines.push_back(keyLine(state, canvas));
  frame.lines.resize(std::min(frame.lines.size(), canvas.height));
  for (Line& line : frame.lines) finish(line, canvas);
  return frame;
}

namespace Look {

Tone stateTone(SessionInfo::State state) {
  switch (state) {
    case SessionInfo::State::working:
      return Tone::working;
    case SessionInfo::State::waiting:
      return Tone::waiting;
    case SessionInfo::State::idle:
    case SessionInfo::State::background:
      return Tone::idle;
  }
  return Tone::normal;
}

std::string_view stateSymbol(SessionInfo::State state, const Glyphs& glyphs) {
  switch (state) {
    case SessionInfo::State::working:
      return glyphs.working;
    case SessionInfo::State::waiting:
      return glyphs.waiting;
    case SessionInfo::State::idle:
      return glyphs.idle;
    case SessionInfo::State::background:
      return glyphs.background;
  }
  return glyphs.idle;
}

std::string titleOf(const SessionInfo& session) {
  if (!session.title.empty()) return session.title;
  return session.id().substr(0, 8);
}

std::string activityOf(const SessionInfo& session) {
  if (session.lastEvent && !session.lastEvent->end) {
    const ToolEvent& event = *session.lastEvent;
    std::string text = ToolEvent::prettyTool(event.tool);
    if (!event.summary.empty()) text += ": " + event.summary;
    return text;
  }
  return "quiet " + Format::duration(session.quietFor);
}

std::string sessionTitle(const ViewData& data, const std::string& id) {
  for (const auto* rows : {&data.snapshot.sessions, &data.snapshot.codexSessions}) {
    for (const SessionInfo& session : *rows) {
      if (session.id() == id) return titleOf(session);
    }
  }
  const auto ended = data.endedTitles.find(id);
  return ended != data.endedTitles.end() && !ended->second.empty() ? ended->second
                                                                   : id.substr(0, 8);
}

std::string clockTime(Date date, Date now) {
  const bool isSoon = date - now < 20 * 3600;
  return Calendar::formatLocal(date, isSoon ? "%H:%M" : "%a %H:%M");
}

Line heading(std::string_view words) {
  Line line;
  line.add(std::string{words}, Tone::title);
  return line;
}

Line processLine(const ProcessEntry& process, const Canvas& canvas) {
  char figures[48];
  std::snprintf(figures, sizeof figures, "  %7d %5.0f%% %6s  ", process.pid, process.cpu,
                Format::bytes(static_cast<double>(process.memory)).c_str());
  Line line;
  line.add(figures);
  line.add(Format::fit(process.command, canvas.width > 26 ? canvas.width - 26 : 0,
                       canvas.glyphs().ellipsis),
           Tone::dim);
  return line;
}

}  // namespace Look
}  // namespace tessel::view
