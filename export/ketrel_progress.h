#pragma once
// The progress window of an export, as a record with a table of display
// operations. Every operation accepts a null window and then does nothing;
// `ProgressShouldContinue(nullptr)` answers yes, so a silent export runs the
// same code path without a window.
//
// While open the window is the log's callback: warnings and errors of the
// export appear in its log as "file (line) message".

#include <atomic>
#include <csignal>

#include "rt/ketrel_log.h"

namespace ketrel {

struct ProgressWindow;

struct ProgressDisplay {
  // Called when the window opens (a display may hook its cancel button up).
  void (*open)(void* user, ProgressWindow* window);
  void (*setTitle)(void* user, const char* title);
  void (*stage)(void* user, const char* text);
  // `step` counts from 1; `total` may be 0 when unknown. `done` is the share
  // of the export's work done so far, 0 to 1, weighted by what the steps
  // cost (a clip's samples and fits weigh more than a material); it never
  // goes back.
  void (*item)(void* user, const char* text, int step, int total, double done);
  void (*log)(void* user, LogType type, const char* file, int line, const char* message);
  // Called once when the export ends; `closeWhenDone` false asks the display
  // to wait for the user before closing.
  void (*finish)(void* user, bool closeWhenDone);
};

struct ProgressWindow {
  const ProgressDisplay* display = nullptr;
  void* user = nullptr;
  int steps = 0;
  int stepTotal = 0;
  bool closeWhenDone = true;
  volatile std::sig_atomic_t cancelled = 0;  // set by the display or a signal handler
  LogCallback previousLog;                   // restored by FinishProgress
  bool open = false;
  // Work beyond the steps, in kProgressStepWork units per step: sampling and
  // fitting count what they do. Fitting workers add to `work` from their
  // threads; everything else is the caller's thread's.
  std::atomic<long long> work{0};
  long long workTotal = 0;
  double shown = 0;  // the share last shown
};

// What one step (a texture, a material, a mesh) weighs against a sampled or
// fitted value: about the time each takes.
inline constexpr long long kProgressStepWork = 20000;

// Opens the window: installs it as the log callback.
void OpenProgress(ProgressWindow* window, const ProgressDisplay* display, void* user,
                  bool closeWhenDone);
void SetProgressTitle(ProgressWindow* window, const char* title);
void ProgressStage(ProgressWindow* window, const char* text);
// Counts one step; a null or empty name shows "(unnamed)".
void ProgressItem(ProgressWindow* window, const char* text);
// An item line that is not a step (empty lines after final stages).
void ProgressEmptyItem(ProgressWindow* window);
void SetProgressStepTotal(ProgressWindow* window, int total);
// Work to come (caller's thread; negative when an estimate was high), work done (any thread, shown
// at the next item or ShowProgressWork), and an item line for work in progress that is not a step
// (caller's thread).
void AddProgressWork(ProgressWindow* window, long long units);
void CountProgressWork(ProgressWindow* window, long long units);
void ShowProgressWork(ProgressWindow* window, const char* text);
// False once the window was cancelled, or once the process was asked to
// stop (RequestCancel), window or not.
bool ProgressShouldContinue(const ProgressWindow* window);
void CancelProgress(ProgressWindow* window);

// The process-wide cancel: a signal handler calls RequestCancel (it only
// stores the signal's number, so it is safe there); every export, its
// fitting workers included, stops at its next check. CancelRequested gives
// the signal (0 while none). ClearCancel is for tests and hosts that go on.
void RequestCancel(int signal);
int CancelRequested();
// The flag behind CancelRequested, for work that checks it where it cannot
// call back (a curve fit's steps).
const volatile std::sig_atomic_t* CancelFlag();
void ClearCancel();
// Finishes the display and restores the previous log callback.
void FinishProgress(ProgressWindow* window);

}  // namespace ketrel
