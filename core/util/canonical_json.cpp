#include "util/canonical_json.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <utility>
#include <vector>

#include "util/json_writer.h"
#include "util/text.h"

namespace tessel::CanonicalJson {
namespace {

// The code point that starts at `pos`, moving `pos` past it. A byte that starts no valid
// sequence becomes a value past every code point (0x110000 and up), so that keys that
// are not UTF-8 still sort, each in one place.
char32_t nextCodePoint(std::string_view text, size_t& pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  const Text::Utf8Lead shape = Text::utf8Lead(lead);
  if (shape.continuations == 0) {
    ++pos;
    return lead;
  }
  const auto count = static_cast<size_t>(std::max(shape.continuations, 0));
  const auto first = pos + 1 < text.size() ? static_cast<unsigned char>(text[pos + 1]) : 0;
  bool valid = shape.continuations > 0 && pos + count < text.size() && first >= shape.low &&
               first <= shape.high;
  char32_t point = lead & (0x3F >> count);
  for (size_t i = 1; valid && i <= count; ++i) {
    const auto next = static_cast<unsigned char>(text[pos + i]);
    valid = (next & 0xC0) == 0x80;
    point = (point << 6) | (next & 0x3F);
  }
  if (!valid) {
    ++pos;
    return 0x110000 + lead;
  }
  pos += count + 1;
  return point;
}

// UTF-16 writes U+0000-U+D7FF and U+E000-U+FFFF in one unit each and everything past
// U+FFFF as a surrogate pair that starts D800-DBFF: the ranges in the order UTF-16
// sorts them (bytes that are not UTF-8 last).
int utf16Range(char32_t point) {
  if (point < 0xD800) return 0;
  if (point > 0x10FFFF) return 3;
  return point > 0xFFFF ? 1 : 2;
}

void append(std::string& out, const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::object: {
      std::vector<const std::pair<const std::string, nlohmann::json>*> members;
      members.reserve(value.size());
      for (const auto& member : value.get_ref<const nlohmann::json::object_t&>()) {
        members.push_back(&member);
      }
      std::sort(members.begin(), members.end(),
                [](const auto* a, const auto* b) { return keyBefore(a->first, b->first); });
      out += '{';
      for (size_t i = 0; i < members.size(); ++i) {
        if (i > 0) out += ',';
        out += '"';
        JsonWriter::appendEscaped(out, members[i]->first, false);
        out += "\":";
        append(out, members[i]->second);
      }
      out += '}';
      return;
    }
    case nlohmann::json::value_t::array:
      out += '[';
      for (size_t i = 0; i < value.size(); ++i) {
        if (i > 0) out += ',';
        append(out, value[i]);
      }
      out += ']';
      return;
    case nlohmann::json::value_t::string:
      out += '"';
      JsonWriter::appendEscaped(out, value.get_ref<const std::string&>(), false);
      out += '"';
      return;
    case nlohmann::json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return;
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned: {
      char buffer[24];
      const auto result = value.is_number_unsigned()
                              ? std::to_chars(buffer, buffer + sizeof buffer, value.get<uint64_t>())
                              : std::to_chars(buffer, buffer + sizeof buffer, value.get<int64_t>());
      out.append(buffer, result.ptr);
      return;
    }
    case nlohmann::json::value_t::number_float:
      JsonWriter::appendNumber(out, value.get<double>());
      return;
    default:
      // Null, and the binary and discarded values a parsed document never holds.
      out += "null";
      return;
  }
}

}  // namespace

bool keyBefore(std::string_view a, std::string_view b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    const char32_t x = nextCodePoint(a, i);
    const char32_t y = nextCodePoint(b, j);
    if (x == y) continue;
    const int rangeX = utf16Range(x);
    const int rangeY = utf16Range(y);
    return rangeX != rangeY ? rangeX < rangeY : x < y;
  }
  // Each key reads as one sequence of values, so equal sequences are equal keys.
  return j < b.size();
}

std::string write(const nlohmann::json& value) {
  std::string out;
  append(out, value);
  return out;
}

}  // namespace tessel::CanonicalJson
