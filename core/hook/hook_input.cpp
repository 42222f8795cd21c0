#include "hook/hook_input.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "model/tool_input.h"
#include "util/text.h"

namespace tessel::HookInput {
namespace {

// Longer keys match nothing we look for, so a capped copy decides as well as the whole.
constexpr size_t keyCap = 64;

bool isRecordKey(std::string_view key) {
  static constexpr std::array<std::string_view, 5> keys = {"hook_event_name", "session_id",
                                                           "tool_name", "tool_use_id", "cwd"};
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// Bytes before the first one a dropped string must look at: a quote, a backslash, a
// control character or a non-ASCII byte. Sixteen at a time; the vector extension
// compiles to SSE2 or NEON.
size_t plainRun(const unsigned char* p, size_t n) {
  using Bytes = unsigned char __attribute__((vector_size(16)));
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    Bytes v;
    std::memcpy(&v, p + i, 16);
    const auto special = (v == '"') | (v == '\\') | (v < 0x20) | (v >= 0x80);
    uint64_t halves[2];
    std::memcpy(halves, &special, 16);
    if ((halves[0] | halves[1]) != 0) break;
  }
  while (i < n && p[i] != '"' && p[i] != '\\' && p[i] >= 0x20 && p[i] < 0x80) ++i;
  return i;
}

bool isHex(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

bool Filter::keepsValue() const {
  if (levels_.empty()) return true;  // not an object; the parser will say so
  const Level& here = levels_.back();
  if (!here.isObject) return false;
  // A key written with escapes cannot be judged from its raw bytes: keep its value.
  if (here.key.find('\\') != std::string::npos) return true;
  if (levels_.size() == 1) return isRecordKey(here.key);
  return levels_.size() == 2 && levels_[0].key == "tool_input" && ToolInput::isSummaryKey(here.key);
}

void Filter::structureByte(char c, std::string& kept) {
  kept += c;
  switch (c) {
    case '{':
      levels_.push_back(Level{true, true, {}});
      break;
    case '[':
      levels_.push_back(Level{false, false, {}});
      break;
    case '}':
    case ']':
      if (!levels_.empty()) levels_.pop_back();
      break;
    case ':':
      if (!levels_.empty()) levels_.back().expectingKey = false;
      break;
    case ',':
      if (!levels_.empty() && levels_.back().isObject) levels_.back().expectingKey = true;
      break;
    case '"':
      stringIsKey_ = !levels_.empty() && levels_.back().isObject && levels_.back().expectingKey;
      key_.clear();
      mode_ = stringIsKey_ || keepsValue() ? Mode::keptString : Mode::droppedString;
      escape_ = false;
      break;
    default:
      break;
  }
}

size_t Filter::keptString(std::string_view bytes, std::string& kept) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    kept += c;
    if (escape_) {
      escape_ = false;
    } else if (c == '\\') {
      escape_ = true;
    } else if (c == '"') {
      mode_ = Mode::structure;
      if (stringIsKey_ && !levels_.empty()) levels_.back().key = key_;
      return i + 1;
    }
    if (stringIsKey_ && key_.size() < keyCap) key_ += c;
  }
  return bytes.size();
}

size_t Filter::droppedString(std::string_view bytes, std::string& kept) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t i = 0;
  while (i < bytes.size()) {
    if (!escape_ && hexLeft_ == 0 && utf8Left_ == 0) {
      i += plainRun(p + i, bytes.size() - i);
      if (i == bytes.size()) break;
    }
    const unsigned char c = p[i++];
    if (hexLeft_ > 0) {
      valid_ = valid_ && isHex(c);
      --hexLeft_;
    } else if (escape_) {
      escape_ = false;
      if (c == 'u') {
        hexLeft_ = 4;
      } else {
        valid_ = valid_ && std::strchr("\"\\/bfnrt", c) != nullptr && c != '\0';
      }
    } else if (utf8Left_ > 0) {
      valid_ = valid_ && c >= utf8Low_ && c <= utf8High_;
      utf8Low_ = 0x80;
      utf8High_ = 0xBF;
      --utf8Left_;
    } else if (c == '"') {
      kept += '"';
      mode_ = Mode::structure;
      return i;
    } else if (c == '\\') {
      escape_ = true;
    } else if (c < 0x20) {
      valid_ = false;
    } else {
      const Text::Utf8Lead lead = Text::utf8Lead(c);
      valid_ = valid_ && lead.continuations >= 0;
      utf8Left_ = std::max(lead.continuations, 0);
      utf8Low_ = lead.low;
      utf8High_ = lead.high;
    }
  }
  return bytes.size();
}

void Filter::feed(std::string_view bytes, std::string& kept) {
  size_t i = 0;
  while (i < bytes.size()) {
    switch (mode_) {
      case Mode::structure:
        structureByte(bytes[i++], kept);
        break;
      case Mode::keptString:
        i += keptString(bytes.substr(i), kept);
        break;
      case Mode::droppedString:
        i += droppedString(bytes.substr(i), kept);
        break;
    }
  }
}

bool Filter::finish() const { return valid_ && mode_ != Mode::droppedString; }

std::optional<std::string> read(int fd) {
  Filter filter;
  std::string kept;
  kept.reserve(16384);
  // One buffer for every read of the call: fresh pages cost more than the filtering.
  std::array<char, 65536> buffer;
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    filter.feed(std::string_view(buffer.data(), static_cast<size_t>(got)), kept);
  }
  if (!filter.finish()) return std::nullopt;
  return kept;
}

}  // namespace tessel::HookInput
