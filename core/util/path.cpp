#include "util/path.h"

#include "platform/user.h"

namespace tessel::Path {

std::string_view lastComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path == "/") return path;
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view extension(std::string_view path) {
  const std::string_view name = lastComponent(path);
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

std::string abbreviate(std::string_view path, std::string_view home) {
  if (home.empty() || !path.starts_with(home)) return std::string(path);
  std::string result = "~";
  result += path.substr(home.size());
  return result;
}

std::string abbreviateHome(std::string_view path) {
  return abbreviate(path, platform::userHomeDirectory());
}

}  // namespace tessel::Path
