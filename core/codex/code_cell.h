// Reads the JavaScript of a Codex code cell ("exec" in code mode) far enough to tell
// which tools it calls with which literal arguments. Not a JavaScript parser: it knows
// string literals, comments and brackets, which is what finding a call's arguments and an
// object literal's string members takes. Stateless.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::CodeCell {

struct Call {
  std::string_view tool;       // "exec_command" for "tools.exec_command(", ...
  std::string_view arguments;  // the text between the parentheses
};

// The calls of "tools.<name>(" for each name in `tools`, in the order they appear.
std::vector<Call> calls(std::string_view code, const std::vector<std::string_view>& tools);

// The value of `text` when it begins (after blanks) with a string or template literal,
// escapes decoded; a template's "${...}" parts are kept as written.
std::optional<std::string> stringLiteral(std::string_view text);
// The string value of member `key` of the object literal `text` begins with; the key may
// be quoted or not. Nothing when the member is missing or not a literal string.
std::optional<std::string> stringMember(std::string_view text, std::string_view key);

// The files a patch ("*** Begin Patch ... *** End Patch") adds or updates, in order.
std::vector<std::string> patchFiles(std::string_view patch);

}  // namespace tessel::CodeCell
