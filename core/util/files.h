// Whole-file reads and writes with the error handling every reader wants: failures
// are answers (nullopt / false), never exceptions. Safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessel::Files {

// The whole file, or nothing when it cannot be opened or read.
std::optional<std::string> read(const std::string& path);
// Creates (or truncates) `path` with `bytes`; `mode` applies when the file is new.
bool create(const std::string& path, std::string_view bytes, unsigned mode = 0644);
// Writes `bytes` to `path` + `suffix` and renames that over `path`; the temporary
// file is removed when the rename fails.
bool replace(const std::string& path, std::string_view bytes, std::string_view suffix,
             unsigned mode = 0644);

// Appends `bytes` with one write on a descriptor opened for appending, creating the
// file with `mode` when missing: the kernel places the whole write at the end of the
// file even when other processes append at the same moment. A short write is not retried.
bool appendOnce(const std::string& path, std::string_view bytes, unsigned mode);
// mkdir -p with default permissions; errors (including "exists") are ignored. The
// common case, an existing folder, costs one system call.
void createDirectories(const std::string& path);

}  // namespace tessel::Files
