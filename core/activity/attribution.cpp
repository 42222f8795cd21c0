#include "activity/attribution.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "platform/user.h"
#include "util/path.h"
#include "util/text.h"

namespace tessel {

std::string_view toString(Attribution::How how) {
  switch (how) {
    case Attribution::How::child:
      return "child";
    case Attribution::How::hook:
      return "hook";
    case Attribution::How::history:
      return "history";
  }
  return "history";
}

namespace Activity {
namespace {

constexpr std::array<std::string_view, 6> startSubcommands = {"start",  "run",    "up",
                                                              "resume", "create", "boot"};
constexpr std::array<std::string_view, 7> lookSubcommands = {"ps",   "inspect", "logs", "stats",
                                                             "list", "ls",      "info"};
// How far before its start a resource's starting command may lie, and after.
constexpr double machineLead = 1200;
constexpr double processLead = 600;
constexpr double lag = 5;
// A process's working-directory match looks at calls of the day before it started; a call
// without an end counts as running this long.
constexpr double callLookBack = 86400;
constexpr double openBackgroundCall = 15;
constexpr double openCall = 600;

// A name that a command line must contain. Most lines do not, and searching each line
// for each resource's names would be most of what attribution costs.
struct Name {
  std::string text;
  Trigrams trigrams;

  explicit Name(std::string name) : text(std::move(name)), trigrams(text) {}

