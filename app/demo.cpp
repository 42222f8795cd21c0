#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

#include "cli.h"
#include "demo/agent_process.h"
#include "demo/sandbox.h"
#include "demo/simulation.h"
#include "platform/spawn.h"

namespace tessel::cli {
namespace {

struct DemoOptions {
  std::optional<double> forSeconds{};
  bool isViewOff = false;
  bool printsEnvironment = false;
};

int printEnvironment() {
  const demo::Sandbox sandbox = demo::Sandbox::ofThisUser();
  if (!sandbox.owner()) {
    return fail("No demo is running. Start one with “tessel demo” in another terminal first.");
  }
  for (const auto& [name, value] : sandbox.environment()) {
    std::cout << "export " << name << '=' << demo::shellQuoted(value) << '\n';
  }
  return success;
}

// Everything the demo made goes, once, whichever of the main thread and the signal
// thread gets there first.
struct Teardown {
  std::mutex lock;
  demo::Simulation* simulation = nullptr;
  const demo::Sandbox* sandbox = nullptr;

  void operator()() {
    std::lock_guard guard(lock);
    if (simulation != nullptr) simulation->stop();
    if (sandbox != nullptr) sandbox->remove();
  }
};

// Stop signals are taken by a thread of their own with sigwait, so the clean-up runs as
// ordinary code rather than inside a handler. After it, the signal is raised again with
// the handler the process would otherwise have had, so the demo ends as the sender meant.
class SignalThread {
 public:
  explicit SignalThread(Teardown& teardown) {
    sigemptyset(&signals_);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, wakeSignal}) sigaddset(&signals_, signal);
    pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
    thread_ = std::thread([this, &teardown] {
      int signal = 0;
      while (sigwait(&signals_, &signal) != 0) {
      }
      if (signal == wakeSignal) return;
      teardown();
      sigset_t only;
      sigemptyset(&only);
      sigaddset(&only, signal);
      pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
      raise(signal);
      _exit(128 + signal);
    });
  }
  ~SignalThread() {
    pthread_kill(thread_.native_handle(), wakeSignal);
    thread_.join();
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SignalThread(const SignalThread&) = delete;
  SignalThread& operator=(const SignalThread&) = delete;

 private:
  static constexpr int wakeSignal = SIGUSR2;
  sigset_t signals_{};
  sigset_t previous_{};
  std::thread thread_;
};

int runDemo(const Globals& globals, const DemoOptions& options) {
  if (options.printsEnvironment) return printEnvironment();
  const demo::Sandbox sandbox = demo::Sandbox::ofThisUser();
  if (const auto owner = sandbox.owner()) {
    return fail("A demo is already running (process " + std::to_string(*owner) +
                "); its sandbox is " + sandbox.root + ".");
  }
  const std::string self = selfPath();
  const std::string hook = self.substr(0, self.rfind('/') + 1) + "tessel-hook";
  if (self.empty() || !platform::isExecutableFile(hook)) {
    return fail("The demo sends its hook events through tessel-hook, which isn’t beside tessel (" +
                hook + ").");
  }
  if (const auto failure = sandbox.create()) return fail(*failure);

  // Every reader resolves its paths from these, the view's included.
  for (const auto& [name, value] : sandbox.environment()) setenv(name.c_str(), value.c_str(), 1);
  Globals sandboxed = globals;
  sandboxed.configDir.clear();
  sandboxed.codexHome.clear();

  Teardown teardown;
  teardown.sandbox = &sandbox;
  SignalThread signals(teardown);
  std::string failure;
  auto simulation = demo::Simulation::start(sandbox, sandboxed.claudePaths().supportDir, hook,
                                            Date::now(), failure);
  if (!simulation) {
    teardown();
    return fail(failure);
  }
  {
    std::lock_guard guard(teardown.lock);
    teardown.simulation = simulation.get();
  }
  sandbox.claim();

  int status = success;
  if (options.isViewOff) {
    const auto until =
        options.forSeconds
            ? std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<int64_t>(*options.forSeconds * 1000))
            : std::chrono::steady_clock::time_point::max();
    while (std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
          until - std::chrono::steady_clock::now(), std::chrono::seconds(1)));
    }
  } else {
    status = runLiveView(sandboxed, ViewOptions{.forSeconds = options.forSeconds});
  }
  teardown();
  return status;
}

}  // namespace

void addDemo(CLI::App& app, Run& run) {
  auto options = std::make_shared<DemoOptions>();
  CLI::App* command =
      addCommand(app, run, "demo",
                 "Open the live view over simulated sessions: four Claude Code sessions, one Codex "
                 "session, containers and two weeks of usage, all in a sandbox removed on exit",
                 "  tessel demo                  the live view over the simulated sessions\n"
                 "  tessel demo --for 60         the same, quitting by itself after a minute\n"
                 "  tessel demo --no-view &      the simulation alone, for scripts\n"
                 "  eval \"$(tessel demo --print-env)\"; tessel snapshot --json\n"
                 "                               any command, over the running demo's sandbox\n",
                 [&run, options] { return runDemo(run.globals, *options); });
  command->add_option("--for", options->forSeconds, "Quit by itself after this many seconds")
      ->check(CLI::PositiveNumber);
  command->add_flag("--no-view", options->isViewOff,
                    "Run the simulation without the live view, until --for ends or the demo is "
                    "stopped (Ctrl-C, SIGTERM)");
  command->add_flag("--print-env", options->printsEnvironment,
                    "Print the export lines that point other tessel commands at the running "
                    "demo's sandbox, for eval");
}

}  // namespace tessel::cli
