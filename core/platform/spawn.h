// Starting an outside program and waiting for it to end, with a hard time-out and both
// output streams captured in full. Never throws; safe from any thread; blocks its caller
// while the program runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessel::platform {

struct ProgramOutcome {
  // The exit code, or the number of the signal that ended the program; -1 when it could
  // not be started.
  int32_t status = -1;
  std::string out{};  // standard output, the bytes as written
  std::string err{};  // standard error, or why the launch failed
  bool timedOut = false;
};

// Runs the program at the absolute path `executable` with `arguments`, without a shell,
// standard input from the null device and this process's environment but for PATH,
// which becomes `searchPath`. After `timeoutSeconds` the program is asked to stop, one
// second later it is killed. A grandchild still holding an output open is not waited
// for: the output is what had arrived a second after the program ended.
ProgramOutcome runProgram(const std::string& executable, const std::vector<std::string>& arguments,
                          const std::string& searchPath, double timeoutSeconds);

// Whether `path` is a regular file this process may execute.
bool isExecutableFile(const std::string& path);

}  // namespace tessel::platform
