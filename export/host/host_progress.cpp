#include "export/host/host_progress.h"

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "export/ketrel_warning_codes.h"

namespace ketrel::host {
namespace {

ProgressWindow* volatile gSignalWindow = nullptr;
struct sigaction gPreviousAction;
bool gHandlerInstalled = false;

void OnInterrupt(int signal) {
  ProgressWindow* window = gSignalWindow;
  if (window) window->cancelled = 1;
  RequestCancel(signal);
  // A second Ctrl-C behaves as it would without us.
  sigaction(SIGINT, &gPreviousAction, nullptr);
}

void InstallInterrupt(ProgressWindow* window) {
  gSignalWindow = window;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  gHandlerInstalled = sigaction(SIGINT, &action, &gPreviousAction) == 0;
}

void RemoveInterrupt() {
  if (gHandlerInstalled) sigaction(SIGINT, &gPreviousAction, nullptr);
  gHandlerInstalled = false;
  gSignalWindow = nullptr;
}

void ClearBar(TerminalProgress* t) {
  if (t->barShown) {
    std::fputs("\r\033[K", t->out);
    t->barShown = false;
  }
}

void SetTitle(void* user, const char* title) {
  auto* t = static_cast<TerminalProgress*>(user);
  t->title = title;
  t->record.push_back(std::string("title: ") + title);
  ClearBar(t);
  std::fprintf(t->out, "%s\n", title);
}

double Elapsed(const TerminalProgress* t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t->start).count();
}

// A phase is one line, with the time since the command started: in a log
// of a build farm's job, where the time went.
void Stage(void* user, const char* text) {
  auto* t = static_cast<TerminalProgress*>(user);
  t->record.push_back(std::string("stage: ") + text);
  ClearBar(t);
  std::fprintf(t->out, "%s (%.2f s)\n", text, Elapsed(t));
  if (!t->cancelAtStage.empty() && t->cancelAtStage == text) std::raise(SIGINT);
}

// Items only redraw the bar: without a terminal the phases say enough.
void Item(void* user, const char* text, int, int, double done) {
  auto* t = static_cast<TerminalProgress*>(user);
  t->record.push_back(std::string("item: ") + text);
  if (!t->bar || !*text) return;
  constexpr int kWidth = 30;
  const int filled = done >= 1 ? kWidth : done > 0 ? int(done * kWidth) : 0;
  char bar[kWidth + 1];
  for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '.';
  bar[kWidth] = 0;
  std::fprintf(t->out, "\r\033[K[%s] %3d%% %6.1f s  %.50s", bar, int(done * 100), Elapsed(t), text);
  std::fflush(t->out);
  t->barShown = true;
}

void LogLine(void* user, LogType type, const char* file, int line, const char* message) {
  auto* t = static_cast<TerminalProgress*>(user);
  t->record.push_back(std::string("log: ") + message);
  ClearBar(t);
  PrintLogLine(t->out, type, file, line, message, t->showSource);
}

void Finish(void* user, bool) {
  auto* t = static_cast<TerminalProgress*>(user);
  ClearBar(t);
  std::fflush(t->out);
  RemoveInterrupt();
}

void Open(void*, ProgressWindow* window) { InstallInterrupt(window); }

const ProgressDisplay kTerminalDisplay = {Open, SetTitle, Stage, Item, LogLine, Finish};

}  // namespace

void PrintLogLine(std::FILE* out, LogType type, const char* file, int line, const char* message,
                  bool showSource) {
  const char* kind = type == LogType::Error ? "error" : "warning";
  // A warning shows its code in front (KT1000 when it has none of its own,
  // as the export's summary counts it) and its object behind, unless the
  // message names the object already.
  const LogEntry* entry = CurrentLogEntry();
  if (entry && entry->Message != message) entry = nullptr;
  char code[16] = "";
  if (entry && type == LogType::Warning)
    std::snprintf(code, sizeof code, "KT%u ", unsigned(ReportedWarningCode(entry->Code)));
  std::string object;
  if (entry && entry->Object && *entry->Object && !std::strstr(message, entry->Object))
    object = std::string(" (") + entry->Object + ")";
  if (showSource) {
    std::fprintf(out, "%s: %s(%d): %s%s%s\n", kind, file, line, code, message, object.c_str());
  } else {
    std::fprintf(out, "%s: %s%s%s\n", kind, code, message, object.c_str());
  }
}

const ProgressDisplay* TerminalProgressDisplay() { return &kTerminalDisplay; }

void ShowTerminalStage(TerminalProgress* terminal, const char* text) { Stage(terminal, text); }

void PrepareTerminalProgress(TerminalProgress* terminal) {
  terminal->bar = isatty(fileno(terminal->out)) != 0;
  terminal->start = std::chrono::steady_clock::now();
}

}  // namespace ketrel::host
