// Standard base64 (RFC 4648, section 4: "+" and "/", "=" padding) for the update feed's
// keys and signatures. Stateless and safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessel::Base64 {

std::string encode(std::string_view bytes);

// The bytes `text` encodes, or nothing unless it is the one encoding of them: its length
// a multiple of four, only the alphabet's characters, "=" only as the last one or two,
// and the bits the padding leaves over all zero. No white space or line breaks: a key or
// signature that has been tampered with in any way is refused rather than repaired.
std::optional<std::string> decode(std::string_view text);

}  // namespace tessel::Base64
