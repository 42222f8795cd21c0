// Path text helpers with the platform's usual meaning: pure string work, no file access.
#pragma once

#include <string>
#include <string_view>

namespace tessel::Path {

// "/a/b.txt" -> "b.txt"; trailing slashes are ignored; "/" stays "/".
std::string_view lastComponent(std::string_view path);
// "b.tar.gz" -> "gz"; a name that only starts with a dot (".bashrc") has none.
std::string_view extension(std::string_view path);
// `path` with a leading `home` replaced by "~": a plain prefix test, no separator rule.
std::string abbreviate(std::string_view path, std::string_view home);
// The same with the operating system's home directory of this user.
std::string abbreviateHome(std::string_view path);

}  // namespace tessel::Path
