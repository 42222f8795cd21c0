// One byte form for a JSON value, so that two programs holding the same value write the
// same bytes: what a signature is computed over. Stateless and safe from any thread.
//
// The rules, chosen so that writing a value read back from this form gives the same
// bytes again (the form is a fixed point):
// - No white space anywhere.
// - Object members sorted by their keys compared as UTF-16 code units. This is the
//   order of code points but for one range: characters past U+FFFF (stored as
//   surrogates, D800-DFFF) sort before U+E000-U+FFFF. Valid UTF-8 keys never tie.
// - Strings: `"` and `\` escaped with a backslash; backspace, form feed, line feed,
//   carriage return and tab as \b \f \n \r \t; the other characters below U+0020 as
//   \u00xx with lower-case hex digits. Everything else as itself: "/" unescaped, DEL
//   and all non-ASCII text as its raw UTF-8.
// - Numbers by value, not by how they were written: an integer the reader kept as one
//   (nlohmann::json keeps a number written without fraction or exponent as a signed or
//   unsigned 64-bit integer when it fits) as its digits; any other number that is whole and
//   below 2^53 in magnitude as its digits too (1.0 and 1e0 are both "1", -0 is "0");
//   every other number as std::to_chars writes a double with no format given: the
//   shortest digits that read back as the same double, in plain or exponent notation,
//   whichever is shorter ("0.5", "1e-07", "1e+100", "1.5e+16", "123456789012345683968").
// - true, false and null as themselves; arrays keep their order.
// Text is taken to be UTF-8, as nlohmann::json's parser ensures (it refuses invalid
// sequences and lone surrogates); other bytes are written as they are.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace tessel::CanonicalJson {

std::string write(const nlohmann::json& value);

// The member order above: true when key `a` sorts before key `b`.
bool keyBefore(std::string_view a, std::string_view b);

}  // namespace tessel::CanonicalJson
