#include <algorithm>
#include <cstdio>

#include "util/calendar.h"
#include "view/screens.h"

namespace tessel::view {
namespace {

Line resourceLine(const TrackedResource& tracked) {
  const Resource& resource = tracked.resource;
  Line line;
  line.add("  " + Format::fit(kindName(resource.kind), 10, "") + " ");
  line.add(resource.name, Tone::bold);
  if (resource.group) line.add(" [" + *resource.group + "]", Tone::dim);
  line.add(" " + resource.provider + ", " + resource.state, Tone::dim);
  if (tracked.link) {
    line.add(tracked.link->started ? "  started" : "  used");
    line.add(tracked.link->isCertain() ? " (certain)" : " (from history)",
             tracked.link->isCertain() ? Tone::good : Tone::warn);
  }
  if (tracked.isLeftover) line.add("  left running", Tone::warn);
  return line;
}

Line eventLine(const ToolEvent& event, const Canvas& canvas) {
  Line line;
  line.add("  " + Calendar::formatLocal(event.start, "%H:%M:%S") + " ", Tone::dim);
  const auto duration = event.duration();
  line.add(Format::fitRight(duration    ? Format::duration(*duration)
                            : event.end ? std::string{"?"}
                                        : std::string{"running"},
                            7, "") +
               " ",
           event.end ? Tone::normal : Tone::working);
  line.add(event.isError ? "failed " : "       ", Tone::bad);
  line.add(event.isBackground ? "bg " : "   ", Tone::dim);
  line.add(ToolEvent::prettyTool(event.tool) + " ", Tone::bold);
  line.add(Format::fit(event.summary, canvas.width > 40 ? canvas.width - 40 : 0,
                       canvas.glyphs().ellipsis));
  return line;
}

}  // namespace

std::vector<Line> detailScreen(const ViewData& data, const SessionInfo& session,
                               const Canvas& canvas, size_t rows) {
  const Glyphs& glyphs = canvas.glyphs();
  std::vector<Line> top;
  Line title;
  title.add(std::string{Look::stateSymbol(session.state, glyphs)} + " " +
                std::string{toString(session.state)} + "  ",
            Look::stateTone(session.state));
  title.add(Look::titleOf(session), Tone::bold);
  title.add("  " + session.project + "  " + std::string{toString(session.assistant)}, Tone::dim);
  if (session.model) title.add("  " + prettyModel(*session.model));
  top.push_back(std::move(title));
  Line where;
  where.add(
      "  " + session.id() + "  pid " + std::to_string(session.live.pid) + "  " + session.live.cwd,
      Tone::dim);
  top.push_back(std::move(where));
  Line now;
  now.add("  " + Look::activityOf(session));
  top.push_back(std::move(now));

  std::vector<Line> rest;
  rest.push_back(Look::heading("Processes"));
  if (session.process) rest.push_back(Look::processLine(*session.process, canvas));
  for (size_t i = 0; i < session.children.size() && i < 5; ++i) {
    rest.push_back(Look::processLine(session.children[i], canvas));
  }
  if (session.children.size() > 5) {
    Line more;
    more.add("  and " + std::to_string(session.children.size() - 5) + " more", Tone::dim);
    rest.push_back(std::move(more));
  }
  const auto resources = data.snapshot.resourcesFor(session.id());
  rest.push_back(Look::heading("Containers, VMs and processes it started or used"));
  if (resources.empty()) {
    Line none;
    none.add("  none", Tone::dim);
    rest.push_back(std::move(none));
  }
  for (const auto& resource : resources) rest.push_back(resourceLine(resource));
  Line usage;
  const auto tokens = data.tokensToday.find(session.id());
  usage.add("Today ", Tone::title);
  usage.add(tokens == data.tokensToday.end() ? "no tokens counted yet"
                                             : Format::count(tokens->second) + " tokens");
  if (data.plan) {
    for (const PlanWindow& window : data.plan->windows) {
      char figure[64];
      std::snprintf(figure, sizeof figure, "   %s %.0f%%", window.label.c_str(),
                    window.percentUsed);
      usage.add(figure);
    }
  }
  rest.push_back(std::move(usage));

  // The timeline takes what the other parts leave, latest call first.
  const size_t fixed = top.size() + rest.size() + 1;
  const size_t room = rows > fixed ? std::max<size_t>(rows - fixed, 3) : 3;
  std::vector<Line> lines = std::move(top);
  lines.push_back(Look::heading("Tool calls, latest first"));
  if (data.timeline.empty()) {
    Line none;
    none.add("  none read yet", Tone::dim);
    lines.push_back(std::move(none));
  }
  const size_t shown = std::min(room, data.timeline.size());
  for (size_t i = 0; i < shown; ++i) {
    lines.push_back(eventLine(data.timeline[data.timeline.size() - 1 - i], canvas));
  }
  for (Line& line : rest) lines.push_back(std::move(line));
  return lines;
}

}  // namespace tessel::view
