#include "tree/text.h"

#include <charconv>

#include "util/json_writer.h"

namespace tessel::bench {

void appendEscaped(std::string& out, std::string_view text) {
  JsonWriter::appendEscaped(out, text, false);
}

std::string escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  appendEscaped(out, text);
  return out;
}

void appendNumber(std::string& out, int64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

void appendPadded(std::string& out, int64_t value, size_t width) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  const auto length = static_cast<size_t>(end - digits);
  if (length < width) out.append(width - length, ' ');
  out.append(digits, end);
}

std::string randomChars(Random& random, std::string_view alphabet, size_t count) {
  std::string out(count, ' ');
  uint64_t bits = 0;
  int left = 0;
  for (char& c : out) {
    if (left == 0) {
      bits = random.next();
      left = 8;
    }
    c = alphabet[(bits & 0xFF) % alphabet.size()];
    bits >>= 8;
    --left;
  }
  return out;
}

std::string uuid(Random& random) {
  std::string hex = randomChars(random, kHex, 32);
  hex[12] = '4';
  hex[16] = kHex[8 + random.below(4)];
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
         hex.substr(16, 4) + "-" + hex.substr(20);
}

std::string projectDirName(std::string_view cwd) {
  std::string name(cwd);
  for (char& c : name) {
    const bool alphanumeric =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alphanumeric) c = '-';
  }
  return name;
}

}  // namespace tessel::bench
