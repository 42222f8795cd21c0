#include "claude/transcript.h"

#include <algorithm>
#include <filesystem>

#include "model/tool_input_reader.h"
#include "util/calendar.h"
#include "util/files.h"
#include "util/json_reader.h"
#include "util/path.h"
#include "util/text.h"

namespace tessel::Transcript {
namespace {

// One content block of a message, as far as tool calls go. Views point into the parser.
struct Block {
  std::string_view type;
  std::optional<std::string_view> id, name, toolUseId;
  ToolInput input;
  bool isError = false;
};

std::optional<std::string_view> stringOf(simdjson::ondemand::value value) {
  std::string_view text;
  if (value.get_string().get(text) != simdjson::SUCCESS) return std::nullopt;
  return text;
}

// False when the block is not an object.
bool readBlock(simdjson::ondemand::value value, Block& block) {
  simdjson::ondemand::object object;
  if (value.get_object().get(object) != simdjson::SUCCESS) return false;
  const bool whole =
      Json::forEachMember(object, [&](std::string_view key, simdjson::ondemand::value member) {
        if (key == "type") {
          block.type = stringOf(member).value_or(std::string_view());
        } else if (key == "id") {
          block.id = stringOf(member);
        } else if (key == "name") {
          block.name = stringOf(member);
        } else if (key == "tool_use_id") {
          block.toolUseId = stringOf(member);
        } else if (key == "input") {
          block.input = readToolInput(member);
        } else if (key == "is_error") {
          bool flag = false;
          block.isError = member.get_bool().get(flag) == simdjson::SUCCESS && flag;
        }
        return true;
      });
  return whole;
}

// The tool-call facts of one transcript line; false when the line has no message
// content array of objects.
struct Line {
  std::vector<Block> blocks;
  std::optional<std::string_view> timestamp, sessionId, cwd;
};

bool readMessageContent(simdjson::ondemand::value message, Line& line) {
  simdjson::ondemand::object object;
  if (message.get_object().get(object) != simdjson::SUCCESS) return false;
  bool found = false;
  const bool whole =
      Json::forEachMember(object, [&](std::string_view key, simdjson::ondemand::value member) {
        if (key != "content") return true;
        simdjson::ondemand::array content;
        if (member.get_array().get(content) != simdjson::SUCCESS) return false;
        line.blocks.clear();
        for (auto element : content) {
          simdjson::ondemand::value value;
          Block block;
          if (element.get(value) != simdjson::SUCCESS || !readBlock(value, block)) return false;
          line.blocks.push_back(block);
        }
        found = true;
        return true;
      });
  return whole && found;
}

bool readLine(std::string_view text, Line& line) {
  thread_local simdjson::ondemand::parser parser;
  thread_local std::string scratch;
  simdjson::ondemand::document document;
  simdjson::ondemand::object object;
  if (parser.iterate(Json::padded(text, scratch)).get(document) != simdjson::SUCCESS ||
      document.get_object().get(object) != simdjson::SUCCESS) {
    return false;
  }
  bool hasContent = false;
  const bool whole =
      Json::forEachMember(object, [&](std::string_view key, simdjson::ondemand::value member) {
        if (key == "message") {
          hasContent = readMessageContent(member, line);
          if (!hasContent) return false;
        } else if (key == "timestamp") {
          line.timestamp = stringOf(member);
        } else if (key == "sessionId") {
          line.sessionId = stringOf(member);
        } else if (key == "cwd") {
          line.cwd = stringOf(member);
        }
        return true;
      });
  return whole && hasContent && Json::atEnd(document);
}

using Text::contains;

// Whether a line holding "tool_result" can matter: false only when every call id its raw
// bytes name is refused. Claude Code writes compact JSON, so a key reads
// "tool_use_id":"<id>"; an id with an escape, or a line where no id reads that way, is
// left to the parser.
bool mayHoldWantedResult(std::string_view line,
                         const std::function<bool(std::string_view)>& wanted) {
  static constexpr std::string_view key = "\"tool_use_id\":\"";
  bool sawId = false;
  for (size_t at = Text::find(line, key); at != std::string_view::npos;
       at = Text::find(line, key, at)) {
    at += key.size();
    const size_t end = line.find('"', at);
    if (end == std::string_view::npos) return true;
    const std::string_view id = line.substr(at, end - at);
    if (id.find('\\') != std::string_view::npos || wanted(id)) return true;
    sawId = true;
  }
  return !sawId;
}

// Which tool blocks a raw line may hold.
struct Kinds {
  bool use = false;
  bool result = false;
};

Kinds kindsOf(std::string_view line) {
  return {.use = contains(line, "\"tool_use\""), .result = contains(line, "\"tool_result\"")};
}

}  // namespace

std::optional<std::string> tail(const std::string& path, uint64_t maxBytes, uint64_t* linesEnd) {
  if (linesEnd) *linesEnd = 0;
  const auto file = Files::OpenFile::open(path);
  if (!file) return std::nullopt;
  const uint64_t size = file->size();
  const uint64_t start = size > maxBytes ? size - maxBytes : 0;
  const std::string bytes = file->read(start, size);
  if (bytes.empty()) return std::nullopt;
  if (const size_t last = bytes.rfind('\n'); linesEnd && last != std::string::npos) {
    *linesEnd = start + last + 1;
  }
  std::string text = Text::repairUtf8(bytes);
  if (start == 0) return text;
  const size_t feed = text.find('\n');
  if (feed == std::string::npos) return std::nullopt;
  text.erase(0, feed + 1);
  return text;
}

std::optional<Date> date(std::optional<std::string_view> value) {
  if (!value) return std::nullopt;
  return Calendar::parseInternetDateTime(*value);
}

std::vector<ToolEvent> events(std::string_view text, const std::optional<std::string>& sessionHint,
                              bool onlyCommands) {
  std::vector<Result> unused;
  return events(text, sessionHint, onlyCommands, nullptr, unused);
}

std::vector<ToolEvent> events(std::string_view text, const std::optional<std::string>& sessionHint,
                              bool onlyCommands,
                              const std::function<bool(std::string_view)>& wantedResults,
                              std::vector<Result>& results) {
  std::unordered_map<std::string, ToolEvent> pending;
  std::unordered_map<std::string, std::pair<Date, bool>> closing;
  std::vector<std::string> order;
  // `late`: a line looked at after the rest, whose results must not replace those of
  // lines written after it.
  const auto read = [&](std::string_view raw, bool late) {
    Line line;
    if (!readLine(raw, line)) return;
    const auto ts = date(line.timestamp);
    if (!ts) return;
    const std::string session =
        line.sessionId ? std::string(*line.sessionId) : sessionHint.value_or(std::string());
    for (const Block& block : line.blocks) {
      if (block.type == "tool_use") {
        if (!block.id || !block.name) continue;
        if (onlyCommands && *block.name != "Bash") continue;
        auto summary = ToolEvent::summarize(*block.name, block.input);
        const std::string id(*block.id);
        ToolEvent event{id, session, std::string(*block.name), std::move(summary.summary), *ts};
        event.isBackground = block.input.runInBackground;
        event.filePath = std::move(summary.file);
        if (line.cwd) event.cwd = std::string(*line.cwd);
        event.source = ToolEvent::Source::history;
        auto [found, isNew] = pending.try_emplace(id, event);
        if (isNew) {
          order.push_back(id);
        } else {
          found->second = std::move(event);
        }
      } else if (block.type == "tool_result") {
        if (!block.toolUseId) continue;
        if (late) {
          closing.try_emplace(std::string(*block.toolUseId), *ts, block.isError);
        } else {
          closing[std::string(*block.toolUseId)] = {*ts, block.isError};
        }
        if (wantedResults && wantedResults(*block.toolUseId)) {
          results.push_back({std::string(*block.toolUseId), *ts, block.isError});
        }
      }
    }
  };
  const auto wanted = [&](std::string_view id) {
    return pending.contains(std::string(id)) || (wantedResults && wantedResults(id));
  };
  // Lines with only results for calls not seen yet: their call may still come later in
  // the text (lines are not always written in order), so they are looked at again once
  // every call is known, by the ids their first search found rather than a second one.
  std::vector<std::string_view> ids;                           // of every unmatched line, in order
  std::vector<std::pair<std::string_view, size_t>> unmatched;  // line, end of its ids
  const auto noting = [&](std::string_view id) {
    ids.push_back(id);
    return wanted(id);
  };
  for (std::string_view raw : Text::nonEmptyLines(text)) {
    const Kinds kinds = kindsOf(raw);
    const bool calls = kinds.use && (!onlyCommands || contains(raw, "\"Bash\""));
    const size_t start = ids.size();
    if (calls || (kinds.result && mayHoldWantedResult(raw, noting))) {
      ids.resize(start);
      read(raw, false);
    } else if (kinds.result) {
      unmatched.emplace_back(raw, ids.size());
    }
  }
  size_t first = 0;
  for (const auto& [raw, end] : unmatched) {
    if (std::any_of(ids.begin() + static_cast<ptrdiff_t>(first),
                    ids.begin() + static_cast<ptrdiff_t>(end),
                    [&](std::string_view id) { return pending.contains(std::string(id)); })) {
      read(raw, true);
    }
    first = end;
  }
  std::vector<ToolEvent> answer;
  answer.reserve(order.size());
  for (const std::string& id : order) {
    ToolEvent& event = pending.at(id);
    if (const auto result = closing.find(id); result != closing.end()) {
      event.end = result->second.first;
      event.isError = result->second.second;
    }
    answer.push_back(std::move(event));
  }
  return answer;
}

namespace {

template <typename List>
std::vector<std::string> walk(const ClaudePaths& paths, bool withSubagents, List&& list) {
  std::vector<std::string> found;
  const std::string projects = paths.projectsDir();
  const auto projectNames = list(projects);
  for (const std::string& project : *projectNames) {
    const std::string folder = projects + "/" + project;
    const auto entries = list(folder);
    for (const std::string& entry : *entries) {
      if (entry.ends_with(".jsonl")) {
        found.push_back(folder + "/" + entry);
      } else if (withSubagents) {
        const std::string subagents = folder + "/" + entry + "/subagents";
        const auto files = list(subagents);
        for (const std::string& file : *files) {
          if (file.ends_with(".jsonl")) found.push_back(subagents + "/" + file);
        }
      }
    }
  }
  return found;
}

}  // namespace

std::vector<std::string> files(const ClaudePaths& paths, bool withSubagents) {
  return walk(paths, withSubagents, [](const std::string& folder) {
    return std::make_shared<const std::vector<std::string>>(
        Files::list(folder).value_or(std::vector<std::string>()));
  });
}

std::vector<std::string> files(const ClaudePaths& paths, bool withSubagents,
                               Files::ListingCache& cache, Date now) {
  auto found = walk(paths, withSubagents,
                    [&](const std::string& folder) { return cache.list(folder, now); });
  cache.forgetUnused();
  return found;
}

std::optional<std::string> lastModel(std::string_view text) {
  static constexpr std::string_view opening = "\"model\":\"claude-";
  const size_t match = text.rfind(opening);
  if (match == std::string_view::npos) return std::nullopt;
  const size_t start = match + 9;
  const size_t end = text.find('"', start);
  if (end == std::string_view::npos) return std::nullopt;
  return std::string(text.substr(start, end - start));
}

}  // namespace tessel::Transcript

namespace tessel {

std::optional<std::string> TranscriptLocator::path(const std::string& sessionId,
                                                   const ClaudePaths& paths, Date now) {
  namespace fs = std::filesystem;
  std::lock_guard guard(lock_);
  if (const auto known = paths_.find(sessionId); known != paths_.end()) {
    std::error_code error;
    if (fs::exists(known->second, error)) return known->second;
  }
  if (now - lastScan_ <= rescanSeconds) return std::nullopt;
  lastScan_ = now;
  for (const std::string& file : Transcript::files(paths, false)) {
    const std::string_view name = Path::lastComponent(file);
    paths_[std::string(name.substr(0, name.size() - 6))] = file;
  }
  const auto found = paths_.find(sessionId);
  if (found == paths_.end()) return std::nullopt;
  return found->second;
}

}  // namespace tessel
