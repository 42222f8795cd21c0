// Plain-text output of the report commands: columns aligned like `docker ps`, and the
// few ways numbers, sizes, dates and spans of time are written in them. Stateless.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/date.h"

namespace tessel::TextTable {

// One colour a cell may take on a colour terminal.
enum class Tint { none, bold, dim, green, yellow, red, blue, cyan };

struct Cell {
  std::string text{};
  Tint tint = Tint::none;
};

struct Table {
  std::vector<std::string> headers{};
  // Columns whose figures line up on the right.
  std::vector<bool> isRightAligned{};
  std::vector<std::vector<Cell>> rows{};
  // The longest a cell may be before it is cut with an ellipsis; 0 leaves it whole.
  size_t widest = 60;

  // The table, headers first, each line ended by a line feed; nothing at all without rows.
  std::string render(bool isColored) const;
};

std::string tinted(std::string_view text, Tint tint, bool isColored);

// 1536 -> "1.5 KB", in powers of 1024 like `docker` and `ps`.
std::string bytes(int64_t count);
// 1234567 -> "1.2M"; below ten thousand the number itself.
std::string tokens(int64_t count);
// 12345678 -> "12,345,678".
std::string grouped(int64_t count);
// Seconds as "850 ms", "42 s", "3 min", "2 h 5 min" or "3 d 4 h".
std::string span(double seconds);
// The local time: today as "14:02:07", another day as "2026-12-07 14:02".
std::string when(Date date, Date now);
std::string dollars(double amount);
// At most `limit` code points, the last replaced by an ellipsis when cut; line ends
// become spaces.
std::string clipped(std::string_view text, size_t limit);

}  // namespace tessel::TextTable
