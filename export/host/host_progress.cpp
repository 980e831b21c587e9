#include "export/host/host_progress.h"

#include <unistd.h>

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

void Stage(void* user, const char* text) {
  auto* t = static_cast<TerminalProgress*>(user);
  t->record.push_back(std::string("stage: ") + text);
  ClearBar(t);
  std::fprintf(t->out, "%s\n", text);
  if (!t->cancelAtStage.empty() && t->cancelAtStage == text) std::raise(SIGINT);
}

void Item(void* user, const char* text, int step, int total) {
  auto* t = static_cast<TerminalProgress*>(user);
  t->record.push_back(std::string("item: ") + text);
  if (!t->bar) {
    std::fprintf(t->out, "    %s\n", text);
    return;
  }
  if (!*text) return;
  constexpr int kWidth = 30;
  int filled = total > 0 ? (step > total ? kWidth : step * kWidth / total) : 0;
  char bar[kWidth + 1];
  for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '.';
  bar[kWidth] = 0;
  std::fprintf(t->out, "\r\033[K[%s] %d/%d %.60s", bar, step, total, text);
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

void PrepareTerminalProgress(TerminalProgress* terminal) {
  terminal->bar = isatty(fileno(terminal->out)) != 0;
}

}  // namespace ketrel::host
