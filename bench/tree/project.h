// A project the tree's sessions work in: the folder Claude Code was started in, the
// language of its code, and its files and branches. Made once per tree, then read-only.
#pragma once

#include <string>
#include <vector>

#include "tree/vocabulary.h"

namespace tessel::bench {

struct Project {
  std::string cwd;  // escaped
  std::string dir;  // the folder under projects/
  Language language = cpp;
  std::vector<std::string> files;  // absolute, escaped
  std::vector<std::string> branches;
};

}  // namespace tessel::bench
