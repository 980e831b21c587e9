// The ketrel command line: parses arguments and hands the chosen command's
// options to one function that returns the exit code.
#include <CLI/CLI.hpp>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "export/ketrel_version.h"
#include "tools/ketrel/ketrel_commands.h"

int main(int argc, char** argv) {
#if defined(__GLIBC__)
  // An export allocates and frees many buffers of a few MiB (mesh arrays, sections, the file
  // image). Kept in the heap instead of mapped and unmapped one by one, their pages are reused
  // rather than faulted in anew each time: about a fifth fewer page faults.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
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
