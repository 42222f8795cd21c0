#include "cli.h"

namespace tessel::cli {

int runLiveView(const Globals&, const ViewOptions&) {
  return fail("The live view is not built yet.");
}

std::function<int()> addLiveView(CLI::App&, Run& run) {
  return [&run] { return runLiveView(run.globals, ViewOptions{}); };
}

}  // namespace tessel::cli
