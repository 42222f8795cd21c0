#include <algorithm>

#include "view/screens.h"

namespace tessel::view {

std::vector<Line> environmentsScreen(const ViewData& data, const Canvas& canvas) {
  const std::string_view ellipsis = canvas.glyphs().ellipsis;
  std::vector<Line> lines{Look::heading("Providers")};
  if (!data.scan) {
    Line waiting;
    waiting.add("  The first scan is still running.", Tone::dim);
    lines.push_back(std::move(waiting));
  } else {
    for (const Provider& provider : data.scan->providers) {
      if (!provider.isInstalled) continue;
      Line line;
      line.add("  " + Format::fit(provider.name, 18, ellipsis) + " ", Tone::bold);
      line.add(provider.isRunning ? "running " : "stopped ",
               provider.isRunning ? Tone::good : Tone::dim);
      line.add(Format::fitRight(std::to_string(provider.count), 3, "") + "  ");
      if (provider.note) line.add(*provider.note, Tone::dim);
      lines.push_back(std::move(line));
    }
  }
  lines.push_back(Look::heading("Containers, VMs and processes"));
  const ActivitySnapshot& snapshot = data.snapshot;
  if (snapshot.resources.empty()) {
    Line none;
    none.add("  none found", Tone::dim);
    lines.push_back(std::move(none));
  }
  const size_t nameWidth = canvas.width >= 110 ? 28 : 18;
  // What a session started or used first, then machines, containers, and plain
  // processes last: those are most of the list and least of the news.
  std::vector<const TrackedResource*> ordered;
  for (const TrackedResource& tracked : snapshot.resources) ordered.push_back(&tracked);
  std::stable_sort(ordered.begin(), ordered.end(), [](const auto* a, const auto* b) {
    return std::pair{!a->link.has_value(), a->resource.kind} <
           std::pair{!b->link.has_value(), b->resource.kind};
  });
  for (const TrackedResource* entry : ordered) {
    const TrackedResource& tracked = *entry;
    const Resource& resource = tracked.resource;
    Line line;
    line.add("  " + Format::fit(kindName(resource.kind), 9, "") + " ", Tone::dim);
    line.add(Format::fit(resource.name, nameWidth, ellipsis) + " ", Tone::bold);
    line.add(Format::fit(resource.group.value_or(""), 12, ellipsis) + " ", Tone::dim);
    line.add(Format::fit(resource.provider, 10, ellipsis) + " ");
    line.add(Format::fitRight(resource.memory ? Format::bytes(static_cast<double>(*resource.memory))
                                              : std::string{"-"},
                              6, "") +
             "  ");
    if (tracked.link) {
      line.add(Look::sessionTitle(data, tracked.link->sessionId));
      line.add(tracked.link->isCertain() ? " (certain)" : " (from history)",
               tracked.link->isCertain() ? Tone::good : Tone::warn);
    } else {
      line.add("no session", Tone::dim);
    }
    if (tracked.isLeftover) line.add("  left running", Tone::warn);
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace tessel::view
