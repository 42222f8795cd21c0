#include "hook/hook_log.h"

#include <filesystem>
#include <mutex>
#include <unordered_set>

#include "hook/hook_log_reader.h"
#include "platform/process_info.h"
#include "util/calendar.h"
#include "util/files.h"
#include "util/json_reader.h"
#include "util/path.h"
#include "util/text.h"

namespace tessel::HookLog {
namespace {

namespace fs = std::filesystem;

constexpr unsigned logMode = 0600;

// The files this process has already compacted or trimmed; never done twice. It is
// process-wide on purpose: every reader of the process, whichever Monitor owns it, must
// agree that a file is done, or two of them would rewrite it at once.
class CompactedSet {
 public:
  // True when `path` was not in the set before.
  bool insert(const std::string& path) {
    std::lock_guard guard(lock_);
    return paths_.insert(path).second;
  }

 private:
  std::mutex lock_;
  // Guarded by lock_.
  std::unordered_set<std::string> paths_;
};

CompactedSet& compacted() {
  static CompactedSet set;
  return set;
}

std::vector<std::string> namesIn(const std::string& directory) {
  return Files::list(directory).value_or(std::vector<std::string>());
}

bool keptAfterTrim(std::string_view line, double cutoffMillis) {
  thread_local simdjson::dom::parser parser;
  simdjson::dom::element element;
  if (parser.parse(line.data(), line.size()).get(element) != simdjson::SUCCESS) return false;
  simdjson::dom::object object;
  if (element.get_object().get(object) != simdjson::SUCCESS) return false;
  simdjson::dom::element t;
  if (object.at_key("t").get(t) != simdjson::SUCCESS) return false;
  double millis = 0;
  if (t.get_double().get(millis) != simdjson::SUCCESS) return false;
  return millis >= cutoffMillis;
}

// Claude Code is not always an executable named "claude". The native install runs
// .../claude/versions/<version>, and an npm install runs node, which then renames its
// process "claude". The executable is asked first: reading a command line costs more.
bool isClaude(int32_t pid) {
  if (const auto executable = platform::executablePath(pid)) {
    if (Path::lastComponent(*executable) == "claude") return true;
    const size_t slash = executable->rfind('/');
    if (slash != std::string::npos &&
        std::string_view(*executable).substr(0, slash).ends_with("/claude/versions")) {
      return true;
    }
  }
  const std::vector<std::string> arguments = platform::arguments(pid);
  return !arguments.empty() && Path::lastComponent(arguments.front()) == "claude";
}

}  // namespace

std::string file(const ClaudePaths& paths, Date day) {
  return paths.hookDir() + "/events-" + Calendar::localDay(day) + ".jsonl";
}

void append(const HookRecord& record, const ClaudePaths& paths, Date now) {
  auto line = record.encode();
  if (!line) return;
  *line += '\n';
  Files::createDirectories(paths.hookDir());
  Files::appendOnce(file(paths, now), *line, logMode);
}

std::optional<int32_t> claudeAncestor(int32_t start) {
  int32_t pid = start;
  for (int step = 0; step < 6; ++step) {
    if (pid < 2) return std::nullopt;
    if (isClaude(pid)) return pid;
    auto parent = platform::parentPid(pid);
    if (!parent) return std::nullopt;
    pid = *parent;
  }
  return std::nullopt;
}

void prune(const ClaudePaths& paths, Date now) {
  const std::string directory = paths.hookDir();
  for (const std::string& name : namesIn(directory)) {
    if (!name.starts_with("events-")) continue;
    const std::string path = directory + "/" + name;
    const auto modified = Files::modificationTime(path);
    std::error_code error;
    if (modified && now - *modified > 604800) fs::remove(path, error);
  }
  compact(paths, now);
}

void compact(const ClaudePaths& paths, Date now) {
  const std::string directory = paths.hookDir();
  const std::string today = file(paths, now);
  for (const std::string& name : namesIn(directory)) {
    if (!name.starts_with("events-") || !name.ends_with(".jsonl")) continue;
    const std::string path = directory + "/" + name;
    if (path == today || !compacted().insert(path)) continue;
    const auto contents = Files::read(path);
    if (!contents || !HookLogReader::hasBackgroundMark(*contents)) continue;
    std::string kept;
    kept.reserve(contents->size());
    for (std::string_view line : Text::nonEmptyLines(*contents)) {
      if (HookLogReader::hasBackgroundMark(line)) continue;
      kept.append(line);
      kept += '\n';
    }
    Files::replace(path, kept, ".compacting", logMode);
  }
}

void trimContainerLog(const std::string& path, double keepDays, uint64_t overBytes, Date now) {
  if (!compacted().insert(path)) return;
  std::error_code error;
  const uint64_t size = fs::file_size(path, error);
  if (error || size <= overBytes) return;
  const auto contents = Files::read(path);
  if (!contents) return;
  const double cutoffMillis = (now.secondsSince1970() - keepDays * 86400) * 1000;
  std::string kept;
  for (std::string_view line : Text::nonEmptyLines(*contents)) {
    if (!keptAfterTrim(line, cutoffMillis)) continue;
    kept.append(line);
    kept += '\n';
  }
  Files::replace(path, kept, ".trimming");
}

}  // namespace tessel::HookLog