  bool isIn(const Command& command) const {
    return command.trigrams().mayContain(trigrams) &&
           command.text().find(text) != std::string::npos;
  }
};

struct Evidence {
  std::vector<Name> names;
  std::vector<std::string> terms;
};

Evidence evidenceOf(const Resource& resource) {
  Evidence evidence;
  for (const std::optional<std::string>& name :
       {std::optional<std::string>(resource.name), resource.group}) {
    if (name && Text::codePoints(*name) > 2) evidence.names.emplace_back(*name);
  }
  for (const std::string& keyword : resource.keywords) {
    if (keyword.empty()) continue;
    // A machine's own names are tested literally instead (later use).
    if (resource.kind != Resource::Kind::process &&
        std::any_of(evidence.names.begin(), evidence.names.end(),
                    [&](const Name& name) { return name.text == keyword; })) {
      continue;
    }
    evidence.terms.push_back(keyword);
  }
  return evidence;
}

bool matches(const Command& command, const std::vector<std::string>& terms) {
  return std::any_of(terms.begin(), terms.end(), [&](const std::string& term) {
    const bool phrase = term.find(' ') != std::string::npos;
    return std::any_of(command.segments().begin(), command.segments().end(),
                       [&](const Segment& segment) {
                         return phrase ? segment.text.find(term) != std::string::npos
                                       : segment.words.contains(term);
                       });
  });
}

Attribution verdict(const Command& command, bool started) {
  const ToolEvent& event = *command.event;
  return Attribution{.sessionId = event.sessionId,
                     .how = event.source == ToolEvent::Source::hook ? Attribution::How::hook
                                                                    : Attribution::How::history,
                     .started = started,
                     .command = event.summary,
                     .at = event.start};
}

// The latest command of the start window that starts something the resource answers to.
std::optional<Attribution> startWindow(const Resource& resource, const Evidence& evidence,
                                       std::span<const Command> prepared) {
  const bool isProcess = resource.kind == Resource::Kind::process;
  const Date started = *resource.started;
  const auto commands =
      window(prepared, started - (isProcess ? processLead : machineLead), started + lag);
  for (auto it = commands.rbegin(); it != commands.rend(); ++it) {
    if (!isProcess && !it->startsSomething()) continue;
    if (!matches(*it, evidence.terms)) continue;
    // "down && up" starts it again; a plain stop does not.
    if (it->stopsSomething() && !it->verbs().containsAny(startSubcommands)) continue;
    return verdict(*it, true);
  }
  return std::nullopt;
}

// The latest later command that names the machine and works with it.
std::optional<Attribution> laterUse(const Resource& resource, const Evidence& evidence,
                                    std::span<const Command> prepared) {
  auto first = prepared.begin();
  if (resource.started) {
    first = std::upper_bound(prepared.begin(), prepared.end(), *resource.started + 0.001,
                             [](Date date, const Command& c) { return date < c.event->start; });
  }
  for (auto it = prepared.end(); it != first;) {
    --it;
    if (!it->startsSomething() && !it->usesSomething()) continue;
    if (std::none_of(evidence.names.begin(), evidence.names.end(),
                     [&](const Name& name) { return name.isIn(*it); })) {
      continue;
    }
    if (it->verbs().containsAny(lookSubcommands)) continue;
    if (!matches(*it, evidence.terms)) continue;
    return verdict(*it, false);
  }
  return std::nullopt;
}

std::string_view withoutTrailingSlashes(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  return path;
}

bool isPathCharacter(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 0x80 || std::isalnum(u) != 0 || c == '.' || c == '_' || c == '-' || c == '~' ||
         c == '/' || c == '@' || c == '+';
}

// Whether `text` names `path` as a whole path, or a folder inside it.
bool namesPath(std::string_view text, std::string_view path) {
  for (size_t at = text.find(path); at != std::string_view::npos; at = text.find(path, at + 1)) {
    const size_t end = at + path.size();
    const bool startsWhole = at == 0 || !isPathCharacter(text[at - 1]);
    const bool endsWhole = end == text.size() || text[end] == '/' || !isPathCharacter(text[end]);
    if (startsWhole && endsWhole) return true;
  }
  return false;
}

// Whether the call ran where the process started: in the same folder, in a folder above
// it (the process started in a sub-folder, as "cd web && npm run dev" does), or with the
// folder written in its command line.
bool showsContext(const ToolEvent& event, std::string_view context, std::string_view home) {
  if (event.cwd) {
    const std::string_view cwd = withoutTrailingSlashes(*event.cwd);
    if (cwd == context) return true;
    if (!cwd.empty() && context.size() > cwd.size() && context.starts_with(cwd) &&
        context[cwd.size()] == '/') {
      return true;
    }
  }
  if (namesPath(event.summary, context)) return true;
  // Agents often write the home folder as "~".
  if (home.empty() || !context.starts_with(home) || context.size() <= home.size() ||
      context[home.size()] != '/') {
    return false;
  }
  std::string abbreviated(1, '~');
  abbreviated.append(context.substr(home.size()));
  return namesPath(event.summary, abbreviated);
}

// The one call running in the process's folder when it started.
std::optional<Attribution> workingDirectory(const Resource& resource,
                                            std::span<const Command> prepared) {
  if (!resource.context) return std::nullopt;
  const std::string_view context = withoutTrailingSlashes(*resource.context);
  const std::string_view home = withoutTrailingSlashes(platform::userHomeDirectory());
  if (Text::codePoints(context) < 2 || context == home) return std::nullopt;
  const Date started = *resource.started;
  const Command* found = nullptr;
  for (const Command& command : window(prepared, started - callLookBack, started + 1)) {
    const ToolEvent& event = *command.event;
    if (event.start > started + 1) continue;
    const Date end =
        event.end.value_or(event.start + (event.isBackground ? openBackgroundCall : openCall));
    if (end < started - 3 || !showsContext(event, context, home)) continue;
    if (found != nullptr) return std::nullopt;
    found = &command;
  }
  if (found == nullptr) return std::nullopt;
  return verdict(*found, true);
}

}  // namespace

std::optional<Attribution> attribute(const Resource& resource, std::span<const Command> prepared) {
  const Evidence evidence = evidenceOf(resource);
  const bool isProcess = resource.kind == Resource::Kind::process;
  if (resource.started) {
    if (auto found = startWindow(resource, evidence, prepared)) return found;
  }
  if (!isProcess && !evidence.names.empty() && !evidence.terms.empty()) {
    if (auto found = laterUse(resource, evidence, prepared)) return found;
  }
  if (isProcess && resource.started) return workingDirectory(resource, prepared);
  return std::nullopt;
}

std::optional<Attribution> attribute(const Resource& resource,
                                     const std::vector<ToolEvent>& commands) {
  std::vector<ToolEvent> sorted = commands;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const ToolEvent& a, const ToolEvent& b) { return a.start < b.start; });
  std::vector<Command> prepared;
  prepared.reserve(sorted.size());
  for (ToolEvent& event : sorted) {
    Command command(event.summary);
    command.event = std::make_shared<const ToolEvent>(std::move(event));
    prepared.push_back(std::move(command));
  }
  return attribute(resource, prepared);
}

}  // namespace Activity
}  // namespace tessel
