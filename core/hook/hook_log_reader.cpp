#include "hook/hook_log_reader.h"

#include <algorithm>

#include "hook/hook_log.h"
#include "platform/host.h"
#include "util/files.h"
#include "util/json_reader.h"

namespace tessel {
namespace {

// An events line of the container hook: the hook input trimmed, with "t" and "ctr".
std::optional<HookRecord> containerRecord(simdjson::padded_string_view line) {
  // The line is visited three times (for "t", the record, "ctr"); rewinding over
  // malformed JSON is not safe, so the whole line is validated first. These lines are
  // few next to the host's.
  thread_local simdjson::ondemand::parser parser;
  simdjson::ondemand::document document;
  simdjson::ondemand::value whole;
  if (parser.iterate(line).get(document) != simdjson::SUCCESS ||
      document.get_value().get(whole) != simdjson::SUCCESS || !Json::isValid(whole) ||
      !Json::atEnd(document)) {
    return std::nullopt;
  }
  document.rewind();
  simdjson::ondemand::object object;
  if (document.get_object().get(object) != simdjson::SUCCESS) return std::nullopt;
  double millis = 0;
  if (object.find_field_unordered("t").get_double().get(millis) != simdjson::SUCCESS) {
    return std::nullopt;
  }
  if (object.reset().error() != simdjson::SUCCESS) return std::nullopt;
  auto record = HookRecord::from(object, Date::fromMillis(millis), std::nullopt);
  if (!record) return std::nullopt;
  std::string_view ctr;
  if (object.reset().error() != simdjson::SUCCESS) return std::nullopt;
  const bool hasCtr = object.find_field_unordered("ctr").get_string().get(ctr) == simdjson::SUCCESS;
  record->ctr = hasCtr ? std::string(ctr) : std::string();
  return record;
}

}  // namespace

bool HookLogReader::isBackgroundTool(std::string_view tool) {
  return std::find(backgroundTools.begin(), backgroundTools.end(), tool) != backgroundTools.end();
}

const std::vector<std::string>& HookLogReader::backgroundMarks() {
  static const std::vector<std::string> marks = [] {
    std::vector<std::string> built;
    for (std::string_view tool : backgroundTools) {
      built.push_back("\"tool\":\"" + std::string(tool) + "\"");
    }
    return built;
  }();
  return marks;
}

bool HookLogReader::hasBackgroundMark(std::string_view line) {
  // Every mark shares this prefix, so most lines are rejected by one search.
  static constexpr std::string_view common = "\"tool\":\"mcp__ccd_s";
  if (line.find(common) == std::string_view::npos) return false;
  const auto& marks = backgroundMarks();
  return std::any_of(marks.begin(), marks.end(), [&](const std::string& mark) {
    return line.find(mark) != std::string_view::npos;
  });
}

HookLogReader::HookLogReader(std::string ownHostName) : ownHostName_(std::move(ownHostName)) {}

HookLogReader::HookLogReader() : HookLogReader(platform::hostName()) {}

HookLogReader::Read HookLogReader::refresh(const ClaudePaths& paths, Date now) {
  return refresh(
      std::vector<std::string>{HookLog::file(paths, now - 86400), HookLog::file(paths, now)}, now);
}

HookLogReader::Read HookLogReader::refresh(const std::vector<std::string>& files, Date now) {
  std::lock_guard guard(lock_);
  for (const std::string& path : files) readFile(path);

  prune(now - keepSeconds);

  Read read;
  read.events = published_.publish(events_);
  read.sessionPIDs = sessionPIDs_;
  read.ended = ended_;
  read.lastRecord = lastRecord_;
  read.traces = traces_;
  read.hostTraces = hostTraces_;
  return read;
}

std::optional<Date> HookLogReader::lastRecord() const {
  std::lock_guard guard(lock_);
  return lastRecord_;
}

void HookLogReader::readFile(const std::string& path) {
  const auto file = Files::OpenFile::open(path);
  if (!file) return;
  const uint64_t end = file->size();
  uint64_t start = offsets_[path];
  // Shorter than what we read: the file was trimmed or replaced, so read it anew.
  if (start > end) start = 0;
  if (start >= end) return;
  const std::string bytes = file->read(start, end, simdjson::SIMDJSON_PADDING);
  const size_t lastFeed = bytes.rfind('\n');
  // A line still being written waits for its line feed.
  if (lastFeed == std::string::npos) return;
  offsets_[path] = start + lastFeed + 1;

  size_t lineStart = 0;
  while (lineStart < lastFeed) {
    const size_t lineEnd = bytes.find('\n', lineStart);
    if (lineEnd > lineStart) {
      handleLine(std::string_view(bytes).substr(lineStart, lineEnd - lineStart),
                 bytes.capacity() - lineStart, path);
    }
    lineStart = lineEnd + 1;
  }
}

void HookLogReader::handleLine(std::string_view line, size_t capacity, const std::string& path) {
  if (hasBackgroundMark(line)) return;
  const simdjson::padded_string_view padded(line.data(), line.size(), capacity);
  if (auto record = HookRecord::decode(padded)) {
    trace(hostTraces_, *record, path);
    ingest(std::move(*record));
    return;
  }
  auto record = containerRecord(padded);
  if (!record || isOwnHostLine(*record->ctr)) return;
  trace(traces_, *record, path);
  ingest(std::move(*record));
}

// On a Linux host the container hook's command also runs for the host's own sessions
// (it only stands down on macOS), so their lines reach the project's events file with
// this machine's name in "ctr". The host's own log already has those events.
bool HookLogReader::isOwnHostLine(std::string_view ctr) const {
  return !ownHostName_.empty() && ctr == ownHostName_;
}

void HookLogReader::ingest(HookRecord&& record) {
  const Date date = record.date();
  lastRecord_ = std::max(lastRecord_.value_or(Date::distantPast()), date);
  if (record.pid) sessionPIDs_[record.s] = *record.pid;
  if (record.tool && isBackgroundTool(*record.tool)) return;

  if (record.e == "SessionEnd") {
    ended_[record.s] = date;
    return;
  }
  if (record.e == "SessionStart") {
    ended_.erase(record.s);
    return;
  }
  // Claude Code reports a failed call as "PostToolUseFailure"; it ends the call like
  // "PostToolUse", as a failure.
  const bool isPre = record.e == "PreToolUse";
  const bool isFailure = record.e == "PostToolUseFailure";
  const bool isPost = record.e == "PostToolUse" || isFailure;
  if ((!isPre && !isPost) || !record.id || !record.tool) return;

  const bool isError = isFailure || record.err == true;
  if (isPost) {
    if (const auto found = eventIndex_.find(*record.id); found != eventIndex_.end()) {
      auto ended = std::make_shared<ToolEvent>(*events_[found->second]);
      ended->end = date;
      ended->isError = isError;
      store(std::move(ended));
      return;
    }
  }
  std::string summary = record.sum ? std::move(*record.sum) : *record.tool;
  ToolEvent event{std::move(*record.id), std::move(record.s), std::move(*record.tool),
                  std::move(summary), date};
  event.isBackground = record.bg == true;
  event.cwd = std::move(record.cwd);
  event.source = ToolEvent::Source::hook;
  if (isPost) {
    event.end = date;
    event.isError = isError;
  }
  store(std::make_shared<const ToolEvent>(std::move(event)));
}

void HookLogReader::store(std::shared_ptr<const ToolEvent> event) {
  oldestStart_ = std::min(oldestStart_, event->start);
  const auto [found, isNew] = eventIndex_.try_emplace(event->id, events_.size());
  published_.changed(found->second);
  if (isNew) {
    events_.push_back(std::move(event));
  } else {
    events_[found->second] = std::move(event);
  }
}

void HookLogReader::prune(Date cutoff) {
  for (auto* traces : {&traces_, &hostTraces_}) {
    std::erase_if(*traces, [&](const auto& entry) { return entry.second.last <= cutoff; });
  }
  // Most refreshes have nothing old enough to drop; the oldest start says so without a walk.
  if (cutoff < oldestStart_) return;
  const size_t before = events_.size();
  std::erase_if(events_, [&](const auto& event) { return event->start <= cutoff; });
  oldestStart_ = Date::distantFuture();
  for (const auto& event : events_) oldestStart_ = std::min(oldestStart_, event->start);
  if (events_.size() == before) return;
  eventIndex_.clear();
  for (size_t i = 0; i < events_.size(); ++i) eventIndex_[events_[i]->id] = i;
  published_.changedAll();
}

void HookLogReader::trace(std::unordered_map<std::string, SessionTrace>& traces,
                          const HookRecord& record, const std::string& path) {
  // The desktop app's own calls say nothing about what the session is doing.
  if (record.tool && isBackgroundTool(*record.tool)) return;
  const Date date = record.date();
  // Looked up before anything is built: a host log has many lines per session.
  auto found = traces.find(record.s);
  if (found == traces.end()) {
    found = traces.emplace(record.s, SessionTrace{path, record.cwd, date, date, record.e}).first;
  } else if (date >= found->second.last) {
    found->second.last = date;
    found->second.lastEvent = record.e;
  }
  SessionTrace& trace = found->second;
  if (record.cwd) trace.cwd = record.cwd;
  if (record.ctr && !record.ctr->empty()) trace.container = record.ctr;
}

}  // namespace tessel
