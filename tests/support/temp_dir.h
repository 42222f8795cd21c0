// A fresh folder under the system's temporary directory, removed with everything in
// it when the object goes.
#pragma once

#include <string>
#include <string_view>

#include "paths/claude_paths.h"
#include "util/date.h"

namespace tessel::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative
  std::string operator/(std::string_view relative) const;
  // Writes a file (creating its folders) and returns its path.
  std::string write(std::string_view relative, std::string_view bytes) const;
  // Writes an executable script and returns its path.
  std::string script(std::string_view relative, std::string_view text) const;
  // Claude's folders inside this one: the home itself, `config`, "app" and "support".
  ClaudePaths claudePaths(std::string_view config = "config") const {
    return ClaudePaths{path_, *this / config, *this / "app", *this / "support"};
  }

 private:
  std::string path_;
};

// Sets the file's modification time.
void setModified(const std::string& path, Date date);

// The whole file, or "" when it cannot be read.
std::string readFile(const std::string& path);

}  // namespace tessel::test
