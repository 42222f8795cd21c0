// Real child processes for tests: started with posix_spawn, ended by pid.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace tessel::test {

// A running child in a process group of its own; the group is killed (SIGKILL) and the
// child reaped when the object goes.
class ChildProcess {
 public:
  // `argv0` is the name the program is told it was started by; empty means `executable`.
  ChildProcess(const std::string& executable, const std::vector<std::string>& arguments,
               const std::string& argv0 = "");
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

struct Finished {
  int exitStatus = -1;  // exit code, or -1 when the program did not exit normally
  std::string out;
  std::string err;
};

// Runs a program to its end with `input` on standard input and the environment
// changed by `environment` (an empty value removes the variable).
Finished runProgram(const std::string& executable, const std::vector<std::string>& arguments,
                    const std::string& input,
                    const std::map<std::string, std::string>& environment = {});

// Waits (briefly polling) until `pid`'s executable is `executable`; exec happens
// after spawn returns. Then waits a little more, until the program has gone to sleep
// or for at most 300 ms: one that has just started is still loading itself, and its
// memory grows from one reading to the next.
bool waitForExecutable(pid_t pid, const std::string& executable);

}  // namespace tessel::test
