#include "support/processes.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "platform/process_info.h"

extern char** environ;

namespace tessel::test {
namespace {

std::vector<char*> argv(const std::string& executable, const std::vector<std::string>& arguments) {
  std::vector<char*> list;
  list.push_back(const_cast<char*>(executable.c_str()));
  for (const auto& argument : arguments) list.push_back(const_cast<char*>(argument.c_str()));
  list.push_back(nullptr);
  return list;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& executable, const std::vector<std::string>& arguments,
                           const std::string& argv0) {
  auto list = argv(argv0.empty() ? executable : argv0, arguments);
  // A process group of its own, so the destructor can end everything it started.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  const int spawned =
      posix_spawn(&pid_, executable.c_str(), nullptr, &attributes, list.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) throw std::runtime_error("could not start " + executable);
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

Finished runProgram(const std::string& executable, const std::vector<std::string>& arguments,
                    const std::string& input,
                    const std::map<std::string, std::string>& environment) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    if (equals != nullptr)
      merged[std::string(*entry, static_cast<size_t>(equals - *entry))] = equals + 1;
  }
  for (const auto& [name, value] : environment) {
    if (value.empty()) {
      merged.erase(name);
    } else {
      merged[name] = value;
    }
  }
  std::vector<std::string> texts;
  for (const auto& [name, value] : merged) texts.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& text : texts) envp.push_back(text.data());
  envp.push_back(nullptr);

  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  auto list = argv(executable, arguments);
  pid_t pid = -1;
  const int spawned =
      posix_spawn(&pid, executable.c_str(), &actions, nullptr, list.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (spawned != 0) throw std::runtime_error("could not start " + executable);

  // Feed standard input and drain both outputs together, so no pipe fills up.
  Finished finished;
  size_t written = 0;
  int inFd = in[1];
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  }
  signal(SIGPIPE, SIG_IGN);
  int open = 2;
  while (open > 0 || inFd >= 0) {
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {inFd, POLLOUT, 0}};
    poll(fds, inFd >= 0 ? 3 : 2, -1);
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        (i == 0 ? finished.out : finished.err).append(buffer, static_cast<size_t>(got));
      } else {
        close(fds[i].fd);
        (i == 0 ? out[0] : err[0]) = -1;
        --open;
      }
    }
    if (inFd >= 0 && fds[2].revents != 0) {
      const ssize_t wrote = write(inFd, input.data() + written, input.size() - written);
      if (wrote > 0) written += static_cast<size_t>(wrote);
      if (wrote <= 0 || written == input.size()) {
        close(inFd);
        inFd = -1;
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  finished.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return finished;
}

namespace {

bool isAsleep(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(file, text);
  const size_t close = text.rfind(')');
  return close != std::string::npos && text.compare(close, 3, ") S") == 0;
}

}  // namespace

bool waitForExecutable(pid_t pid, const std::string& executable) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    if (platform::executablePath(pid) == executable) {
      for (int settle = 0; settle < 30 && !isAsleep(pid); ++settle) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace tessel::test
