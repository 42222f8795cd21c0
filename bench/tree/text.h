// The small pieces of transcript text the projects tree writes everywhere: JSON string
// contents, numbers, random ids and project folder names. Free functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tree/random.h"

namespace tessel::bench {

constexpr std::string_view kHex = "0123456789abcdef";
constexpr std::string_view kBase62 =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr std::string_view kBase64 =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// JSON string contents the way JSON.stringify writes them: "/" stays raw.
void appendEscaped(std::string& out, std::string_view text);
std::string escaped(std::string_view text);
// A JSON string value: `text`, escaped already, in quotes.
inline void appendQuoted(std::string& out, std::string_view text) {
  out += '"';
  out += text;
  out += '"';
}

void appendNumber(std::string& out, int64_t value);
// `value` right-aligned in `width` columns, as line-numbered file listings show it.
void appendPadded(std::string& out, int64_t value, size_t width);

std::string randomChars(Random& random, std::string_view alphabet, size_t count);
// A version 4 UUID in lower case, as Claude Code names sessions and entries.
std::string uuid(Random& random);

// Project folder names: every character but ASCII letters and digits becomes '-'.
std::string projectDirName(std::string_view cwd);

}  // namespace tessel::bench
