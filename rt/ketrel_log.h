#pragma once
// The library's log: one entry point, a type, an origin category that can be
// muted, the source position, and a printf-style message; a warning may also
// carry a stable code and the name of the object it is about. Messages go to an
// optional log file and to at most one callback; without a callback they are
// printed on stderr so that nothing is lost.
//
// Thread-safe: fitting workers log from their own threads.

#include <cstdarg>

namespace ketrel {

enum class LogType : unsigned char { Error, Warning };

enum class LogOrigin : unsigned char {
  General,
  Memory,
  TypedData,
  Strings,
  FileBuilder,
  FileReader,
  Compression,
  Platform,
  Basis,
  DataTree,
  Curve,
  TrackGroup,
  Mesh,
  Skeleton,
  Texture,
  Settings,
  Export,
  Host,
  Script,
  Cast,
  Count
};

const char* LogOriginName(LogOrigin origin);

using LogFunction = void (*)(LogType type, LogOrigin origin, const char* file, int line,
                             const char* message, void* user);

// One message as the log delivers it. `Code` is a stable warning number
// (0 when the message has none; the exporter keeps the table of them) and
// `Object` the name of what the message is about (null when none).
struct LogEntry {
  LogType Type = LogType::Warning;
  LogOrigin Origin = LogOrigin::General;
  const char* File = "?";
  int Line = 0;
  unsigned Code = 0;
  const char* Object = nullptr;
  const char* Message = "";
};

// The entry the log is delivering on this thread while a callback or a
// recorder runs, else null: displays reached through the callback read the
// code and object of the line they print here.
const LogEntry* CurrentLogEntry();

// A recorder sees every entry that is not muted, with its code and object,
// whatever callback is installed (an export's report of its warnings). It
// may be called from several threads at once. At most one is installed.
using LogRecordFunction = void (*)(const LogEntry& entry, void* user);
struct LogRecorder {
  LogRecordFunction function = nullptr;
  void* user = nullptr;
};
// Installs a recorder and returns the previous one, to be restored.
LogRecorder SetLogRecorder(LogRecorder recorder);

struct LogCallback {
  LogFunction function = nullptr;
  void* user = nullptr;
};

// Installs a callback and returns the previous one; whoever installs a
// callback restores the previous one when done.
LogCallback SetLogCallback(LogCallback callback);
LogCallback GetLogCallback();

void MuteLogOrigin(LogOrigin origin, bool muted);
bool IsLogOriginMuted(LogOrigin origin);

// Appends every later message to `path` behind "file(line): ". Returns false
// (and logs) when the file cannot be opened.
bool StartLogFile(const char* path);
void StopLogFile();
bool IsLogFileActive();

void Log(LogType type, LogOrigin origin, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void LogV(LogType type, LogOrigin origin, const char* file, int line, const char* format,
          va_list args);
// The same entry point with a warning code and the object's name (either
// may be 0 / null).
void LogCoded(LogType type, LogOrigin origin, const char* file, int line, unsigned code,
              const char* object, const char* format, ...) __attribute__((format(printf, 7, 8)));
void LogCodedV(LogType type, LogOrigin origin, const char* file, int line, unsigned code,
               const char* object, const char* format, va_list args);

// Counts of messages logged so far (muted ones excluded); tests and the
// export road use them to tell whether a step complained.
unsigned long LogErrorCount();
unsigned long LogWarningCount();

// Installs a callback for the lifetime of the scope and restores the previous
// one after it.
class ScopedLogCallback {
 public:
  ScopedLogCallback(LogFunction function, void* user)
      : previous_(SetLogCallback(LogCallback{function, user})) {}
  ~ScopedLogCallback() { SetLogCallback(previous_); }
  ScopedLogCallback(const ScopedLogCallback&) = delete;
  ScopedLogCallback& operator=(const ScopedLogCallback&) = delete;

 private:
  LogCallback previous_;
};

inline constexpr const char kParameterCheckFailed[] =
    "Parameter check failed. (Verbose logging disabled)";

}  // namespace ketrel

#define KT_LOG_ERROR(origin, ...)                                                          \
  ::ketrel::Log(::ketrel::LogType::Error, ::ketrel::LogOrigin::origin, __FILE__, __LINE__, \
                __VA_ARGS__)
#define KT_LOG_WARNING(origin, ...)                                                          \
  ::ketrel::Log(::ketrel::LogType::Warning, ::ketrel::LogOrigin::origin, __FILE__, __LINE__, \
                __VA_ARGS__)
// A warning with its code and the name of the object it is about.
#define KT_LOG_WARNING_CODE(origin, code, object, ...)                                            \
  ::ketrel::LogCoded(::ketrel::LogType::Warning, ::ketrel::LogOrigin::origin, __FILE__, __LINE__, \
                     (code), (object), __VA_ARGS__)
// A bad argument to a library operation.
#define KT_PARAMETER_CHECK_FAILED(origin) \
  KT_LOG_ERROR(origin, "%s", ::ketrel::kParameterCheckFailed)
// Checks a condition; on failure logs the parameter check and evaluates to false.
#define KT_CHECK_PARAMETER(origin, condition) \
  ((condition) ? true : (KT_PARAMETER_CHECK_FAILED(origin), false))
