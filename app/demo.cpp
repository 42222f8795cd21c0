#include "cli.h"

namespace tessel::cli {

void addDemo(CLI::App&, Run&) {}

}  // namespace tessel::cli
