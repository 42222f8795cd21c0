#include "util/text.h"

#include <simdjson.h>
#include <string.h>

#include <algorithm>

namespace tessel::Text {
namespace {

// Length of the valid UTF-8 sequence at `pos`, or 0 when the bytes there are not one.
size_t validSequence(std::string_view s, size_t pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const Utf8Lead lead = utf8Lead(byte(pos));
  if (lead.continuations < 0) return 0;
  const size_t length = static_cast<size_t>(lead.continuations) + 1;
  if (length == 1) return 1;
  if (pos + length > s.size()) return 0;
  if (byte(pos + 1) < lead.low || byte(pos + 1) > lead.high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(pos + i) < 0x80 || byte(pos + i) > 0xBF) return 0;
  }
  return length;
}

// How many bytes of an invalid sequence to replace with one U+FFFD: the lead byte and
// any continuation bytes that still fit a prefix of a valid sequence.
size_t invalidSpan(std::string_view s, size_t pos) {
  const Utf8Lead lead = utf8Lead(static_cast<unsigned char>(s[pos]));
  const size_t expected = lead.continuations > 0 ? static_cast<size_t>(lead.continuations) + 1 : 1;
  size_t span = 1;
  while (span < expected && pos + span < s.size()) {
    const auto next = static_cast<unsigned char>(s[pos + span]);
    const bool fits =
        span == 1 ? next >= lead.low && next <= lead.high : next >= 0x80 && next <= 0xBF;
    if (!fits) break;
    ++span;
  }
  return span;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  return simdjson::validate_utf8(bytes.data(), bytes.size());
}

std::optional<WholeLines> wholeLines(std::string_view bytes, std::string& repaired) {
  const size_t feed = bytes.rfind('\n');
  if (feed == std::string_view::npos) return std::nullopt;
  const std::string_view lines = bytes.substr(0, feed + 1);
  if (isValidUtf8(lines)) return WholeLines{lines, feed + 1};
  repaired = repairUtf8(lines);
  return WholeLines{repaired, feed + 1};
}

std::string repairUtf8(std::string_view bytes) {
  if (isValidUtf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 16);
  size_t pos = 0;
  while (pos < bytes.size()) {
    const size_t length = validSequence(bytes, pos);
    if (length > 0) {
      out.append(bytes.substr(pos, length));
      pos += length;
    } else {
      out += "\xEF\xBF\xBD";
      pos += invalidSpan(bytes, pos);
    }
  }
  return out;
}

std::string_view prefixCodePoints(std::string_view text, size_t count) {
  size_t pos = 0;
  for (size_t seen = 0; pos < text.size(); ++pos) {
    // A code point starts at every byte that is not a continuation byte.
    if ((static_cast<unsigned char>(text[pos]) & 0xC0) != 0x80) {
      if (seen == count) break;
      ++seen;
    }
  }
  return text.substr(0, pos);
}

std::vector<std::string_view> nonEmptyLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string_view firstNonEmptyLine(std::string_view text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) return text.substr(start, end - start);
    start = end + 1;
  }
  return text;
}

size_t codePoints(std::string_view text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::string_view firstLine(std::string_view text) {
  text = trimmed(text);
  return trimmed(text.substr(0, text.find('\n')));
}

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view blanks = " \t\r\n\f\v";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

size_t find(std::string_view text, std::string_view needle, size_t from) {
  if (from > text.size()) return std::string_view::npos;
  const void* found = memmem(text.data() + from, text.size() - from, needle.data(), needle.size());
  if (found == nullptr) return std::string_view::npos;
  return static_cast<size_t>(static_cast<const char*>(found) - text.data());
}

}  // namespace tessel::Text
