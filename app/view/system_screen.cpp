#include <algorithm>
#include <cstdio>

#include "view/screens.h"

namespace tessel::view {
namespace {

Line meter(std::string_view label, double percent, std::string_view figures, size_t width,
           const Canvas& canvas) {
  Line line;
  line.add(Format::fit(label, 6, "") + " ", Tone::bold);
  const Tone tone = percent >= 90 ? Tone::bad : percent >= 60 ? Tone::warn : Tone::good;
  line.add(Format::bar(percent, width, canvas.glyphs()), tone);
  line.add(" " + std::string{figures});
  return line;
}

std::string rate(double bytesPerSecond) { return Format::bytes(bytesPerSecond) + "/s"; }

void processes(std::vector<Line>& lines, std::string_view heading,
               const std::vector<ProcessEntry>& entries, const Canvas& canvas) {
  lines.push_back(Look::heading(heading));
  for (size_t i = 0; i < entries.size() && i < 5; ++i) {
    lines.push_back(Look::processLine(entries[i], canvas));
  }
}

}  // namespace

std::vector<Line> systemScreen(const ViewData& data, const Canvas& canvas) {
  const ActivitySnapshot& snapshot = data.snapshot;
  std::vector<Line> lines{Look::heading("Cores")};
  // Two cores to a line, as btop packs them, so a many-core machine keeps its room.
  const size_t half = canvas.width / 2;
  const size_t barWidth = half > 20 ? half - 20 : 4;
  for (size_t core = 0; core < snapshot.perCore.size(); core += 2) {
    Line line;
    for (size_t i = core; i < core + 2 && i < snapshot.perCore.size(); ++i) {
      char figure[16];
      std::snprintf(figure, sizeof figure, "%3.0f%%   ", snapshot.perCore[i]);
      Line one = meter("cpu" + std::to_string(i), snapshot.perCore[i], figure, barWidth, canvas);
      for (Span& span : one.spans) line.spans.push_back(std::move(span));
    }
    lines.push_back(std::move(line));
  }
  const size_t wide = std::clamp<size_t>(canvas.width > 30 ? canvas.width - 30 : 0, 10, 50);
  if (snapshot.system) {
    const SystemSample& system = *snapshot.system;
    const double total = static_cast<double>(std::max<int64_t>(system.memTotal, 1));
    lines.push_back(Look::heading("Memory"));
    lines.push_back(meter("mem", 100.0 * static_cast<double>(system.memUsed) / total,
                          Format::bytes(static_cast<double>(system.memUsed)) + " of " +
                              Format::bytes(static_cast<double>(system.memTotal)),
                          wide, canvas));
    Line figures;
    figures.add("swap " + Format::bytes(static_cast<double>(system.swapUsed)) + " in use   ");
    figures.add("pressure " + std::to_string(system.pressure));
    lines.push_back(std::move(figures));
    figures = Line{};
    figures.add("net in " + rate(system.netIn) + " out " + rate(system.netOut) + "   ");
    figures.add("disk read " + rate(system.diskRead) + " write " + rate(system.diskWrite));
    lines.push_back(std::move(figures));
    if (system.gpu) {
      char figure[16];
      std::snprintf(figure, sizeof figure, "%.0f%%", *system.gpu);
      lines.push_back(meter("gpu", *system.gpu, figure, wide, canvas));
    }
  } else {
    Line waiting;
    waiting.add("  The first machine reading comes with the next update.", Tone::dim);
    lines.push_back(std::move(waiting));
  }
  processes(lines, "Top processes by CPU", snapshot.topCPU, canvas);
  processes(lines, "Top processes by memory", snapshot.topMemory, canvas);
  return lines;
}

}  // namespace tessel::view
