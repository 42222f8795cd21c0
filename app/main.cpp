#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>

#include "cli.h"

namespace {

int run(int argc, char** argv) {
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

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    // The installers' failures are the sentences users read; anything else still ends
    // with a sentence rather than an abort.
    std::fprintf(stderr, "%s\n", error.what());
  } catch (...) {
    std::fputs("Tessel stopped on an unexpected error.\n", stderr);
  }
  return tessel::cli::failure;
}
