#include "cli.h"

namespace tessel::cli {

void addInstallCommands(CLI::App&, Run&) {}

}  // namespace tessel::cli
