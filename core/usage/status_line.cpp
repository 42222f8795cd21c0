#include "usage/status_line.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "util/calendar.h"
#include "util/files.h"
#include "util/json_object.h"

namespace tessel::StatusLine {
namespace {

using nlohmann::json;

// A state file that does not parse may be in the middle of another program's write;
// only one left like that for this long is taken as lost and started again.
constexpr double damagedAfterSeconds = 5;
// Rewrites of the file by a program that does not take our lock, met in one capture.
constexpr int mergeAttempts = 3;

std::optional<double> numberIn(const json& document, const char* object, const char* key) {
  const json* inner = Json::objectAt(document, object);
  return inner ? Json::numberAt(*inner, key) : std::nullopt;
}

const json* numberMember(const json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_number() ? &*found : nullptr;
}

bool isSameFile(const std::optional<Files::Attributes>& a,
                const std::optional<Files::Attributes>& b) {
  if (!a || !b) return !a && !b;
  return a->size == b->size && a->modified == b->modified;
}

std::string percent(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f%%", value);
  return text;
}

std::string resetTime(Date reset, Date now) {
  const bool isToday = Calendar::localDay(reset) == Calendar::localDay(now);
  return Calendar::formatLocal(reset, isToday ? "%H:%M" : "%a %H:%M");
}

void addWindow(std::string& line, const Plan& plan, std::string_view kind, std::string_view name,
               Date now) {
  const PlanWindow* window = plan.window(kind);
  if (!window) return;
  if (!line.empty()) line += " · ";
  line += name;
  line += ' ';
  // Past its reset the window starts again: what the reading said no longer holds.
  if (window->resetsAt && *window->resetsAt <= now) {
    line += "0%";
    return;
  }
  line += percent(window->percentUsed);
  if (window->resetsAt) line += " (resets " + resetTime(*window->resetsAt, now) + ")";
}

}  // namespace

std::optional<Input> parse(std::string_view text) {
  const json document = Json::parse(text);
  if (!document.is_object()) return std::nullopt;
  Input input;
  input.sessionId = Json::stringAt(document, "session_id").value_or("");
  input.cwd = Json::stringAt(document, "cwd").value_or("");
  input.version = Json::stringAt(document, "version").value_or("");
  input.costUsd = numberIn(document, "cost", "total_cost_usd");
  input.contextPercent = numberIn(document, "context_window", "used_percentage");
  if (const json* limits = Json::objectAt(document, "rate_limits")) {
    for (const char* kind : {"five_hour", "seven_day"}) {
      // The numbers as Claude Code wrote them: 42 stays 42, not 42.0.
      const json* reading = Json::objectAt(*limits, kind);
      const json* used = reading ? numberMember(*reading, "used_percentage") : nullptr;
      if (!used) continue;
      json window = {{"kind", kind}, {"percentUsed", *used}};
      if (const json* reset = numberMember(*reading, "resets_at")) window["resetsAt"] = *reset;
      input.rateLimits.push_back(std::move(window));
    }
  }
  return input;
}

bool capture(const Input& input, const ClaudePaths& paths, Date now) {
  if (input.rateLimits.empty()) return false;
  const std::string path = paths.connectorFile();
  Files::createDirectories(path.substr(0, path.rfind('/')));
  const auto lock = Files::ExclusiveLock::acquire(path + ".lock");
  if (!lock) return false;
  const std::string temporary = path + ".statusline-" + std::to_string(getpid());
  const double nowMs = std::round(now.millisSince1970());
  for (int attempt = 0; attempt < mergeAttempts; ++attempt) {
    const auto before = Files::attributes(path);
    json document = json::object();
    if (before) {
      const auto text = Files::read(path);
      if (!text) return false;
      document = Json::parse(*text);
      if (!document.is_object()) {
        if (now - before->modified < damagedAfterSeconds) return false;
        document = json::object();
      }
    }
    const auto at = Json::numberAt(document, "at");
    if (at && *at > nowMs) return false;
    // "at" is about to say when this reading came; the app's reading, written with the
    // file's earlier "at", keeps that time as its own.
    if (auto app = document.find("app");
        at && app != document.end() && app->is_object() && !app->contains("at")) {
      (*app)["at"] = *at;
    }
    document["rateLimits"] = input.rateLimits;
    document["at"] = static_cast<int64_t>(nowMs);
    if (!Files::create(temporary, document.dump(), 0600)) {
      std::remove(temporary.c_str());
      return false;
    }
    // Our processes wait for the lock, the plugin does not: when it rewrote the file in
    // the meantime, its version is merged again instead of overwritten.
    if (!isSameFile(before, Files::attributes(path))) continue;
    if (std::rename(temporary.c_str(), path.c_str()) == 0) return true;
    break;
  }
  std::remove(temporary.c_str());
  return false;
}

std::string render(const Input& input, const std::optional<ConnectorState>& state, Date now,
                   std::string_view activity) {
  std::string line(activity);
  Plan plan;
  if (!input.rateLimits.empty()) {
    plan = PlanMath::planFromRateLimits(input.rateLimits, now);
  } else if (state) {
    plan = state->plan(std::nullopt, now);
  }
  addWindow(line, plan, "five_hour", "5h", now);
  addWindow(line, plan, "seven_day", "week", now);
  if (input.costUsd) {
    char cost[48];
    std::snprintf(cost, sizeof cost, "$%.2f", *input.costUsd);
    if (!line.empty()) line += " · ";
    line += cost;
  }
  if (input.contextPercent) {
    if (!line.empty()) line += " · ";
    line += "context " + percent(*input.contextPercent);
  }
  return line;
}

}  // namespace tessel::StatusLine
