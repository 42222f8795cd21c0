#include "platform/linux/proc_cmdline.h"

namespace tessel::platform::ProcCmdline {

std::vector<std::string> parse(std::string_view text) {
  std::vector<std::string> arguments;
  while (!text.empty()) {
    const size_t end = text.find('\0');
    arguments.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return arguments;
}

}  // namespace tessel::platform::ProcCmdline
