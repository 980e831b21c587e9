#include "export/ketrel_progress.h"

namespace ketrel {
namespace {

void LogToWindow(LogType type, LogOrigin, const char* file, int line, const char* message,
                 void* user) {
  auto* window = static_cast<ProgressWindow*>(user);
  if (window->display && window->display->log) {
    window->display->log(window->user, type, file, line, message);
  }
}

}  // namespace

void OpenProgress(ProgressWindow* window, const ProgressDisplay* display, void* user,
                  bool closeWhenDone) {
  if (!window || window->open) return;
  window->display = display;
  window->user = user;
  window->steps = 0;
  window->stepTotal = 0;
  window->work = 0;
  window->workTotal = 0;
  window->shown = 0;
  window->closeWhenDone = closeWhenDone;
  window->cancelled = 0;
  window->previousLog = SetLogCallback(LogCallback{LogToWindow, window});
  window->open = true;
  if (display && display->open) display->open(user, window);
}

void SetProgressTitle(ProgressWindow* window, const char* title) {
  if (!window || !window->open || !window->display || !window->display->setTitle) return;
  window->display->setTitle(window->user, title ? title : "");
}

void ProgressStage(ProgressWindow* window, const char* text) {
  if (!window || !window->open || !window->display || !window->display->stage) return;
  window->display->stage(window->user, text ? text : "");
}

namespace {

// The share of the work done: steps and counted work together, never less
// than what was shown (a total that grows late must not move the bar back).
double ShareDone(ProgressWindow* window) {
  const double total = double(window->stepTotal) * kProgressStepWork + double(window->workTotal);
  const double done = double(window->steps) * kProgressStepWork + double(window->work.load());
  double share = total > 0 ? done / total : 0;
  share = share > 1 ? 1 : share;
  if (share > window->shown) window->shown = share;
  return window->shown;
}

void ShowItem(ProgressWindow* window, const char* text) {
  if (window->display && window->display->item) {
    window->display->item(window->user, text, window->steps, window->stepTotal, ShareDone(window));
  }
}

}  // namespace

void ProgressItem(ProgressWindow* window, const char* text) {
  if (!window || !window->open) return;
  ++window->steps;
  ShowItem(window, text && *text ? text : "(unnamed)");
}

void ProgressEmptyItem(ProgressWindow* window) {
  if (!window || !window->open) return;
  ShowItem(window, "");
}

void AddProgressWork(ProgressWindow* window, long long units) {
  if (!window || !window->open) return;
  window->workTotal = window->workTotal + units > 0 ? window->workTotal + units : 0;
}

void CountProgressWork(ProgressWindow* window, long long units) {
  if (window && units > 0) window->work.fetch_add(units, std::memory_order_relaxed);
}

void ShowProgressWork(ProgressWindow* window, const char* text) {
  if (!window || !window->open) return;
  ShowItem(window, text && *text ? text : "(unnamed)");
}

void SetProgressStepTotal(ProgressWindow* window, int total) {
  if (!window || !window->open) return;
  window->stepTotal = total < 0 ? 0 : total;
}

namespace {
volatile std::sig_atomic_t gCancelSignal = 0;
}  // namespace

void RequestCancel(int signal) { gCancelSignal = signal > 0 ? signal : SIGINT; }
int CancelRequested() { return gCancelSignal; }
const volatile std::sig_atomic_t* CancelFlag() { return &gCancelSignal; }
void ClearCancel() { gCancelSignal = 0; }

bool ProgressShouldContinue(const ProgressWindow* window) {
  if (gCancelSignal != 0) return false;
  return !window || !window->open || !window->cancelled;
}

void CancelProgress(ProgressWindow* window) {
  if (window) window->cancelled = 1;
}

void FinishProgress(ProgressWindow* window) {
  if (!window || !window->open) return;
  SetLogCallback(window->previousLog);
  window->open = false;
  if (window->display && window->display->finish)
    window->display->finish(window->user, window->closeWhenDone);
}

}  // namespace ketrel
