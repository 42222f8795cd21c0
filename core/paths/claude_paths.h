// Where Claude Code, its desktop app, Codex and Tessel keep their files. Plain values
// resolved once from the environment and handed to every reader, writer and installer;
// tests build them directly on a temporary folder.
#pragma once

#include <string>

namespace tessel {

struct ClaudePaths {
  std::string home;
  std::string configDir;
  std::string appDir;
  std::string supportDir;

  // From HOME, CLAUDE_CONFIG_DIR and the user database.
  static ClaudePaths standard();

  // Plain concatenations: a trailing slash in a field stays doubled.
  std::string hookDir() const { return supportDir + "/hook"; }
  std::string connectorFile() const { return supportDir + "/connector/state.json"; }
  // The release tool's signing key (base64 of the raw Ed25519 private key), owner-only.
  std::string updateKeyFile() const { return supportDir + "/update-key"; }
  std::string projectsDir() const { return configDir + "/projects"; }
  std::string sessionsDir() const { return configDir + "/sessions"; }
  std::string settingsFile() const { return configDir + "/settings.json"; }
  std::string desktopSessionsDir() const { return appDir + "/claude-code-sessions"; }
  // Asks the file system on every call.
  bool hasDesktopApp() const;

  bool operator==(const ClaudePaths&) const = default;
};

struct CodexPaths {
  std::string home;

  // From CODEX_HOME, else the user database's home + "/.codex" (HOME is not consulted).
  static CodexPaths standard();

  std::string sessionsDir() const { return home + "/sessions"; }
  std::string archivedDir() const { return home + "/archived_sessions"; }
  std::string indexFile() const { return home + "/session_index.jsonl"; }
  std::string locksDir() const { return home + "/thread-writer-locks"; }
  // Asks the file system on every call.
  bool exists() const;

  bool operator==(const CodexPaths&) const = default;
};

}  // namespace tessel
