#include "demo/agent_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace tessel::demo {

std::unique_ptr<AgentProcess> AgentProcess::start(const std::string& executable,
                                                  const std::string& name, const std::string& cwd,
                                                  const std::vector<std::string>& heldOpen) {
  // A socket rather than a pipe: a send to an agent that has ended fails instead of
  // raising SIGPIPE in the demo.
  int pipe[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pipe) != 0) return nullptr;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe[0], STDIN_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  int fd = 9;
  for (const std::string& path : heldOpen) {
    posix_spawn_file_actions_addopen(&actions, fd++, path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // The demo blocks its stop signals for its signal thread; the agents must not inherit
  // that, or they would outlive a plain `kill`.
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);

  // posix_spawn has no working-directory action everywhere; the agent moves there itself
  // before reading anything else.
  char* const argv[] = {const_cast<char*>(name.c_str()), nullptr};
  pid_t pid = -1;
  const int error = posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(pipe[0]);
  if (error != 0) {
    close(pipe[1]);
    return nullptr;
  }
  std::unique_ptr<AgentProcess> agent(new AgentProcess(pid, pipe[1]));
  agent->run("cd " + shellQuoted(cwd));
  // Should the demo itself be killed, the agent reads the end of its input and exits;
  // it then takes what it left running in the background with it.
  agent->run("trap 'kill 0' EXIT");
  return agent;
}

AgentProcess::~AgentProcess() { stop(); }

void AgentProcess::run(const std::string& line) {
  if (input_ < 0) return;
  const std::string text = line + "\n";
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t count = send(input_, text.data() + written, text.size() - written, MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return;
    written += static_cast<size_t>(count);
  }
}

void AgentProcess::stop() {
  if (pid_ <= 0) return;
  if (input_ >= 0) close(input_);
  input_ = -1;
  kill(-pid_, SIGKILL);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

std::string shellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace tessel::demo
