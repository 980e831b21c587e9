#pragma once
// Each command of the ketrel program lives in its own cmd_<name>.cpp: it adds
// its sub-command and options to the app, and on parse runs one function that
// returns the exit code into `exitCode`. The Run* functions take a plain
// options value so tests can call them without a command line.
#include <CLI/CLI.hpp>

#include <initializer_list>
#include <string>

namespace ketrel::host {
struct Scene;
}

namespace ketrel::cli {

// Exit codes shared by every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// False, with "COMMAND: OUTPUT is INPUT, which this command reads: writing
// it would destroy it" on stderr, when `output` is the same file as one of
// `inputs` (empty ones are skipped; links and other names followed).
bool OutputIsNoInput(const char* command, const std::string& output,
                     std::initializer_list<std::string> inputs);

// Hidden options for tests of failure paths: the import child aborts or
// hangs ("crash", "hang").
void AddImportFaultOption(CLI::App* command, int* fault);

// `--list-takes`: one line per take of the scene on stdout (index, name in
// quotes, duration in seconds, frames and frame rate), or "no takes" when
// it has none.
void PrintTakes(const host::Scene& scene);

// --verbose: log lines name the source file and line they come from.
bool& VerboseLogs();

// Before parsing: every command word on the command line names a command
// (and sub-command) that `app` has. False, with "ketrel: unknown command
// frob" (and the nearest command, when one is close) on stderr, when one does
// not, or with the list of commands when none is given; CLI11 alone would
// say only "A subcommand is required". Help and version flags pass.
bool CommandNamesAreKnown(const CLI::App& app, int argc, const char* const* argv);

// One line per command; main() calls them all.
void AddCommands(CLI::App& app, int& exitCode);

// `ketrel settings schema|dump|save` (cmd_settings.cpp).
void AddSettingsCommand(CLI::App& app, int& exitCode);

// `ketrel info FILE` and `ketrel dump FILE` (cmd_info.cpp, cmd_dump.cpp).
void AddInfoCommand(CLI::App& app, int& exitCode);
void AddDumpCommand(CLI::App& app, int& exitCode);

// `ketrel verify SCENE FILE` (cmd_verify.cpp).
void AddVerifyCommand(CLI::App& app, int& exitCode);

}  // namespace ketrel::cli
