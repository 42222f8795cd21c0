#include <CLI/CLI.hpp>

#include "cli.h"

int main(int argc, char** argv) {
  CLI::App app{"Tessel: what your AI coding agents are doing right now.", "tessel"};
  tessel::cli::Run run;
  tessel::cli::configure(app, run);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? 0 : tessel::cli::usageError;
  }
  return run.exitCode;
}
