#include "paths/claude_paths.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <optional>

#include "platform/user.h"
#include "support/temp_dir.h"

namespace tessel {
namespace {

// Sets or removes environment variables for one scope.
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(const std::map<std::string, std::optional<std::string>>& values) {
    for (const auto& [name, value] : values) {
      const char* old = getenv(name.c_str());
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
      value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
    }
  }
  ~ScopedEnvironment() {
    for (const auto& [name, value] : saved_) {
      value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

TEST(ClaudePaths, ResolvesFromTheEnvironment) {
  const std::string& userHome = platform::userHomeDirectory();
  {
    ScopedEnvironment env({{"HOME", "/tmp/h"}, {"CLAUDE_CONFIG_DIR", std::nullopt}});
    const ClaudePaths paths = ClaudePaths::standard();
    EXPECT_EQ(paths,
              (ClaudePaths{"/tmp/h", "/tmp/h/.claude", "/tmp/h/Library/Application Support/Claude",
                           "/tmp/h/Library/Application Support/Tessel"}));
  }
  {
    // An empty HOME falls back to the user database; an empty config dir stays empty
    // and moves neither the app's folder nor ours.
    ScopedEnvironment env({{"HOME", ""}, {"CLAUDE_CONFIG_DIR", ""}});
    const ClaudePaths paths = ClaudePaths::standard();
    EXPECT_EQ(paths.home, userHome);
    EXPECT_EQ(paths.configDir, "");
    EXPECT_EQ(paths.settingsFile(), "/settings.json");
    EXPECT_EQ(paths.supportDir, userHome + "/Library/Application Support/Tessel");
  }
  {
    ScopedEnvironment env({{"HOME", "/tmp/h"}, {"CLAUDE_CONFIG_DIR", "/cfg/"}});
    EXPECT_EQ(ClaudePaths::standard().projectsDir(), "/cfg//projects");
    EXPECT_EQ(ClaudePaths::standard().appDir, "/tmp/h/Library/Application Support/Claude");
  }
}

TEST(CodexPaths, IgnoresHomeAndAsksTheFileSystemEachTime) {
  {
    ScopedEnvironment env({{"CODEX_HOME", ""}, {"HOME", "/tmp/h"}});
    EXPECT_EQ(CodexPaths::standard().home, platform::userHomeDirectory() + "/.codex");
  }
  test::TempDir dir;
  ScopedEnvironment env({{"CODEX_HOME", dir.path()}});
  const CodexPaths paths = CodexPaths::standard();
  EXPECT_FALSE(paths.exists());
  dir.write("sessions/2025/x.jsonl", "");
  EXPECT_TRUE(paths.exists());

  ClaudePaths claude{dir.path(), dir / ".claude", dir / "app", dir / "support"};
  const bool applicationsApp = std::filesystem::exists("/Applications/Claude.app");
  EXPECT_EQ(claude.hasDesktopApp(), applicationsApp);
  dir.write("app/config.json", "{}");
  EXPECT_TRUE(claude.hasDesktopApp());
}

}  // namespace
}  // namespace tessel
