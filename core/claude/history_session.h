// The summary of one past Claude Code session, kept from its transcript by the session
// history: enough to list it among the sessions a user can reopen. A plain value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "claude/session_record.h"
#include "util/date.h"

namespace tessel {

struct HistorySession {
  std::string id;
  std::string path{};
  // Bytes of the transcript already scanned.
  uint64_t offset = 0;
  std::optional<std::string> cwd{};
  std::optional<std::string> entrypoint{};
  std::optional<std::string> customTitle{};
  std::optional<std::string> aiTitle{};
  // The user prompted at least once; sessions that never got a prompt are not listed.
  bool hasPrompt = false;
  std::optional<std::string> model{};
  // The transcript's modification time when it was last read.
  Date lastActivity{};

  // The user's title, else Claude Code's, else the folder's name.
  std::string title() const {
    if (customTitle) return *customTitle;
    if (aiTitle) return *aiTitle;
    return Folder::name(cwd.value_or(""));
  }

  // Takes in one chunk of transcript bytes. Only lines that name a title, a prompt, an
  // assistant message or (while unknown) the working directory are parsed, and of the
  // assistant lines only the last.
  void scan(std::string_view data);

  bool operator==(const HistorySession&) const = default;

 private:
  // A line holding a title, prompt or folder mark.
  void scanLine(std::string_view line);
};

// The stored form: the field names as keys, absent optionals left out, the date in
// seconds since 2001.
nlohmann::json toJson(const HistorySession& session);
// Nothing when a required member is missing or any member has the wrong type.
std::optional<HistorySession> historySessionFromJson(const nlohmann::json& json);

}  // namespace tessel
