// The shell commands sessions ran, taken apart for attribution: each line's words, its
// lower-cased verbs and its simple commands with those that only look at the system
// dropped; a cache that parses each line once while its text stays the same; the time
// window of commands around a moment; and what a process's command line says about it.
// Commands are immutable values, safe to share between threads.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "environments/process_table.h"
#include "model/tool_event.h"
#include "util/date.h"

namespace tessel::Activity {

// A set of words, sorted for lookups; a command line has a few dozen at most.
class WordSet {
 public:
  WordSet() = default;
  explicit WordSet(std::vector<std::string> words);

  bool contains(std::string_view word) const;
  bool containsAny(std::span<const std::string_view> words) const;
  const std::vector<std::string>& items() const { return words_; }
  bool empty() const { return words_.empty(); }

  bool operator==(const WordSet&) const = default;

 private:
  std::vector<std::string> words_;
};

struct Segment {
  std::string text;  // the simple command exactly as split from the line
  WordSet words;     // its runs of letters, digits, "_", "-" and "."

  bool operator==(const Segment&) const = default;
};

class Command {
 public:
  explicit Command(std::string_view text);

  // The tool call the line came from; present for every command built from a call.
  std::optional<ToolEvent> event;

  const std::string& text() const { return parsed_->text; }
  // Every run of Unicode letters and numbers, case kept.
  const WordSet& words() const { return parsed_->words; }
  // The words lower-cased.
  const WordSet& verbs() const { return parsed_->verbs; }
  // The simple commands between "|", ";", "&", line feeds and parentheses, in order,
  // without those whose program only inspects ("ps", "grep", "cat"...).
  const std::vector<Segment>& segments() const { return parsed_->segments; }

  bool operator==(const Command& other) const;

 private:
  struct Parsed {
    std::string text;
    WordSet words;
    WordSet verbs;
    std::vector<Segment> segments;
  };
  // Shared between the cache and every snapshot that uses the line: copying a command
  // copies its event, never its parsing.
  std::shared_ptr<const Parsed> parsed_;
};

// Verbs that make a line start, stop or use something; compared with lower-cased words.
extern const std::span<const std::string_view> startingWords;
extern const std::span<const std::string_view> stoppingWords;
extern const std::span<const std::string_view> usingWords;

// The commands of the last prepared events, by event id, so that the Monitor parses a
// line once while it stays in the recent commands.
class CommandCache {
 public:
  // One command per event, in the order of `events`, each carrying its event. Commands
  // of events not passed this time are forgotten.
  std::vector<Command> prepare(const std::vector<ToolEvent>& events);

 private:
  std::mutex lock_;
  // Guarded by lock_.
  std::unordered_map<std::string, Command> byID_;
};

// The process's cache: every snapshot of the process shares the parsings.
CommandCache& commandCache();

// The commands whose event started in [from, to + 1 ms); `commands` sorted by start,
// each with an event. A binary search, never a scan.
std::span<const Command> window(std::span<const Command> commands, Date from, Date to);

// Whether a process looks like something a developer or an agent started, rather than
// a part of the operating system or of an application bundle.
bool looksLikeTool(const ProcessEntry& process);
// The words by which commands can name a process: its name, the name with "-" as
// spaces, and the script an interpreter runs ("node worker.js" -> "worker").
std::vector<std::string> processKeywords(const ProcessEntry& process);

}  // namespace tessel::Activity
