// The words and lines of the projects tree's text: templates filled with random words,
// and pools of lines made from them once per tree, stored JSON-escaped so that outputs
// of any size are built by appending whole lines. Pools are read-only once made, so the
// writing threads share one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "tree/random.h"

namespace tessel::bench {

enum Language { cpp, typescript, python, rust, go, languageCount };

inline constexpr const char* kExtensions[languageCount] = {"cpp", "ts", "py", "rs", "go"};

std::string capitalized(std::string_view word);

// Fills a template: @n noun, @v verb, @d verb in the past, @a adjective, @A capitalized verb, @f
// camelCase function, @F CamelCase function, @s snake_case name, @T type name, @N small number,
// @P percentage, @h short hash, @e file extension, @H standard header, @@ a literal '@'.
std::string fill(std::string_view pattern, Random& random);

struct Pools {
  std::vector<std::string> code[languageCount];
  std::vector<std::string> build, test, errors, git, listing, misc, sentences, prompts;

  explicit Pools(Random& random);
};

// Whole pool lines joined by escaped newlines until `out` has grown by about `bytes`.
void appendLines(std::string& out, const std::vector<std::string>& pool, size_t bytes,
                 Random& random);
// Sentences of an assistant's text, now and then in paragraphs, until `out` has grown by
// about `bytes`.
void appendProse(std::string& out, const Pools& pools, size_t bytes, Random& random);

}  // namespace tessel::bench
