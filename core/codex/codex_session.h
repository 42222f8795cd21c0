// One Codex session as its rollout file tells it: where it runs, which model, when its
// current turn started and ended. A plain value.
#pragma once

#include <cstdint>
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
  bool recognised = false;  // the lines read as a Codex rollout

  bool operator==(const CodexSession&) const = default;
};

}  // namespace tessel
