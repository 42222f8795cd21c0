// The one place that talks to the terminal, through ncurses: draws a frame, reads a key
// with a time-out, and says how large the window is and whether it can show more than
// ASCII. One object at a time, on the view's own thread.
#pragma once

#include <optional>

#include "view/frame.h"
#include "view/view_model.h"

namespace tessel::view {

class Terminal {
 public:
  // Takes over the screen; `usesColor` false draws with bold, dim and reverse only.
  explicit Terminal(bool usesColor);
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;
  // Gives the screen back as it was.
  ~Terminal();

  size_t width() const;
  size_t height() const;
  // True unless the locale's character set is UTF-8.
  bool isAscii() const { return isAscii_; }

  void draw(const Frame& frame);
  // The next key, or nothing after `milliseconds` (also after a resize, which the next
  // frame then fits).
  std::optional<Key> read(int milliseconds);

 private:
  bool isAscii_ = true;
  bool hasColor_ = false;
};

}  // namespace tessel::view
