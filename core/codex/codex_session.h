// One Codex session as its rollout file tells it: where it runs, which model, when its
// current turn started and ended. A plain value; its JSON form is what the index store
// keeps for it.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

#include "util/date.h"

namespace tessel {

struct CodexSession {
  std::string id{};     // from the rollout file name
  std::string path{};   // the rollout file
  uint64_t offset = 0;  // bytes of the file already read
  std::optional<std::string> cwd{};
  std::optional<std::string> originator{};  // the client that started the session
  bool isSubagent = false;
  std::optional<std::string> cliVersion{};
  std::optional<std::string> model{};  // of the latest turn
  std::optional<Date> started{};
  Date lastActivity{};
  std::optional<Date> turnStarted{};
  std::optional<Date> turnEnded{};
  bool recognised = false;  // the file's first line is a session meta line
  // The session's cumulative token total at the last usage counted. Codex repeats a
  // token count unchanged when only the rate limits moved; the repeat must add nothing,
  // even when it is read after a restart.
  std::optional<int64_t> countedTotal{};

  bool operator==(const CodexSession&) const = default;
};

// Keys as the field names, dates as seconds since 2001, absent optionals left out.
nlohmann::json toJson(const CodexSession& session);
// Nothing when a required key is missing or a value has the wrong type.
std::optional<CodexSession> codexSessionFromJson(const nlohmann::json& json);

}  // namespace tessel
