#include "activity/command.h"

#include <utf8proc.h>

#include <algorithm>
#include <array>
#include <utility>

#include "platform/system_layout.h"
#include "util/path.h"
#include "util/text.h"

namespace tessel::Activity {
namespace {

constexpr std::array<std::string_view, 24> inspecting = {
    "ps",   "grep", "egrep", "rg",   "pgrep", "pkill", "kill",  "killall",
    "lsof", "top",  "cat",   "tail", "head",  "echo",  "which", "type",
    "man",  "less", "awk",   "sed",  "wc",    "sort",  "uniq",  "printf"};
constexpr std::array<std::string_view, 11> starting = {"run",     "start",  "up",   "create",
                                                       "restart", "resume", "boot", "launch",
                                                       "open",    "deploy", "serve"};
constexpr std::array<std::string_view, 11> stopping = {"stop", "suspend",   "kill",   "pkill",
                                                       "rm",   "down",      "pause",  "shutdown",
                                                       "halt", "savestate", "destroy"};
constexpr std::array<std::string_view, 13> using_ = {
    "exec", "cp",   "attach", "compose", "build", "migrate", "reset",
    "seed", "push", "pull",   "ssh",     "shell", "test"};
constexpr std::array<std::string_view, 3> bundleMarkers = {".app/", ".framework/", ".xpc/"};
constexpr std::array<std::string_view, 13> interpreters = {
    "node", "python", "python3", "ruby", "java", "bun",   "deno",
    "sh",   "bash",   "zsh",     "perl", "php",  "dotnet"};
constexpr std::array<std::string_view, 4> genericScripts = {"index", "main", "server", "cli"};

bool isOneOf(std::string_view word, std::span<const std::string_view> table) {
  return std::find(table.begin(), table.end(), word) != table.end();
}

bool isAsciiAlphanumeric(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Letters and numbers of any script (general categories L* and N*).
bool isLetterOrNumber(utf8proc_int32_t codePoint) {
  switch (utf8proc_category(codePoint)) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_ND:
    case UTF8PROC_CATEGORY_NL:
    case UTF8PROC_CATEGORY_NO:
      return true;
    default:
      return false;
  }
}

// Calls `word` with every maximal run of letters and numbers in `text`, and with "_",
// "-" and "." too when `withPunctuation`. A byte that is not part of valid UTF-8
// separates words.
template <typename Word>
void forEachWord(std::string_view text, bool withPunctuation, Word&& word) {
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  const auto size = static_cast<utf8proc_ssize_t>(text.size());
  utf8proc_ssize_t start = -1;
  utf8proc_ssize_t at = 0;
  const auto end = [&](utf8proc_ssize_t here) {
    if (start >= 0)
      word(text.substr(static_cast<size_t>(start), static_cast<size_t>(here - start)));
    start = -1;
  };
  while (at < size) {
    const unsigned char c = bytes[at];
    utf8proc_ssize_t length = 1;
    bool inWord = false;
    if (c < 0x80) {
      inWord = isAsciiAlphanumeric(c) || (withPunctuation && (c == '_' || c == '-' || c == '.'));
    } else {
      utf8proc_int32_t codePoint = 0;
      const utf8proc_ssize_t read = utf8proc_iterate(bytes + at, size - at, &codePoint);
      if (read > 0) {
        length = read;
        inWord = isLetterOrNumber(codePoint);
      }
    }
    if (inWord) {
      if (start < 0) start = at;
    } else {
      end(at);
    }
    at += length;
  }
  end(size);
}

// Unicode simple lower-casing of valid UTF-8 `word`.
std::string lowerCased(std::string_view word) {
  std::string lower;
  lower.reserve(word.size());
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(word.data());
  const auto size = static_cast<utf8proc_ssize_t>(word.size());
  for (utf8proc_ssize_t at = 0; at < size;) {
    const unsigned char c = bytes[at];
    if (c < 0x80) {
      lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
      ++at;
      continue;
    }
    utf8proc_int32_t codePoint = 0;
    const utf8proc_ssize_t read = utf8proc_iterate(bytes + at, size - at, &codePoint);
    std::array<utf8proc_uint8_t, 4> encoded{};
    const utf8proc_ssize_t written =
        utf8proc_encode_char(utf8proc_tolower(codePoint), encoded.data());
    lower.append(reinterpret_cast<const char*>(encoded.data()), static_cast<size_t>(written));
    at += read;
  }
  return lower;
}

WordSet wordsOf(std::string_view text, bool withPunctuation) {
  std::vector<std::string> words;
  forEachWord(text, withPunctuation, [&](std::string_view w) { words.emplace_back(w); });
  return WordSet(std::move(words));
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The simple command `piece` is, unless its program only inspects.
std::optional<Segment> segmentOf(std::string_view piece) {
  // The program is the first token that is not an assignment ("FOO=1 docker ...").
  std::string_view rest = piece;
  while (!rest.empty()) {
    const size_t start = std::find_if_not(rest.begin(), rest.end(), isBlank) - rest.begin();
    rest.remove_prefix(start);
    if (rest.empty()) break;
    const size_t end = std::find_if(rest.begin(), rest.end(), isBlank) - rest.begin();
    const std::string_view token = rest.substr(0, end);
    rest.remove_prefix(end);
    if (token.find('=') != std::string_view::npos && !token.starts_with('-')) continue;
    const size_t slash = token.rfind('/');
    const std::string_view program =
        slash == std::string_view::npos ? token : token.substr(slash + 1);
    if (isOneOf(program, inspecting)) return std::nullopt;
    return Segment{.text = std::string(piece), .words = wordsOf(piece, true)};
  }
  return std::nullopt;
}

std::vector<Segment> segmentsOf(std::string_view text) {
  std::vector<Segment> segments;
  size_t start = 0;
  while (true) {
    const size_t end = text.find_first_of("|;&\n()", start);
    const std::string_view piece =
        text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (auto segment = segmentOf(piece)) segments.push_back(std::move(*segment));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return segments;
}

}  // namespace

WordSet::WordSet(std::vector<std::string> words) : words_(std::move(words)) {
  std::sort(words_.begin(), words_.end());
  words_.erase(std::unique(words_.begin(), words_.end()), words_.end());
}

bool WordSet::contains(std::string_view word) const {
  return std::binary_search(words_.begin(), words_.end(), word, std::less<>());
}

bool WordSet::containsAny(std::span<const std::string_view> words) const {
  return std::any_of(words.begin(), words.end(),
                     [this](std::string_view word) { return contains(word); });
}

Trigrams::Trigrams(std::string_view text) {
  for (size_t at = 0; at + 3 <= text.size(); ++at) {
    const auto trigram = static_cast<uint32_t>(static_cast<unsigned char>(text[at])) |
                         static_cast<uint32_t>(static_cast<unsigned char>(text[at + 1])) << 8 |
                         static_cast<uint32_t>(static_cast<unsigned char>(text[at + 2])) << 16;
    const uint32_t bit = (trigram * 0x9E3779B1U) >> 24;
    bits_[bit >> 6] |= uint64_t{1} << (bit & 63);
  }
}

Command::Command(std::string_view text) {
  auto parsed = std::make_shared<Parsed>();
  parsed->text = std::string(text);
  parsed->words = wordsOf(text, false);
  std::vector<std::string> verbs;
  verbs.reserve(parsed->words.items().size());
  for (const std::string& word : parsed->words.items()) verbs.push_back(lowerCased(word));
  parsed->verbs = WordSet(std::move(verbs));
  parsed->segments = segmentsOf(text);
  parsed->starts = parsed->verbs.containsAny(starting);
  parsed->stops = parsed->verbs.containsAny(stopping);
  parsed->uses = parsed->verbs.containsAny(using_);
  parsed->trigrams = Trigrams(text);
  *this = Command(std::shared_ptr<const Parsed>(std::move(parsed)));
}

Command::Command(std::shared_ptr<const Parsed> parsed)
    : parsed_(std::move(parsed)),
      trigrams_(parsed_->trigrams),
      starts_(parsed_->starts),
      stops_(parsed_->stops),
      uses_(parsed_->uses) {}

// The parsing follows from the text alone.
bool Command::operator==(const Command& other) const {
  const bool sameEvent = event && other.event ? *event == *other.event : event == other.event;
  return sameEvent && text() == other.text();
}

const std::span<const std::string_view> startingWords = starting;
const std::span<const std::string_view> stoppingWords = stopping;
const std::span<const std::string_view> usingWords = using_;

std::vector<Command> CommandCache::prepare(const std::vector<ToolEvent>& events) {
  std::lock_guard guard(lock_);
  const uint64_t round = ++round_;
  std::vector<Command> commands;
  commands.reserve(events.size());
  for (const ToolEvent& event : events) {
    Entry& entry = byID_[event.id];
    // A call changes when its result arrives; its line seldom does.
    if (!entry.event || *entry.event != event) {
      if (!entry.parsed || entry.parsed->text != event.summary) {
        entry.parsed = Command(event.summary).parsed_;
      }
      entry.event = std::make_shared<const ToolEvent>(event);
    }
    entry.round = round;
    Command command(entry.parsed);
    command.event = entry.event;
    commands.push_back(std::move(command));
  }
  std::erase_if(byID_, [round](const auto& item) { return item.second.round != round; });
  return commands;
}

CommandCache& commandCache() {
  static CommandCache cache;
  return cache;
}

std::span<const Command> window(std::span<const Command> commands, Date from, Date to) {
  const auto startsBefore = [](const Command& command, Date date) {
    return command.event->start < date;
  };
  const auto lo = std::lower_bound(commands.begin(), commands.end(), from, startsBefore);
  const auto hi = std::lower_bound(commands.begin(), commands.end(), to + 0.001, startsBefore);
  if (lo >= hi) return {};
  return commands.subspan(static_cast<size_t>(lo - commands.begin()), static_cast<size_t>(hi - lo));
}

bool looksLikeTool(const ProcessEntry& process) {
  return looksLikeTool(process, process.executablePath());
}

bool looksLikeTool(const ProcessEntry& process, const std::optional<std::string>& executable) {
  const std::string& path = executable ? *executable : process.command;
  const auto prefixes = platform::systemPathPrefixes();
  if (std::any_of(prefixes.begin(), prefixes.end(),
                  [&](std::string_view prefix) { return path.starts_with(prefix); })) {
    return false;
  }
  return std::none_of(bundleMarkers.begin(), bundleMarkers.end(), [&](std::string_view marker) {
    return path.find(marker) != std::string::npos;
  });
}

std::vector<std::string> processKeywords(const ProcessEntry& process) {
  return processKeywords(process, process.name());
}

std::vector<std::string> processKeywords(const ProcessEntry& process, const std::string& name) {
  std::vector<std::string> keywords;
  keywords.push_back(name);
  if (name.find('-') != std::string::npos) {
    std::string spaced = name;
    std::replace(spaced.begin(), spaced.end(), '-', ' ');
    keywords.push_back(std::move(spaced));
  }
  if (isOneOf(name, interpreters)) {
    std::string_view rest = process.command;
    bool first = true;
    while (!rest.empty()) {
      rest.remove_prefix(std::min(rest.size(), rest.find_first_not_of(' ')));
      if (rest.empty()) break;
      const std::string_view part = rest.substr(0, rest.find(' '));
      rest.remove_prefix(part.size());
      if (std::exchange(first, false) || part.starts_with('-')) continue;
      std::string_view script = Path::lastComponent(part);
      const std::string_view extension = Path::extension(script);
      if (!extension.empty()) script.remove_suffix(extension.size() + 1);
      if (Text::codePoints(script) >= 3 && !isOneOf(script, genericScripts)) {
        keywords.emplace_back(script);
      }
      break;
    }
  }
  std::erase_if(keywords, [](const std::string& word) { return Text::codePoints(word) <= 2; });
  return keywords;
}

}  // namespace tessel::Activity
