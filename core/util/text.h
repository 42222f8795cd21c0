// UTF-8 text helpers shared by every reader. Stateless.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::Text {

// What a UTF-8 lead byte asks of the bytes after it: how many continuation bytes, and the
// range the first of them must fall in (narrower than 80-BF where that rules out overlong
// forms, surrogates and code points past U+10FFFF). `continuations` is -1 for a byte
// that leads no sequence; an ASCII byte asks for none.
struct Utf8Lead {
  int continuations = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
};
constexpr Utf8Lead utf8Lead(unsigned char lead) {
  if (lead < 0x80) return {};
  if (lead >= 0xC2 && lead <= 0xDF) return {.continuations = 1};
  if (lead >= 0xE0 && lead <= 0xEF) {
    return {.continuations = 2,
            .low = static_cast<unsigned char>(lead == 0xE0 ? 0xA0 : 0x80),
            .high = static_cast<unsigned char>(lead == 0xED ? 0x9F : 0xBF)};
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    return {.continuations = 3,
            .low = static_cast<unsigned char>(lead == 0xF0 ? 0x90 : 0x80),
            .high = static_cast<unsigned char>(lead == 0xF4 ? 0x8F : 0xBF)};
  }
  return {.continuations = -1};
}

bool isValidUtf8(std::string_view bytes);
// `bytes` with every invalid UTF-8 sequence replaced by U+FFFD; a copy of `bytes`
// when it is already valid (the common case costs one validation pass).
std::string repairUtf8(std::string_view bytes);
// The lines that have ended at the start of `bytes` (through its last line feed), readable
// as UTF-8: `text` views `bytes` itself when valid, the common case, else `repaired`, which
// receives a copy with each invalid sequence replaced. `length` is how many bytes of the
// original the lines take, where the next read begins. Nothing while no line has ended.
struct WholeLines {
  std::string_view text;
  size_t length = 0;
};
std::optional<WholeLines> wholeLines(std::string_view bytes, std::string& repaired);
// How many code points valid UTF-8 `text` holds.
size_t codePoints(std::string_view text);
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
