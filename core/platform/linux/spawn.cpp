#include "platform/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

extern char** environ;

namespace tessel::platform {
namespace {

using Clock = std::chrono::steady_clock;

// How long a killed child gets to be reaped before we stop waiting for it; only a
// process stuck in the kernel takes longer.
constexpr auto reapGrace = std::chrono::seconds(5);
// How long the output readers get once the child has ended; longer only when a
// grandchild still holds a pipe open.
constexpr auto drainGrace = std::chrono::seconds(1);
constexpr auto termGrace = std::chrono::seconds(1);
// Keeps `now + timeout` far from overflowing the clock.
constexpr double longestTimeoutSeconds = 1e9;

std::string errorText(int number) { return std::system_category().message(number); }

ProgramOutcome failure(std::string why) {
  ProgramOutcome result;
  result.status = -1;
  result.err = std::move(why);
  return result;
}

int32_t statusOf(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return WTERMSIG(raw);
  return -1;
}

// Owns a file descriptor until it is handed on.
class Descriptor {
 public:
  Descriptor() = default;
  ~Descriptor() { reset(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// A pipe whose ends stay out of other children (close-on-exec) and above the standard
// streams: an end sitting on 0, 1 or 2 (when our own were closed) would be overwritten
// by the child's redirections before it is used.
bool makePipe(Descriptor& readEnd, Descriptor& writeEnd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  readEnd.reset(fds[0]);
  writeEnd.reset(fds[1]);
  for (Descriptor* end : {&readEnd, &writeEnd}) {
    if (end->get() > STDERR_FILENO) continue;
    const int moved = fcntl(end->get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) return false;
    end->reset(moved);
  }
  return true;
}

// How a child ended, filled in by the thread that reaps it. The child is signalled
// only under the same lock and only while it has not been reaped, so a signal can
// never reach another process that was given its pid.
class Ending {
 public:
  explicit Ending(pid_t pid) : pid_(pid) {}

  // Blocks the reaper thread until the child ends.
  void reap() {
    siginfo_t info{};
    // Waiting without reaping keeps the pid ours until the lock is held.
    while (waitid(P_PID, pid_, &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    std::lock_guard guard(lock_);
    int raw = 0;
    pid_t reaped;
    do {
      reaped = waitpid(pid_, &raw, 0);
    } while (reaped < 0 && errno == EINTR);
    // Someone else in the process reaped it: how it ended is lost.
    status_ = reaped == pid_ ? statusOf(raw) : -1;
    ended_ = true;
    changed_.notify_all();
  }

  bool waitUntil(Clock::time_point deadline) {
    std::unique_lock guard(lock_);
    return changed_.wait_until(guard, deadline, [this] { return ended_; });
  }

  void signal(int number) {
    std::lock_guard guard(lock_);
    if (!ended_) kill(pid_, number);
  }

  // Nothing while the child has not been reaped.
  std::optional<int32_t> status() {
    std::lock_guard guard(lock_);
    if (!ended_) return std::nullopt;
    return status_;
  }

 private:
  const pid_t pid_;
  std::mutex lock_;
  std::condition_variable changed_;
  // Guarded by lock_.
  bool ended_ = false;
  int32_t status_ = -1;
};

// What the two reader threads collected. Shared with them, so a reader still blocked on
// a pipe that a grandchild keeps open can outlive the run that started it.
class Capture {
 public:
  // Keeps `size` more bytes of `stream`, unless the run has already taken what it got.
  void append(size_t stream, const char* bytes, size_t size) {
    std::lock_guard guard(lock_);
    if (taken_[stream]) return;
    try {
      bytes_[stream].append(bytes, size);
    } catch (...) {
      // Out of memory: the reader keeps draining so the child is never blocked on a
      // full pipe, and the stream reads as empty.
      std::string().swap(bytes_[stream]);
      taken_[stream] = true;
    }
  }

  void finish(size_t stream) {
    std::lock_guard guard(lock_);
    finished_[stream] = true;
    changed_.notify_all();
  }

  void waitUntil(Clock::time_point deadline) {
    std::unique_lock guard(lock_);
    changed_.wait_until(guard, deadline, [this] { return finished_[0] && finished_[1]; });
  }

  bool finished(size_t stream) {
    std::lock_guard guard(lock_);
    return finished_[stream];
  }

  // What `stream` has given so far; later bytes are drained, not kept.
  std::string take(size_t stream) {
    std::lock_guard guard(lock_);
    taken_[stream] = true;
    return std::move(bytes_[stream]);
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  // Guarded by lock_.
  std::array<std::string, 2> bytes_;
  std::array<bool, 2> finished_{};
  std::array<bool, 2> taken_{};
};

void readToEnd(const std::shared_ptr<Capture>& capture, size_t stream, int fd) {
  std::array<char, 65536> buffer;
  for (;;) {
    const ssize_t got = read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    capture->append(stream, buffer.data(), static_cast<size_t>(got));
  }
  close(fd);
  capture->finish(stream);
}

class SpawnSetup {
 public:
  SpawnSetup() {
    ready_ = posix_spawn_file_actions_init(&actions_) == 0;
    if (!ready_) return;
    if (posix_spawnattr_init(&attributes_) != 0) {
      posix_spawn_file_actions_destroy(&actions_);
      ready_ = false;
    }
  }
  ~SpawnSetup() {
    if (!ready_) return;
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // Standard input from the null device, the outputs into the pipes, and the signal
  // state of a fresh process: a caller that blocks or ignores signals (SIGTERM in a
  // signal-handling thread, SIGPIPE in the whole process) must not pass that on, or
  // the time-out's SIGTERM would go unheard.
  bool prepare(int outFd, int errFd) {
    if (!ready_) return false;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    const short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    return posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) == 0 &&
           posix_spawn_file_actions_adddup2(&actions_, outFd, 1) == 0 &&
           posix_spawn_file_actions_adddup2(&actions_, errFd, 2) == 0 &&
           posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
           posix_spawnattr_setsigdefault(&attributes_, &all) == 0 &&
           posix_spawnattr_setflags(&attributes_, flags) == 0;
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  bool ready_ = false;
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

// This process's environment with PATH replaced.
std::vector<std::string> childEnvironment(const std::string& searchPath) {
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "PATH=", 5) == 0) continue;
    entries.emplace_back(*entry);
  }
  entries.push_back("PATH=" + searchPath);
  return entries;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> list;
  list.reserve(texts.size() + 1);
  for (auto& text : texts) list.push_back(text.data());
  list.push_back(nullptr);
  return list;
}

Clock::duration timeoutDuration(double seconds) {
  if (std::isnan(seconds) || seconds < 0) seconds = 0;
  seconds = std::min(seconds, longestTimeoutSeconds);
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

ProgramOutcome launch(const std::string& executable, const std::vector<std::string>& arguments,
                      const std::string& searchPath, double timeoutSeconds) {
  std::vector<std::string> argumentTexts;
  argumentTexts.reserve(arguments.size() + 1);
  argumentTexts.push_back(executable);
  argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
  std::vector<std::string> environmentTexts = childEnvironment(searchPath);
  const std::vector<char*> argv = pointers(argumentTexts);
  const std::vector<char*> envp = pointers(environmentTexts);
  const auto capture = std::make_shared<Capture>();
  std::array<Descriptor, 2> readEnds, writeEnds;
  for (size_t stream = 0; stream < 2; ++stream) {
    if (!makePipe(readEnds[stream], writeEnds[stream])) return failure(errorText(errno));
  }
  SpawnSetup setup;
  if (!setup.prepare(writeEnds[0].get(), writeEnds[1].get())) {
    return failure("could not prepare the launch of " + executable);
  }
  pid_t pid = -1;
  const int launched = posix_spawn(&pid, executable.c_str(), setup.actions(), setup.attributes(),
                                   argv.data(), envp.data());
  // The child has its own copies; ours would keep the readers from ever seeing the end.
  writeEnds[0].reset();
  writeEnds[1].reset();
  if (launched != 0) return failure(errorText(launched));

  // From here on the child runs and must be reaped whatever fails.
  std::shared_ptr<Ending> ending;
  std::array<std::thread, 2> readers;
  std::thread reaper;
  std::string problem;
  try {
    ending = std::make_shared<Ending>(pid);
    for (size_t stream = 0; stream < 2; ++stream) {
      const int fd = readEnds[stream].get();
      readers[stream] = std::thread([capture, stream, fd] { readToEnd(capture, stream, fd); });
      readEnds[stream].release();
    }
    reaper = std::thread([ending] { ending->reap(); });
  } catch (const std::exception& error) {
    problem = error.what();
    if (problem.empty()) problem = "could not watch " + executable;
  }

  ProgramOutcome result;
  if (reaper.joinable()) {
    const Clock::time_point deadline = Clock::now() + timeoutDuration(timeoutSeconds);
    if (!ending->waitUntil(deadline)) {
      result.timedOut = true;
      ending->signal(SIGTERM);
      if (!ending->waitUntil(Clock::now() + termGrace)) {
        ending->signal(SIGKILL);
        ending->waitUntil(Clock::now() + reapGrace);
      }
    }
    const std::optional<int32_t> status = ending->status();
    if (status) {
      reaper.join();
      result.status = *status;
    } else {
      // Stuck in the kernel; the reaper keeps waiting for it on its own.
      reaper.detach();
      result.status = SIGKILL;
    }
  } else {
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    result.status = -1;
  }
  // Pipes whose reader could not be started.
  readEnds[0].reset();
  readEnds[1].reset();

  capture->waitUntil(Clock::now() + drainGrace);
  std::array<std::string, 2> texts;
  for (size_t stream = 0; stream < 2; ++stream) {
    if (!readers[stream].joinable()) continue;
    if (capture->finished(stream)) {
      readers[stream].join();
    } else {
      // A grandchild still holds the pipe open; the reader lives on until it lets go.
      readers[stream].detach();
    }
    texts[stream] = capture->take(stream);
  }
  if (!problem.empty()) return failure(std::move(problem));
  result.out = std::move(texts[0]);
  result.err = std::move(texts[1]);
  return result;
}

}  // namespace

ProgramOutcome runProgram(const std::string& executable, const std::vector<std::string>& arguments,
                          const std::string& searchPath, double timeoutSeconds) {
  try {
    return launch(executable, arguments, searchPath, timeoutSeconds);
  } catch (const std::exception& error) {
    return failure(error.what());
  } catch (...) {
    return failure("could not run " + executable);
  }
}

bool isExecutableFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace tessel::platform
