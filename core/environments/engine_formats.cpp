// Readers of the small texts container engines print: labels, image references, port
// mappings, sizes and dates. Pure functions of their input, but for the DevPod workspaces
// a dev container's labels may point to.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <string>
#include <string_view>

#include "environments/environments.h"
#include "util/calendar.h"
#include "util/path.h"
#include "util/text.h"

namespace tessel {

const char* kindName(Resource::Kind kind) {
  switch (kind) {
    case Resource::Kind::vm:
      return "vm";
    case Resource::Kind::container:
      return "container";
    case Resource::Kind::process:
      return "process";
  }
  return "process";
}

namespace Environments {
namespace {

template <typename Visit>
void forEachPiece(std::string_view text, char separator, Visit visit) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) visit(text.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace

std::map<std::string, std::string> parseLabels(std::string_view text) {
  std::map<std::string, std::string> labels;
  forEachPiece(text, ',', [&](std::string_view piece) {
    const size_t equals = piece.find('=');
    if (equals == std::string_view::npos) return;
    labels[std::string(piece.substr(0, equals))] = std::string(piece.substr(equals + 1));
  });
  return labels;
}

std::optional<DevContainer> devContainer(const std::map<std::string, std::string>& labels,
                                         Context& context, Date now) {
  if (const auto local = labels.find("devcontainer.local_folder"); local != labels.end()) {
    std::string folder = local->second;
    if (!folder.empty() && folder.back() == '/') folder.pop_back();
    return DevContainer{.tool = "Dev container",
                        .name = std::string(Path::lastComponent(folder)),
                        .folder = folder};
  }
  if (const auto id = labels.find("dev.containers.id"); id != labels.end()) {
    const auto workspaces = devPodWorkspaces(context, now);
    if (const auto workspace = workspaces.find(id->second); workspace != workspaces.end()) {
      return DevContainer{
          .tool = "DevPod", .name = workspace->second.name, .folder = workspace->second.folder};
    }
  }
  return std::nullopt;
}

std::string shortImage(std::string_view image) {
  std::vector<std::string_view> pieces;
  forEachPiece(image, '/', [&](std::string_view piece) { pieces.push_back(piece); });
  if (pieces.size() < 3 || pieces.front().find('.') == std::string_view::npos) {
    return std::string(image);
  }
  std::string rest;
  for (size_t index = 1; index < pieces.size(); ++index) {
    if (index > 1) rest += '/';
    rest += pieces[index];
  }
  return rest;
}

std::vector<std::string> publishedPorts(std::string_view text) {
  std::vector<std::string> ports;
  forEachPiece(text, ',', [&](std::string_view piece) {
    const size_t arrow = piece.find("->");
    if (arrow == std::string_view::npos) return;
    std::string_view host = piece.substr(0, arrow);
    if (const size_t colon = host.rfind(':'); colon != std::string_view::npos) {
      host.remove_prefix(colon + 1);
    }
    std::string port(host);
    for (const auto& seen : ports) {
      if (seen == port) return;
    }
    ports.push_back(std::move(port));
  });
  return ports;
}

bool isClaudeCommand(std::string_view line) {
  std::vector<std::string_view> words;
  forEachPiece(line, ' ', [&](std::string_view word) { words.push_back(word); });
  for (size_t index = 1; index < words.size(); ++index) {
    const std::string_view name = Path::lastComponent(words[index]);
    if (name == "claude") return true;
    if (name != "node") continue;
    for (size_t later = index + 1; later < words.size(); ++later) {
      if (words[later].find("claude-code") != std::string_view::npos) return true;
    }
  }
  return false;
}

int64_t bytes(std::string_view text) {
  text = Text::trimmed(text);
  const size_t numberEnd = text.find_first_not_of("0123456789.");
  const std::string number(text.substr(0, numberEnd));
  if (number.empty()) return 0;
  std::string unit(numberEnd == std::string_view::npos ? std::string_view{}
                                                       : text.substr(numberEnd));
  for (char& c : unit) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  double multiplier = 1;
  if (unit == "kib")
    multiplier = 1024;
  else if (unit == "kb")
    multiplier = 1000;
  else if (unit == "mib")
    multiplier = 1048576;
  else if (unit == "mb")
    multiplier = 1000000;
  else if (unit == "gib")
    multiplier = 1073741824;
  else if (unit == "gb")
    multiplier = 1000000000;
  else if (unit == "tib")
    multiplier = 1099511627776.0;
  // from_chars, unlike strtod, reads "1.5" the same whatever locale the front end set.
  double amount = 0;
  std::from_chars(number.data(), number.data() + number.size(), amount);
  const double value = amount * multiplier;
  // Beyond this the conversion is undefined; no engine reports exabytes.
  if (!(value < 9.2e18)) return 0;
  return static_cast<int64_t>(value);
}

std::optional<Date> dockerDate(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  std::string firstThree;
  int words = 0;
  forEachPiece(*text, ' ', [&](std::string_view word) {
    if (words == 3) return;
    if (words > 0) firstThree += ' ';
    firstThree += word;
    ++words;
  });
  if (words < 3) return std::nullopt;
  return Calendar::parseFixed(firstThree, "%Y-%m-%d %H:%M:%S %z");
}

}  // namespace Environments
}  // namespace tessel
