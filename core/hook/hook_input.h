// Claude Code's hook input as tessel-hook reads it: the JSON structure, every key, and
// the string values a hook record uses. The contents of all other string values (a
// tool's output, a file's text) are checked and dropped while they stream in, so a
// megabyte tool response never lands in memory. Kept in step with HookRecord::from.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::HookInput {

class Filter {
 public:
  // Consumes the next piece of the input, split anywhere, and appends what is kept.
  void feed(std::string_view bytes, std::string& kept);
  // After the last piece: false when a dropped string was not valid JSON text (a raw
  // control character, a bad escape, invalid UTF-8) or the input ended inside one.
  bool finish() const;

 private:
  enum class Mode { structure, keptString, droppedString };
  struct Level {
    bool isObject = false;
    bool expectingKey = false;
    std::string key;  // raw bytes of the latest key at this level, capped
  };

  bool keepsValue() const;
  void structureByte(char c, std::string& kept);
  size_t keptString(std::string_view bytes, std::string& kept);
  size_t droppedString(std::string_view bytes, std::string& kept);

  std::vector<Level> levels_;
  Mode mode_ = Mode::structure;
  bool stringIsKey_ = false;
  std::string key_;
  bool escape_ = false;
  int hexLeft_ = 0;
  int utf8Left_ = 0;
  unsigned char utf8Low_ = 0x80;
  unsigned char utf8High_ = 0xBF;
  bool valid_ = true;
};

// Everything on `fd` through the filter; nothing when the input cannot be read or is
// not valid JSON text.
std::optional<std::string> read(int fd);

}  // namespace tessel::HookInput
