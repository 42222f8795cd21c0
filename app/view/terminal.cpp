#include "view/terminal.h"

#include <curses.h>
#include <langinfo.h>

#include <clocale>
#include <cstring>

namespace tessel::view {
namespace {

// Colour pairs by tone; pair 0 is the terminal's own colours.
constexpr short pairOf(Tone tone) { return static_cast<short>(static_cast<int>(tone) + 1); }

attr_t attributesOf(Tone tone, bool hasColor) {
  attr_t attributes = hasColor ? COLOR_PAIR(pairOf(tone)) : A_NORMAL;
  switch (tone) {
    case Tone::dim:
      return attributes | A_DIM;
    case Tone::bold:
    case Tone::title:
    case Tone::working:
    case Tone::bad:
      return attributes | A_BOLD;
    case Tone::selected:
      return A_REVERSE | A_BOLD;
    default:
      return attributes;
  }
}

void setUpColors() {
  start_color();
  use_default_colors();
  const std::pair<Tone, short> colors[] = {
      {Tone::title, COLOR_CYAN},
      {Tone::working, COLOR_GREEN},
      {Tone::waiting, COLOR_YELLOW},
      {Tone::idle, COLOR_BLUE},
      {Tone::good, COLOR_GREEN},
      {Tone::warn, COLOR_YELLOW},
      {Tone::bad, COLOR_RED},
      {Tone::bold, -1},
      {Tone::dim, -1},
      {Tone::normal, -1},
  };
  for (const auto& [tone, color] : colors) init_pair(pairOf(tone), color, -1);
}

}  // namespace

Terminal::Terminal(bool usesColor) {
  std::setlocale(LC_ALL, "");
  isAscii_ = std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0;
  // Esc alone must answer at once, not after ncurses' default second.
  set_escdelay(25);
  initscr();
  cbreak();
  noecho();
  nonl();
  keypad(stdscr, TRUE);
  curs_set(0);
  hasColor_ = usesColor && has_colors();
  if (hasColor_) setUpColors();
}

Terminal::~Terminal() { endwin(); }

size_t Terminal::width() const { return static_cast<size_t>(std::max(COLS, 0)); }
size_t Terminal::height() const { return static_cast<size_t>(std::max(LINES, 0)); }

void Terminal::draw(const Frame& frame) {
  erase();
  const int columns = COLS;
  for (size_t y = 0; y < frame.lines.size() && static_cast<int>(y) < LINES; ++y) {
    const Line& line = frame.lines[y];
    move(static_cast<int>(y), 0);
    for (const Span& span : line.spans) {
      attrset(attributesOf(line.isHighlighted ? Tone::selected : span.tone, hasColor_));
      addstr(span.text.c_str());
    }
    if (line.isHighlighted) {
      // The selection bar spans the whole width, as in htop.
      attrset(A_REVERSE);
      for (int x = static_cast<int>(line.width()); x < columns; ++x) addch(' ');
    }
  }
  attrset(A_NORMAL);
  refresh();
}

std::optional<Key> Terminal::read(int milliseconds) {
  timeout(milliseconds);
  const int key = getch();
  switch (key) {
    case ERR:
    case KEY_RESIZE:
      return std::nullopt;
    case KEY_UP:
      return Key{Key::Kind::up};
    case KEY_DOWN:
      return Key{Key::Kind::down};
    case KEY_PPAGE:
      return Key{Key::Kind::pageUp};
    case KEY_NPAGE:
      return Key{Key::Kind::pageDown};
    case KEY_HOME:
      return Key{Key::Kind::home};
    case KEY_END:
      return Key{Key::Kind::end};
    case KEY_ENTER:
    case '\n':
    case '\r':
      return Key{Key::Kind::enter};
    case 27:
      return Key{Key::Kind::escape};
    case '\t':
      return Key{Key::Kind::tab};
    case KEY_BTAB:
      return Key{Key::Kind::backTab};
    case KEY_BACKSPACE:
    case 127:
    case 8:
      return Key{Key::Kind::backspace};
    default:
      if (key < 0 || key > 0xff) return std::nullopt;
      return Key{Key::Kind::character, static_cast<char32_t>(key)};
  }
}

}  // namespace tessel::view
