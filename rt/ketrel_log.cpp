#include "rt/ketrel_log.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

namespace ketrel {
namespace {

struct LogState {
  std::mutex mutex;
  LogCallback callback;
  LogRecorder recorder;
  bool muted[static_cast<int>(LogOrigin::Count)] = {};
  std::FILE* file = nullptr;
  std::atomic<unsigned long> errors{0};
  std::atomic<unsigned long> warnings{0};
};

thread_local const LogEntry* tCurrentEntry = nullptr;

LogState& State() {
  static LogState state;
  return state;
}

const char* const kOriginNames[] = {
    "General",  "Memory",   "TypedData", "Strings", "FileBuilder", "FileReader", "Compression",
    "Platform", "Basis",    "DataTree",  "Curve",   "TrackGroup",  "Mesh",       "Skeleton",
    "Texture",  "Settings", "Export",    "Host",    "Script",      "Cast"};
static_assert(sizeof(kOriginNames) / sizeof(kOriginNames[0]) == static_cast<int>(LogOrigin::Count));

}  // namespace

const char* LogOriginName(LogOrigin origin) {
  int index = static_cast<int>(origin);
  return index >= 0 && index < static_cast<int>(LogOrigin::Count) ? kOriginNames[index] : "?";
}

LogCallback SetLogCallback(LogCallback callback) {
  std::lock_guard<std::mutex> lock(State().mutex);
  LogCallback previous = State().callback;
  State().callback = callback;
  return previous;
}

LogCallback GetLogCallback() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().callback;
}

LogRecorder SetLogRecorder(LogRecorder recorder) {
  std::lock_guard<std::mutex> lock(State().mutex);
  LogRecorder previous = State().recorder;
  State().recorder = recorder;
  return previous;
}

const LogEntry* CurrentLogEntry() { return tCurrentEntry; }

void MuteLogOrigin(LogOrigin origin, bool muted) {
  int index = static_cast<int>(origin);
  if (index < 0 || index >= static_cast<int>(LogOrigin::Count)) return;
  std::lock_guard<std::mutex> lock(State().mutex);
  State().muted[index] = muted;
}

bool IsLogOriginMuted(LogOrigin origin) {
  int index = static_cast<int>(origin);
  if (index < 0 || index >= static_cast<int>(LogOrigin::Count)) return false;
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().muted[index];
}

bool StartLogFile(const char* path) {
  std::FILE* file = path ? std::fopen(path, "a") : nullptr;
  if (!file) {
    KT_LOG_ERROR(General, "Unable to open log file %s", path ? path : "(null)");
    return false;
  }
  std::lock_guard<std::mutex> lock(State().mutex);
  if (State().file) std::fclose(State().file);
  State().file = file;
  return true;
}

void StopLogFile() {
  std::lock_guard<std::mutex> lock(State().mutex);
  if (State().file) std::fclose(State().file);
  State().file = nullptr;
}

bool IsLogFileActive() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().file != nullptr;
}

void LogCodedV(LogType type, LogOrigin origin, const char* file, int line, unsigned code,
               const char* object, const char* format, va_list args) {
  LogState& state = State();
  int index = static_cast<int>(origin);
  if (index < 0 || index >= static_cast<int>(LogOrigin::Count)) index = 0;

  // Format outside the lock; messages of any length are kept whole.
  va_list copy;
  va_copy(copy, args);
  char small[512];
  int length = std::vsnprintf(small, sizeof small, format ? format : "", copy);
  va_end(copy);
  std::string message;
  if (length < 0) {
    message = format ? format : "";
  } else if (static_cast<size_t>(length) < sizeof small) {
    message.assign(small, static_cast<size_t>(length));
  } else {
    message.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(message.data(), message.size(), format, args);
    message.resize(static_cast<size_t>(length));
  }
  if (!file) file = "?";

  LogCallback callback;
  LogRecorder recorder;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.muted[index]) return;
    if (type == LogType::Error) {
      ++state.errors;
    } else {
      ++state.warnings;
    }
    if (state.file) {
      std::fprintf(state.file, "%s(%d): %s\n", file, line, message.c_str());
      std::fflush(state.file);
    }
    callback = state.callback;
    recorder = state.recorder;
  }
  const LogEntry entry{type,           static_cast<LogOrigin>(index), file, line, code, object,
                       message.c_str()};
  const LogEntry* outer = tCurrentEntry;
  tCurrentEntry = &entry;
  // The recorder and the callback run unlocked so that they may log or swap
  // callbacks themselves.
  if (recorder.function) recorder.function(entry, recorder.user);
  if (callback.function) {
    callback.function(type, static_cast<LogOrigin>(index), file, line, message.c_str(),
                      callback.user);
  } else {
    std::fprintf(stderr, "%s: %s(%d): %s\n", type == LogType::Error ? "error" : "warning", file,
                 line, message.c_str());
  }
  tCurrentEntry = outer;
}

void LogV(LogType type, LogOrigin origin, const char* file, int line, const char* format,
          va_list args) {
  LogCodedV(type, origin, file, line, 0, nullptr, format, args);
}

void LogCoded(LogType type, LogOrigin origin, const char* file, int line, unsigned code,
              const char* object, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogCodedV(type, origin, file, line, code, object, format, args);
  va_end(args);
}

void Log(LogType type, LogOrigin origin, const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogV(type, origin, file, line, format, args);
  va_end(args);
}

unsigned long LogErrorCount() { return State().errors.load(); }
unsigned long LogWarningCount() { return State().warnings.load(); }

}  // namespace ketrel
