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
// The first piece between line feeds that is not empty; `text` itself when none is.
std::string_view firstNonEmptyLine(std::string_view text);

}  // namespace tessel::Text
