// UTF-8 text helpers shared by every reader. Stateless.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessel::Text {

bool isValidUtf8(std::string_view bytes);
// `bytes` with every invalid UTF-8 sequence replaced by U+FFFD; a copy of `bytes`
// when it is already valid (the common case costs one validation pass).
std::string repairUtf8(std::string_view bytes);
// The first `count` code points of valid UTF-8 `text`; never cuts inside a sequence.
std::string_view prefixCodePoints(std::string_view text, size_t count);
// The pieces between line feeds, without empty ones.
std::vector<std::string_view> nonEmptyLines(std::string_view text);
// Where `needle` first occurs in `text` from `from` on, or npos. Much faster than
// string_view::find on JSON, whose search stops at every byte equal to the needle's first
// (a quotation mark, say) before comparing.
size_t find(std::string_view text, std::string_view needle, size_t from = 0);
inline bool contains(std::string_view text, std::string_view needle) {
  return find(text, needle) != std::string_view::npos;
}
// `text` without the blanks (spaces, tabs, line ends) at either end.
std::string_view trimmed(std::string_view text);
// The first piece between line feeds that is not empty; `text` itself when none is.
std::string_view firstNonEmptyLine(std::string_view text);
// The first line with more than blanks in it, trimmed; empty when there is none. What a
// failed command's output says about why, in one line.
std::string_view firstLine(std::string_view text);

}  // namespace tessel::Text
