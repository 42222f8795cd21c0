#include "text_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "util/calendar.h"
#include "util/text.h"

namespace tessel::TextTable {
namespace {

std::string_view code(Tint tint) {
  switch (tint) {
    case Tint::bold:
      return "\033[1m";
    case Tint::dim:
      return "\033[2m";
    case Tint::green:
      return "\033[32m";
    case Tint::yellow:
      return "\033[33m";
    case Tint::red:
      return "\033[31m";
    case Tint::blue:
      return "\033[34m";
    case Tint::cyan:
      return "\033[36m";
    case Tint::none:
      break;
  }
  return {};
}

std::string formatted(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

std::string tinted(std::string_view text, Tint tint, bool isColored) {
  if (!isColored || tint == Tint::none || text.empty()) return std::string(text);
  return std::string(code(tint)).append(text).append("\033[0m");
}

std::string Table::render(bool isColored) const {
  if (rows.empty()) return {};
  std::vector<std::vector<std::string>> texts;
  std::vector<size_t> widths(headers.size(), 0);
  for (size_t column = 0; column < headers.size(); ++column) {
    widths[column] = Text::codePoints(headers[column]);
  }
  for (const auto& row : rows) {
    auto& line = texts.emplace_back();
    for (size_t column = 0; column < headers.size(); ++column) {
      line.push_back(column < row.size() ? clipped(row[column].text, widest) : std::string{});
      widths[column] = std::max(widths[column], Text::codePoints(line.back()));
    }
  }
  const auto pad = [&](std::string& out, const std::string& text, size_t column, Tint tint) {
    const size_t gap = widths[column] - Text::codePoints(text);
    const bool isRight = column < isRightAligned.size() && isRightAligned[column];
    const bool isLast = column + 1 == headers.size();
    if (isRight) out.append(gap, ' ');
    out += tinted(text, tint, isColored);
    if (!isRight && !isLast) out.append(gap, ' ');
    if (!isLast) out += "   ";
  };
  std::string out;
  for (size_t column = 0; column < headers.size(); ++column) {
    pad(out, headers[column], column, Tint::bold);
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  out += '\n';
  for (size_t index = 0; index < rows.size(); ++index) {
    for (size_t column = 0; column < headers.size(); ++column) {
      const Tint tint = column < rows[index].size() ? rows[index][column].tint : Tint::none;
      pad(out, texts[index][column], column, tint);
    }
    // A right-aligned last column leaves no trailing blanks; a left one may.
    while (!out.empty() && out.back() == ' ') out.pop_back();
    out += '\n';
  }
  return out;
}

std::string bytes(int64_t count) {
  static constexpr const char* units[] = {"B", "KB", "MB", "GB", "TB", "PB"};
  double value = static_cast<double>(std::max<int64_t>(count, 0));
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(units)) {
    value /= 1024;
    ++unit;
  }
  if (unit == 0) return std::to_string(count) + " B";
  return formatted(value < 10 ? "%.1f" : "%.0f", value) + " " + units[unit];
}

std::string tokens(int64_t count) {
  if (count < 10000) return std::to_string(count);
  if (count < 1000000) return formatted("%.1fk", static_cast<double>(count) / 1e3);
  if (count < 1000000000) return formatted("%.1fM", static_cast<double>(count) / 1e6);
  return formatted("%.2fB", static_cast<double>(count) / 1e9);
}

std::string grouped(int64_t count) {
  const std::string digits = std::to_string(count < 0 ? -count : count);
  std::string out = count < 0 ? "-" : "";
  for (size_t index = 0; index < digits.size(); ++index) {
    if (index > 0 && (digits.size() - index) % 3 == 0) out.push_back(',');
    out.push_back(digits[index]);
  }
  return out;
}

std::string span(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
  if (seconds < 1) return formatted("%.0f ms", seconds * 1000);
  if (seconds < 60) return formatted(seconds < 10 ? "%.1f s" : "%.0f s", seconds);
  const int64_t whole = std::llround(seconds);
  char text[64];
  if (whole < 3600) {
    std::snprintf(text, sizeof text, "%lld min", static_cast<long long>(whole / 60));
  } else if (whole < 86400) {
    const long long minutes = whole % 3600 / 60;
    std::snprintf(text, sizeof text, minutes == 0 ? "%lld h" : "%lld h %lld min",
                  static_cast<long long>(whole / 3600), minutes);
  } else {
    const long long hours = whole % 86400 / 3600;
    std::snprintf(text, sizeof text, hours == 0 ? "%lld d" : "%lld d %lld h",
                  static_cast<long long>(whole / 86400), hours);
  }
  return text;
}

std::string when(Date date, Date now) {
  if (Calendar::localDay(date) == Calendar::localDay(now)) {
    return Calendar::formatLocal(date, "%H:%M:%S");
  }
  return Calendar::formatLocal(date, "%Y-%m-%d %H:%M");
}

std::string dollars(double amount) { return formatted("$%.2f", amount); }

std::string clipped(std::string_view text, size_t limit) {
  std::string flat(text);
  std::replace_if(
      flat.begin(), flat.end(), [](char c) { return c == '\n' || c == '\r' || c == '\t'; }, ' ');
  if (limit == 0 || Text::codePoints(flat) <= limit) return flat;
  std::string cut(Text::prefixCodePoints(flat, limit - 1));
  return cut.append("…");
}

}  // namespace tessel::TextTable
