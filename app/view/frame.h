// What one screen of the live view shows: lines of spans, each span a piece of text and
// the look it is drawn with. Frames are plain values built by pure functions, so the
// terminal layer only copies them out and the tests read them as text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::view {

enum class Tone {
  normal,
  dim,
  bold,
  title,     // the header and the column heads
  selected,  // the selected row
  working,
  waiting,
  idle,
  good,
  warn,
  bad,
};

struct Span {
  std::string text{};
  Tone tone = Tone::normal;
  bool operator==(const Span&) const = default;
};

struct Line {
  std::vector<Span> spans{};
  // The whole row is drawn in this tone behind its spans (the selection bar).
  bool isHighlighted = false;

  void add(std::string text, Tone tone = Tone::normal);
  // Columns taken, one per code point: every character the view writes itself is one
  // column wide.
  size_t width() const;
  std::string text() const;
  bool operator==(const Line&) const = default;
};

struct Frame {
  std::vector<Line> lines{};
  // The first line of the screen shown: the user's scroll, held at the screen's end.
  size_t scroll = 0;
  std::string text() const;  // the lines, each ended by a line feed
};

// The characters a screen is drawn with: box and shade characters on a UTF-8 terminal,
// plain ASCII stand-ins elsewhere.
struct Glyphs {
  std::string_view working, waiting, idle, background;
  std::string_view barFull, barEmpty;
  std::string_view shades[5];  // from nothing to most
  std::string_view ellipsis, marker, arrow;

  static const Glyphs& forTerminal(bool isAscii);
};

namespace Format {

// `text` cut or padded to exactly `width` columns; a cut ends with `ellipsis`. Control
// characters become spaces, so that a title with a tab cannot move the columns.
std::string fit(std::string_view text, size_t width, std::string_view ellipsis);
// The same, the padding in front.
std::string fitRight(std::string_view text, size_t width, std::string_view ellipsis);
// Whole seconds as "42s", "7m", "3h12m", "2d4h".
std::string duration(double seconds);
// Bytes as "512K", "1.4G".
std::string bytes(double bytes);
// Token counts as "980", "12.3k", "4.1M".
std::string count(int64_t count);
// A bar of `width` cells, `percent` of them full.
std::string bar(double percent, size_t width, const Glyphs& glyphs);

}  // namespace Format
}  // namespace tessel::view
