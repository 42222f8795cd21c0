// Damage of the kinds other programs' files really show, applied at random: a cut
// anywhere (a write in progress), flipped bytes, stray structural characters and
// invalid UTF-8, runs of bytes gone.
#pragma once

#include <random>
#include <string>

namespace tessel::test {

inline std::string damaged(std::string text, std::mt19937& random) {
  const int edits = 1 + static_cast<int>(random() % 4);
  for (int edit = 0; edit < edits && !text.empty(); ++edit) {
    const size_t at = random() % text.size();
    switch (random() % 4) {
      case 0:
        text.resize(at);
        break;
      case 1:
        text[at] = static_cast<char>(random() % 256);
        break;
      case 2:
        text.insert(at, 1, "{}[]\",:\\0e-\x80\xC3\n"[random() % 15]);
        break;
      default:
        text.erase(at, 1 + random() % 8);
        break;
    }
  }
  return text;
}

}  // namespace tessel::test
