#include "view/frame.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "util/text.h"

namespace tessel::view {

void Line::add(std::string text, Tone tone) { spans.push_back(Span{std::move(text), tone}); }

size_t Line::width() const {
  size_t columns = 0;
  for (const auto& span : spans) columns += tessel::Text::codePoints(span.text);
  return columns;
}

std::string Line::text() const {
  std::string result;
  for (const auto& span : spans) result += span.text;
  return result;
}

std::string Frame::text() const {
  std::string result;
  for (const auto& line : lines) result += line.text() + '\n';
  return result;
}

const Glyphs& Glyphs::forTerminal(bool isAscii) {
  static const Glyphs unicode{"●", "◆", "○", "◌", "█", "░", {" ", "░", "▒", "▓", "█"},
                              "…", "▶", "→"};
  static const Glyphs ascii{"*", "!", "-", ".", "#", ".", {" ", ".", ":", "+", "#"}, "~", ">", ">"};
  return isAscii ? ascii : unicode;
}

namespace Format {
namespace {

// Code points of `text` with control characters made spaces; invalid bytes are
// repaired first, so that a cut never splits a character.
std::string printable(std::string_view text) {
  std::string clean =
      tessel::Text::isValidUtf8(text) ? std::string{text} : tessel::Text::repairUtf8(text);
  for (char& c : clean) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return clean;
}

}  // namespace

std::string fit(std::string_view text, size_t width, std::string_view ellipsis) {
  const std::string clean = printable(text);
  const size_t columns = tessel::Text::codePoints(clean);
  if (columns <= width) return clean + std::string(width - columns, ' ');
  if (width == 0) return {};
  return std::string{tessel::Text::prefixCodePoints(clean, width - 1)} + std::string{ellipsis};
}

std::string fitRight(std::string_view text, size_t width, std::string_view ellipsis) {
  const std::string clean = printable(text);
  const size_t columns = tessel::Text::codePoints(clean);
  if (columns <= width) return std::string(width - columns, ' ') + clean;
  return fit(clean, width, ellipsis);
}

std::string duration(double seconds) {
  const auto s = static_cast<int64_t>(std::max(0.0, seconds));
  if (s < 60) return std::to_string(s) + "s";
  if (s < 3600) return std::to_string(s / 60) + "m";
  if (s < 86400) return std::to_string(s / 3600) + "h" + std::to_string(s % 3600 / 60) + "m";
  return std::to_string(s / 86400) + "d" + std::to_string(s % 86400 / 3600) + "h";
}

std::string bytes(double bytes) {
  static constexpr const char* units[] = {"B", "K", "M", "G", "T"};
  size_t unit = 0;
  while (bytes >= 1024 && unit + 1 < std::size(units)) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  if (unit == 0 || bytes >= 100) {
    std::snprintf(text, sizeof text, "%.0f%s", bytes, units[unit]);
  } else {
    std::snprintf(text, sizeof text, "%.1f%s", bytes, units[unit]);
  }
  return text;
}

std::string count(int64_t count) {
  char text[32];
  const auto value = static_cast<double>(count);
  if (count < 1000) return std::to_string(count);
  if (count < 1000000) {
    std::snprintf(text, sizeof text, "%.1fk", value / 1e3);
  } else if (count < 1000000000) {
    std::snprintf(text, sizeof text, "%.1fM", value / 1e6);
  } else {
    std::snprintf(text, sizeof text, "%.1fG", value / 1e9);
  }
  return text;
}

std::string bar(double percent, size_t width, const Glyphs& glyphs) {
  const double share = std::clamp(percent, 0.0, 100.0) / 100.0;
  const auto full = static_cast<size_t>(std::lround(share * static_cast<double>(width)));
  std::string result;
  for (size_t i = 0; i < width; ++i) result += i < full ? glyphs.barFull : glyphs.barEmpty;
  return result;
}

}  // namespace Format
}  // namespace tessel::view
