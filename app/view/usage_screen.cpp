#include <algorithm>
#include <cstdio>

#include "view/screens.h"

namespace tessel::view {
namespace {

std::string cost(const UsageTotal& total) {
  const auto known = total.knownCost();
  char text[32];
  std::snprintf(text, sizeof text, known ? "$%.2f" : "$%.2f+", total.cost);
  return text;
}

Line totalLine(std::string_view label, const UsageTotal& total, const Canvas& canvas) {
  Line line;
  line.add("  " + Format::fit(label, 22, canvas.glyphs().ellipsis) + " ", Tone::bold);
  line.add(Format::fitRight(Format::count(total.counts.tokens()), 8, "") + " tokens ");
  line.add(Format::fitRight(cost(total), 10, ""), Tone::good);
  line.add(Format::fitRight(std::to_string(total.counts.messages), 7, "") + " replies", Tone::dim);
  return line;
}

void ranked(std::vector<Line>& lines, std::string_view heading, const std::vector<RankedRow>& rows,
            const Canvas& canvas) {
  lines.push_back(Look::heading(heading));
  for (size_t i = 0; i < rows.size() && i < 5; ++i) {
    lines.push_back(totalLine(rows[i].label, rows[i].total, canvas));
  }
}

}  // namespace

std::vector<Line> usageScreen(const ViewData& data, const Canvas& canvas) {
  if (!data.usage) {
    Line waiting;
    waiting.add("  Reading the transcripts for the first time.", Tone::dim);
    return {Look::heading("Usage"), std::move(waiting)};
  }
  const Aggregate& usage = *data.usage;
  std::vector<Line> lines{Look::heading("Tokens and what they cost")};
  lines.push_back(totalLine("Today", usage.today, canvas));
  lines.push_back(totalLine("This week", usage.week, canvas));
  lines.push_back(totalLine("Last 14 days", usage.fourteenDays, canvas));
  ranked(lines, "By project, last 14 days", usage.projects, canvas);
  ranked(lines, "By model, last 14 days", usage.models, canvas);

  // Replies by weekday and hour, each cell shaded against the busiest.
  int64_t most = 0;
  for (const auto& day : usage.heat)
    most = std::max(most, *std::max_element(day.begin(), day.end()));
  const Glyphs& glyphs = canvas.glyphs();
  const size_t cell = canvas.width >= 4 + 24 * 2 ? 2 : 1;
  lines.push_back(Look::heading("When the work happens (replies by weekday and hour)"));
  Line hours;
  hours.add("      ");
  for (int hour = 0; hour < 24; hour += cell == 2 ? 3 : 6) {
    hours.add(Format::fit(std::to_string(hour), cell * (cell == 2 ? 3 : 6), ""), Tone::dim);
  }
  lines.push_back(std::move(hours));
  static constexpr const char* days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  for (size_t day = 0; day < 7; ++day) {
    Line line;
    line.add("  " + std::string{days[day]}, Tone::dim);
    std::string cells;
    for (const int64_t count : usage.heat[day]) {
      size_t shade = 0;
      if (count > 0 && most > 0) shade = 1 + static_cast<size_t>(3 * count / most);
      for (size_t i = 0; i < cell; ++i) cells += glyphs.shades[std::min<size_t>(shade, 4)];
    }
    line.add(" " + cells, Tone::working);
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace tessel::view
