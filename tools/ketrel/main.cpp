// The ketrel command line: parses arguments into an options value and hands
// it to one function that returns the exit code.
#include <CLI/CLI.hpp>

#include "export/ketrel_version.h"

int main(int argc, char** argv) {
  CLI::App app{"ketrel: export scenes to KT2 files and look inside them"};
  app.set_version_flag("--version", ketrel::ExporterVersionString());
  app.require_subcommand(1);
  CLI11_PARSE(app, argc, argv);
  return 0;
}
