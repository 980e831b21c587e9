#pragma once
// The progress window of the stand-in host: a terminal display on stderr.
// Each stage is one line with the time since the command started; on a
// terminal the items drive one progress bar, redrawn in place, that shows the
// share of the work done and the time. Ctrl-C is the cancel button: the
// first SIGINT cancels the export, a second one ends the program as usual.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "export/ketrel_progress.h"

namespace ketrel::host {

struct TerminalProgress {
  std::FILE* out = stderr;
  bool bar = false;  // redraw item lines in place (stderr is a terminal)
  bool barShown = false;
  std::string title;
  // For tests: cancel as a user would when the stage of this name begins.
  std::string cancelAtStage;
  // Log lines name the source file and line they come from (--verbose);
  // otherwise a user sees "warning: " and the message alone.
  bool showSource = false;
  // Everything shown, in order, for tests ("stage: X", "item: Y", "log: Z").
  std::vector<std::string> record;
  // When the command started: stage lines and the bar show the time since.
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

// One log line as a user sees it: "warning: message", or with `showSource`
// "warning: file(line): message".
void PrintLogLine(std::FILE* out, LogType type, const char* file, int line, const char* message,
                  bool showSource);

// A stage line outside an export's window (the import before it).
void ShowTerminalStage(TerminalProgress* terminal, const char* text);

// The display table for a TerminalProgress.
const ProgressDisplay* TerminalProgressDisplay();

// Decides whether item lines become a bar (stderr is a terminal). While a
// window shows this display, SIGINT cancels it.
void PrepareTerminalProgress(TerminalProgress* terminal);

}  // namespace ketrel::host
