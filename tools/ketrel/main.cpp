// The ketrel command line: parses arguments and hands the chosen command's
// options to one function that returns the exit code.
#include <CLI/CLI.hpp>

#include "export/ketrel_version.h"
#include "tools/ketrel/ketrel_commands.h"

int main(int argc, char** argv) {
  CLI::App app{"ketrel: export scenes to KT2 files and look inside them"};
  app.set_version_flag("--version", ketrel::ExporterVersionString());
  app.require_subcommand(1);
  int exitCode = ketrel::cli::kExitOk;
  ketrel::cli::AddCommands(app, exitCode);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : ketrel::cli::kExitUsage;
  }
  return exitCode;
}
