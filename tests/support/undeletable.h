// Makes a folder's contents impossible to delete for as long as the object lives, even
// for root (which ignores permissions): the folder is marked immutable instead.
#pragma once

#include <string>

namespace tessel::test {

class UndeletableFolder {
 public:
  explicit UndeletableFolder(std::string path);
  ~UndeletableFolder();
  UndeletableFolder(const UndeletableFolder&) = delete;
  UndeletableFolder& operator=(const UndeletableFolder&) = delete;

  // False when the file system refused (no immutable flag, no privilege).
  bool ok() const { return ok_; }

 private:
  std::string path_;
  bool immutable_ = false;
  bool ok_ = false;
};

}  // namespace tessel::test
