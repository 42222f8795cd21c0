// The shell commands sessions ran, taken apart for attribution: each line's words, its
// lower-cased verbs and its simple commands with those that only look at the system
// dropped; a cache that parses each line once while its text stays the same; the time
// window of commands around a moment; and what a process's command line says about it.
// Commands are immutable values, safe to share between threads.
#pragma once

#include <array>
#include <cstdint>
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

// The byte trigrams of a text folded into 256 bits. A text holds every bit of any text it
// contains, so one mask test rules out most lines before their text is searched.
class Trigrams {
 public:
  Trigrams() = default;
  explicit Trigrams(std::string_view text);

  // False when `part` cannot occur in the text; true when it may.
  bool mayContain(const Trigrams& part) const {
    // Without branches: a bit of `part` missing here is left set by the exclusive or.
    return (((bits_[0] & part.bits_[0]) ^ part.bits_[0]) |
            ((bits_[1] & part.bits_[1]) ^ part.bits_[1]) |
            ((bits_[2] & part.bits_[2]) ^ part.bits_[2]) |
            ((bits_[3] & part.bits_[3]) ^ part.bits_[3])) == 0;
  }

  bool operator==(const Trigrams&) const = default;

 private:
  std::array<uint64_t, 4> bits_{};
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
  // Shared and immutable, so that a command is small (attribution scans thousands per
  // resource) and the cache hands out an unchanged call without copying it.
  std::shared_ptr<const ToolEvent> event;

  const std::string& text() const { return parsed_->text; }
  // Every run of Unicode letters and numbers, case kept.
  const WordSet& words() const { return parsed_->words; }
  // The words lower-cased.
  const WordSet& verbs() const { return parsed_->verbs; }
  // The simple commands between "|", ";", "&", line feeds and parentheses, in order,
  // without those whose program only inspects ("ps", "grep", "cat"...).
  const std::vector<Segment>& segments() const { return parsed_->segments; }
  // Whether `verbs` holds one of startingWords, stoppingWords, usingWords: asked of every
  // command for every resource, so answered once per line.
  bool startsSomething() const { return starts_; }
  bool stopsSomething() const { return stops_; }
  bool usesSomething() const { return uses_; }
  const Trigrams& trigrams() const { return trigrams_; }

  bool operator==(const Command& other) const;

 private:
  friend class CommandCache;
  struct Parsed {
    std::string text;
    WordSet words;
    WordSet verbs;
    std::vector<Segment> segments;
    bool starts = false;
    bool stops = false;
    bool uses = false;
    Trigrams trigrams;
  };
  explicit Command(std::shared_ptr<const Parsed> parsed);

  // Shared between the cache and every snapshot that uses the line: copying a command
  // copies its event, never its parsing.
  std::shared_ptr<const Parsed> parsed_;
  // Copies of the parsing's first tests, beside the command: attribution runs them on
  // thousands of commands per resource, and they then cost no pointer chase.
  Trigrams trigrams_;
  bool starts_ = false;
  bool stops_ = false;
  bool uses_ = false;
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
  struct Entry {
    std::shared_ptr<const Command::Parsed> parsed;
    std::shared_ptr<const ToolEvent> event;
    uint64_t round = 0;  // the last prepare that passed the event
  };
  std::mutex lock_;
  // Guarded by lock_. Kept from call to call, so that a steady list of events costs a
  // look-up each and no allocation.
  std::unordered_map<std::string, Entry> byID_;
  uint64_t round_ = 0;
};

// The process's cache: every snapshot of the process shares the parsings.
CommandCache& commandCache();

// The commands whose event started in [from, to + 1 ms); `commands` sorted by start,
// each with an event. A binary search, never a scan.
std::span<const Command> window(std::span<const Command> commands, Date from, Date to);

// Whether a process looks like something a developer or an agent started, rather than
// a part of the operating system or of an application bundle.
bool looksLikeTool(const ProcessEntry& process);
// The same from its executable path, already read (each read is a system call).
bool looksLikeTool(const ProcessEntry& process, const std::optional<std::string>& executable);
// The words by which commands can name a process: its name, the name with "-" as
// spaces, and the script an interpreter runs ("node worker.js" -> "worker").
std::vector<std::string> processKeywords(const ProcessEntry& process);
std::vector<std::string> processKeywords(const ProcessEntry& process, const std::string& name);

}  // namespace tessel::Activity
