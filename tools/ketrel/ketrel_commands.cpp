#include "tools/ketrel/ketrel_commands.h"

#include "tools/ketrel/cmd_export.h"
#include "tools/ketrel/cmd_import.h"

namespace ketrel::cli {

// Each command file defines its Add*Command; they are listed here so that
// adding a command is one declaration and one call.

void AddCommands(CLI::App& app, int& exitCode) {
  AddExportCommand(app, exitCode);
  AddImportCommand(app, exitCode);
  AddSettingsCommand(app, exitCode);
  AddInfoCommand(app, exitCode);
  AddDumpCommand(app, exitCode);
}

}  // namespace ketrel::cli
