#include "platform/linux/proc_stat.h"

#include <charconv>

namespace tessel::platform::ProcStat {

std::optional<int32_t> parseParentPid(std::string_view text) {
  const size_t close = text.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  // After ") " come the state and then the parent pid.
  std::string_view rest = text.substr(close + 1);
  for (int field = 0; field < 2; ++field) {
    const size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(start);
    if (field == 1) break;
    const size_t end = rest.find(' ');
    if (end == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(end);
  }
  int32_t ppid = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), ppid);
  if (error != std::errc() || end == rest.data()) return std::nullopt;
  if (end != rest.data() + rest.size() && *end != ' ') return std::nullopt;
  return ppid;
}

}  // namespace tessel::platform::ProcStat
