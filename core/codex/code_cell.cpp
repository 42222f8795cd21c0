#include "codex/code_cell.h"

#include <cstdint>

#include "util/text.h"

namespace tessel::CodeCell {
namespace {

bool isIdentifier(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$';
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void appendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x110000) {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Reads `count` hexadecimal digits at `at`; false when they are not there.
bool hexDigits(std::string_view text, size_t at, size_t count, uint32_t& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (size_t i = 0; i < count; ++i) {
    const char c = text[at + i];
    uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    value = value * 16 + digit;
  }
  return true;
}

// Where the string or template literal opening at `at` ends (just past its closing
// quote), or npos when it does not end. With `out`, its decoded value goes there.
size_t endOfLiteral(std::string_view text, size_t at, std::string* out) {
  const char quote = text[at];
  size_t i = at + 1;
  while (i < text.size()) {
    const char c = text[i];
    if (c == quote) return i + 1;
    if (c == '\n' && quote != '`') return std::string_view::npos;
    if (c != '\\') {
      if (out) *out += c;
      ++i;
      continue;
    }
    if (i + 1 >= text.size()) return std::string_view::npos;
    const char escaped = text[i + 1];
    i += 2;
    if (!out) continue;
    uint32_t code = 0;
    switch (escaped) {
      case 'n':
        *out += '\n';
        break;
      case 't':
        *out += '\t';
        break;
      case 'r':
        *out += '\r';
        break;
      case 'b':
        *out += '\b';
        break;
      case 'f':
        *out += '\f';
        break;
      case 'v':
        *out += '\v';
        break;
      case '0':
        *out += '\0';
        break;
      case '\n':
        break;  // a line continuation
      case 'x':
        if (hexDigits(text, i, 2, code)) {
          appendUtf8(*out, code);
          i += 2;
        }
        break;
      case 'u':
        if (i < text.size() && text[i] == '{') {
          const size_t close = text.find('}', i);
          if (close != std::string_view::npos && close - i - 1 <= 6 &&
              hexDigits(text, i + 1, close - i - 1, code)) {
            appendUtf8(*out, code);
            i = close + 1;
          }
        } else if (hexDigits(text, i, 4, code)) {
          appendUtf8(*out, code);
          i += 4;
        }
        break;
      default:
        *out += escaped;
        break;
    }
  }
  return std::string_view::npos;
}

// Past a comment opening at `at`, or `at` itself when none opens there.
size_t pastComment(std::string_view text, size_t at) {
  if (text[at] != '/' || at + 1 >= text.size()) return at;
  if (text[at + 1] == '/') {
    const size_t end = text.find('\n', at);
    return end == std::string_view::npos ? text.size() : end + 1;
  }
  if (text[at + 1] == '*') {
    const size_t end = text.find("*/", at + 2);
    return end == std::string_view::npos ? text.size() : end + 2;
  }
  return at;
}

bool isQuote(char c) { return c == '"' || c == '\'' || c == '`'; }

// Moves past nested brackets, literals and comments from `at` until a byte of `stops`
// at the starting depth (or an unmatched closing bracket); returns where it stopped.
size_t skipTo(std::string_view text, size_t at, std::string_view stops) {
  int depth = 0;
  while (at < text.size()) {
    const char c = text[at];
    if (isQuote(c)) {
      at = endOfLiteral(text, at, nullptr);
      if (at == std::string_view::npos) return text.size();
      continue;
    }
    const size_t past = pastComment(text, at);
    if (past != at) {
      at = past;
      continue;
    }
    if (depth == 0 && stops.find(c) != std::string_view::npos) return at;
    if (c == '(' || c == '[' || c == '{') {
      ++depth;
    } else if (c == ')' || c == ']' || c == '}') {
      if (depth == 0) return at;
      --depth;
    }
    ++at;
  }
  return at;
}

size_t skipBlanks(std::string_view text, size_t at) {
  while (at < text.size()) {
    if (isBlank(text[at])) {
      ++at;
      continue;
    }
    const size_t past = pastComment(text, at);
    if (past == at) break;
    at = past;
  }
  return at;
}

}  // namespace

std::vector<Call> calls(std::string_view code, const std::vector<std::string_view>& tools) {
  static constexpr std::string_view prefix = "tools.";
  std::vector<Call> found;
  size_t at = 0;
  while (at < code.size()) {
    // Calls written inside strings or comments are not made.
    if (isQuote(code[at])) {
      at = endOfLiteral(code, at, nullptr);
      if (at == std::string_view::npos) break;
      continue;
    }
    const size_t past = pastComment(code, at);
    if (past != at) {
      at = past;
      continue;
    }
    // "mytools.x(" is some other object's method.
    if (code.substr(at, prefix.size()) != prefix || (at > 0 && isIdentifier(code[at - 1]))) {
      ++at;
      continue;
    }
    at += prefix.size();
    for (const std::string_view tool : tools) {
      if (code.substr(at, tool.size()) != tool) continue;
      const size_t open = skipBlanks(code, at + tool.size());
      if (open >= code.size() || code[open] != '(') continue;
      const size_t close = skipTo(code, open + 1, ")");
      found.push_back({.tool = tool, .arguments = code.substr(open + 1, close - open - 1)});
      at = close;
      break;
    }
  }
  return found;
}

std::optional<std::string> stringLiteral(std::string_view text) {
  const size_t at = skipBlanks(text, 0);
  if (at >= text.size() || !isQuote(text[at])) return std::nullopt;
  std::string value;
  if (endOfLiteral(text, at, &value) == std::string_view::npos) return std::nullopt;
  return value;
}

std::optional<std::string> stringMember(std::string_view text, std::string_view key) {
  size_t at = skipBlanks(text, 0);
  if (at >= text.size() || text[at] != '{') return std::nullopt;
  ++at;
  while (true) {
    at = skipBlanks(text, at);
    if (at >= text.size() || text[at] == '}') return std::nullopt;
    std::string name;
    if (isQuote(text[at])) {
      const size_t end = endOfLiteral(text, at, &name);
      if (end == std::string_view::npos) return std::nullopt;
      at = end;
    } else {
      const size_t start = at;
      while (at < text.size() && isIdentifier(text[at])) ++at;
      name = text.substr(start, at - start);
    }
    at = skipBlanks(text, at);
    if (at < text.size() && text[at] == ':') {
      at = skipBlanks(text, at + 1);
      if (name == key) {
        if (at >= text.size() || !isQuote(text[at])) return std::nullopt;
        std::string value;
        if (endOfLiteral(text, at, &value) == std::string_view::npos) return std::nullopt;
        return value;
      }
    }
    at = skipTo(text, at, ",}");
    if (at >= text.size() || text[at] != ',') return std::nullopt;
    ++at;
  }
}

std::vector<std::string> patchFiles(std::string_view patch) {
  static constexpr std::string_view add = "*** Add File: ";
  static constexpr std::string_view update = "*** Update File: ";
  std::vector<std::string> files;
  size_t start = 0;
  while (start < patch.size()) {
    size_t end = patch.find('\n', start);
    if (end == std::string_view::npos) end = patch.size();
    std::string_view line = patch.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    for (const std::string_view marker : {add, update}) {
      if (line.starts_with(marker)) {
        const std::string_view file = Text::trimmed(line.substr(marker.size()));
        if (!file.empty()) files.emplace_back(file);
      }
    }
    start = end + 1;
  }
  return files;
}

}  // namespace tessel::CodeCell
