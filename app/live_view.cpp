#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <map>
#include <memory>

#include "cli.h"
#include "view/background.h"
#include "view/screens.h"
#include "view/terminal.h"

namespace tessel::cli {
namespace {

bool isFolder(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Set by SIGINT and SIGTERM: the view then ends as after q, so the terminal is given
// back and every thread stops before the caller's own clean-up runs.
volatile std::sig_atomic_t isInterrupted = 0;

void interrupt(int) { isInterrupted = 1; }

// Catches SIGINT and SIGTERM for as long as it lives, then puts back what was there.
class Interruptions {
 public:
  Interruptions() {
    isInterrupted = 0;
    struct sigaction action {};
    action.sa_handler = interrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the wait for a key must end at once.
    sigaction(SIGINT, &action, &previousInt_);
    sigaction(SIGTERM, &action, &previousTerm_);
  }
  ~Interruptions() {
    sigaction(SIGINT, &previousInt_, nullptr);
    sigaction(SIGTERM, &previousTerm_, nullptr);
  }
  Interruptions(const Interruptions&) = delete;
  Interruptions& operator=(const Interruptions&) = delete;

 private:
  struct sigaction previousInt_ {};
  struct sigaction previousTerm_ {};
};

// The titles of the sessions that left something running, from the session records:
// only those, since the records are many and the leftovers few.
std::map<std::string, std::string> endedTitles(const Monitor& monitor,
                                               const ActivitySnapshot& snapshot) {
  std::map<std::string, std::string> titles;
  for (const TrackedResource& leftover : snapshot.leftovers()) {
    if (leftover.link) titles[leftover.link->sessionId];
  }
  if (titles.empty()) return titles;
  for (const SessionRecord& record : monitor.records()) {
    if (const auto found = titles.find(record.id); found != titles.end()) {
      found->second = record.title;
    }
  }
  return titles;
}

void addViewOptions(CLI::App& command, ViewOptions& options) {
  command.add_option("--interval", options.intervalSeconds, "Seconds between updates (default 2)")
      ->check(CLI::Range(0.2, 3600.0));
  command.add_flag(
      "--codex,!--no-codex", [&options](int64_t count) { options.isCodexOn = count > 0; },
      "Show Codex sessions (default: when a Codex home exists)");
}

}  // namespace

int runLiveView(const Globals& globals, const ViewOptions& options) {
  using namespace view;
  if (isatty(STDIN_FILENO) == 0 || isatty(STDOUT_FILENO) == 0) {
    return fail(
        "The live view needs a terminal; for scripts, use `tessel snapshot --json` or `tessel "
        "watch --json`.");
  }
  const Date started = Date::now();
  Monitor monitor(globals.claudePaths(), /*keep=*/true, started, globals.monitorOptions());
  monitor.setCodexEnabled(options.isCodexOn.value_or(isFolder(globals.codexPaths().home)));
  Background background(monitor);
  Terminal terminal(globals.usesColor());
  const Interruptions interruptions;

  ViewState state{.showsCodex = monitor.codexEnabled()};
  ViewData data;
  std::optional<std::string> timelineOf;
  Date nextSnapshot = started;
  bool needsTimeline = false;
  for (;;) {
    const Date now = Date::now();
    if (isInterrupted != 0) return success;
    if (options.forSeconds && now - started >= *options.forSeconds) return success;
    if (now >= nextSnapshot) {
      if (!state.isPaused) {
        data.snapshot = monitor.activity(now);
        needsTimeline = true;
        data.endedTitles = endedTitles(monitor, data.snapshot);
      }
      nextSnapshot = now + options.intervalSeconds;
    }
    Background::Results results = background.latest();
    data.scan = std::move(results.scan);
    data.plan = std::move(results.plan);
    data.codexLimits = std::move(results.codexLimits);
    data.usage = std::move(results.usage);
    data.tokensToday = std::move(results.tokensToday);

    const auto rows = visibleSessions(data.snapshot, state);
    const SessionInfo* selected = selectedSession(rows, state);
    if (state.isDetail && selected != nullptr && (needsTimeline || timelineOf != selected->id())) {
      data.timeline = monitor.timeline(selected->id(), now);
      timelineOf = selected->id();
      needsTimeline = false;
    }
    const Canvas canvas{.width = terminal.width(),
                        .height = terminal.height(),
                        .isAscii = terminal.isAscii(),
                        .now = now};
    const Frame frame = render(data, state, canvas);
    terminal.draw(frame);
    // Down past the end moves nothing, so the first Up scrolls back at once.
    state.scroll = frame.scroll;

    double wait = nextSnapshot - Date::now();
    if (options.forSeconds) wait = std::min(wait, *options.forSeconds - (Date::now() - started));
    const int milliseconds = static_cast<int>(std::clamp(std::ceil(wait * 1000), 10.0, 60000.0));
    if (const auto key = terminal.read(milliseconds)) {
      if (!handleKey(state, *key, data.snapshot)) return success;
      // Hidden Codex rows are not read either, which spares the Codex index its work.
      if (state.showsCodex != monitor.codexEnabled()) {
        monitor.setCodexEnabled(state.showsCodex);
        nextSnapshot = Date::now();
      }
    }
  }
}

std::function<int()> addLiveView(CLI::App& app, Run& run) {
  // One set of options serves both spellings, `tessel` alone and `tessel top`, and lives
  // as long as the commands that read it.
  auto options = std::make_shared<ViewOptions>();
  addViewOptions(app, *options);
  CLI::App* top =
      addCommand(app, run, "top", "The live view of your agent sessions (also `tessel` alone)",
                 "  tessel top\n  tessel top --interval 5 --no-codex\n  tessel --no-color\n",
                 [&run, options] { return runLiveView(run.globals, *options); });
  addViewOptions(*top, *options);
  return [&run, options] { return runLiveView(run.globals, *options); };
}

}  // namespace tessel::cli
