// The ketrel command line: parses arguments and hands the chosen command's
// options to one function that returns the exit code.
#include <CLI/CLI.hpp>

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <new>

#if defined(__GLIBC__)
#include <malloc.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#endif

#include "export/host/host_progress.h"
#include "export/ketrel_progress.h"
#include "export/ketrel_version.h"
#include "rt/posix/posix_ketrel_os_error.h"
#include "tools/ketrel/ketrel_commands.h"

namespace {

#if defined(__GLIBC__)
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define KETREL_OWN_ALLOCATOR 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KETREL_OWN_ALLOCATOR 1
#endif

// An export allocates and frees many buffers of a few MiB (mesh arrays, sections, the file
// image). Kept in the heap instead of mapped and unmapped one by one, their pages are reused
// rather than faulted in anew each time. The first stretch of the heap is also offered to the
// kernel for huge pages: a page fault then brings in 2 MiB instead of 4 KiB, which took the
// faults of a 50 MiB export from about 13,000 to 2,000 (a third of its time on a virtual
// machine). Where huge pages are off, the advice is ignored.
void TuneHeap() {
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
#if !defined(KETREL_OWN_ALLOCATOR)
  // Two blocks below the mapping threshold, so that both come from the heap;
  // freed at once, they stay there as free room for what follows.
  constexpr size_t kBlock = size_t(30) << 20, kHugePage = size_t(2) << 20;
  void* room[2] = {std::malloc(kBlock), std::malloc(kBlock)};
  for (void* block : room) {
    if (!block) continue;
    uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kHugePage - 1) & ~(kHugePage - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(block) + kBlock) & ~(kHugePage - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
  for (void* block : room) std::free(block);
#endif
}
#endif

// The first SIGINT or SIGTERM asks every command to stop at its next check
// (exports remove their temporary files and keep the old target); a second
// one ends the program at once, as it would without us.
void OnStopSignal(int signal) {
  if (ketrel::CancelRequested() != 0) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    return;
  }
  ketrel::RequestCancel(signal);
  static const char kText[] = "Cancelling...\n";
  [[maybe_unused]] ssize_t written = write(STDERR_FILENO, kText, sizeof kText - 1);
}

// What a user sees of the library's log: the message, and with --verbose
// where in the source it came from.
void PrintLog(ketrel::LogType type, ketrel::LogOrigin, const char* file, int line,
              const char* message, void*) {
  ketrel::host::PrintLogLine(stderr, type, file, line, message, ketrel::cli::VerboseLogs());
}

void InstallStopSignals() {
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
#if defined(__GLIBC__)
  TuneHeap();
#endif
  // A file grown past `ulimit -f` then fails its write ("File too large")
  // and the export reports it, instead of the process dying unannounced.
  std::signal(SIGXFSZ, SIG_IGN);
  InstallStopSignals();
  CLI::App app{"ketrel: export scenes to KT2 files and look inside them"};
  app.set_version_flag("--version", ketrel::ExporterVersionString());
  app.require_subcommand(1);
  app.fallthrough();
  app.add_flag("--verbose", ketrel::cli::VerboseLogs(),
               "Warnings and errors also name the source file and line they come from");
  ketrel::SetLogCallback(ketrel::LogCallback{PrintLog, nullptr});
  int exitCode = ketrel::cli::kExitOk;
  ketrel::cli::AddCommands(app, exitCode);
  if (!ketrel::cli::CommandNamesAreKnown(app, argc, argv)) return ketrel::cli::kExitUsage;
  // Before any command runs: --verbose also shows the system calls behind
  // a failed read or write.
  app.parse_complete_callback([] { ketrel::SetOsErrorDetails(ketrel::cli::VerboseLogs()); });
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : ketrel::cli::kExitUsage;
  } catch (const std::bad_alloc&) {
    // What the library does not catch itself (the host's scene, Assimp's
    // data): a message and a failure instead of an abort.
    std::fprintf(stderr, "ketrel: out of memory\n");
    return ketrel::cli::kExitFailed;
  }
  // A command that stopped for a signal ends as the signal would have it.
  if (const int signal = ketrel::CancelRequested(); signal != 0 && exitCode != 0) {
    std::fprintf(stderr, "ketrel: cancelled; nothing was written\n");
    return 128 + signal;
  }
  return exitCode;
}
