#include "support/temp_dir.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tessel::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "tessel-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code error;
  // Tests may leave read-only folders behind; give them back before removing.
  for (auto it = fs::recursive_directory_iterator(path_, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
  }
  fs::remove_all(path_, error);
}

std::string TempDir::operator/(std::string_view relative) const {
  return path_ + "/" + std::string(relative);
}

std::string TempDir::write(std::string_view relative, std::string_view bytes) const {
  std::string path = *this / relative;
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::string TempDir::script(std::string_view relative, std::string_view text) const {
  std::string path = write(relative, text);
  chmod(path.c_str(), 0755);
  return path;
}

void setModified(const std::string& path, Date date) {
  const auto since = std::chrono::duration_cast<std::chrono::system_clock::duration>(
      std::chrono::duration<double>(date.secondsSince1970()));
  fs::last_write_time(
      path, std::chrono::file_clock::from_sys(std::chrono::system_clock::time_point(since)));
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace tessel::test
