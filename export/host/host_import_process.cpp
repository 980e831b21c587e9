#include "export/host/host_import_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>

#include "export/host/host_scene_stream.h"
#include "export/ketrel_progress.h"
#include "rt/ketrel_log.h"

namespace ketrel::host {
namespace {

// A scene message starts with 'S' and the stream's byte count.
constexpr size_t kStreamHead = 1 + sizeof(uint64_t);
// A broken count must not make the parent reserve without limit; beyond this it grows as read.
constexpr uint64_t kMaxReserve = uint64_t(1) << 30;

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

// The child's warnings go to the parent, which logs them as its own: they
// are shown once and count in the export's report. Errors the child shows
// itself, so that they are seen even when it dies.
struct ChildWarnings {
  std::string Block;  // 'W' + the payload's size + entries
  LogCallback Previous;
};
ChildWarnings gChildWarnings;

void AppendField(std::string& out, const void* data, size_t size) {
  out.append(static_cast<const char*>(data), size);
}

void AppendText(std::string& out, const char* text) {
  const uint32_t length = text ? uint32_t(std::strlen(text)) : 0;
  AppendField(out, &length, sizeof length);
  if (length) out.append(text, length);
}

void CollectChildWarning(const LogEntry& entry, void*) {
  if (entry.Type != LogType::Warning) return;
  std::string& out = gChildWarnings.Block;
  const uint32_t code = entry.Code, origin = uint32_t(entry.Origin);
  const int32_t line = entry.Line;
  AppendField(out, &code, sizeof code);
  AppendField(out, &origin, sizeof origin);
  AppendField(out, &line, sizeof line);
  AppendText(out, entry.File);
  AppendText(out, entry.Object);
  AppendText(out, entry.Message);
}

void ShowChildErrors(LogType type, LogOrigin origin, const char* file, int line,
                     const char* message, void*) {
  const LogCallback previous = gChildWarnings.Previous;
  if (type == LogType::Error && previous.function)
    previous.function(type, origin, file, line, message, previous.user);
}

bool ReadField(std::string_view& in, void* out, size_t size) {
  if (in.size() < size) return false;
  std::memcpy(out, in.data(), size);
  in.remove_prefix(size);
  return true;
}

bool ReadText(std::string_view& in, std::string& out) {
  uint32_t length = 0;
  if (!ReadField(in, &length, sizeof length) || in.size() < length) return false;
  out.assign(in.data(), length);
  in.remove_prefix(length);
  return true;
}

// Logs each warning of a child's block; false when the block is broken
// (what came before the break is logged).
bool RelayChildWarnings(std::string_view in) {
  while (!in.empty()) {
    uint32_t code = 0, origin = 0;
    int32_t line = 0;
    std::string file, object, message;
    if (!ReadField(in, &code, sizeof code) || !ReadField(in, &origin, sizeof origin) ||
        !ReadField(in, &line, sizeof line) || !ReadText(in, file) || !ReadText(in, object) ||
        !ReadText(in, message) || origin >= uint32_t(LogOrigin::Count))
      return false;
    LogCoded(LogType::Warning, LogOrigin(origin), file.c_str(), line, code,
             object.empty() ? nullptr : object.c_str(), "%s", message.c_str());
  }
  return true;
}

// 'W' and the size of the child's warnings, in front of its scene or error.
bool SendChildWarnings(int fd) {
  const std::string& block = gChildWarnings.Block;
  if (block.empty()) return true;
  char head[kStreamHead] = {'W'};
  const uint64_t size = block.size();
  std::memcpy(head + 1, &size, sizeof size);
  return WriteAll(fd, head, sizeof head) && WriteAll(fd, block.data(), block.size());
}

// The child: import, then send its warnings ('W' + their size + them), then
// 'S' + the scene stream or 'E' + the error.
[[noreturn]] void RunChild(int fd, const std::string& path, const ImportOptions& options) {
  if (options.Fault == ImportFault::Crash) std::abort();
  if (options.Fault == ImportFault::Hang) {
    for (;;) pause();
  }
  gChildWarnings.Previous = SetLogCallback(LogCallback{ShowChildErrors, nullptr});
  SetLogRecorder(LogRecorder{CollectChildWarning, nullptr});
  bool ok = false;
  {
    Scene scene;
    std::string error;
    ImportOptions childOptions = options;
    childOptions.ProcessEndsAfterImport = true;
    if (ImportSceneFile(path, childOptions, scene, error)) {
      std::string stream = WriteSceneStream(scene);
      scene = Scene();  // the stream holds it all now; keep the child's peak low
      // 'S', the stream's size, then the stream itself: the parent reserves once and the
      // stream is never copied into a second message buffer.
      char head[1 + sizeof(uint64_t)] = {'S'};
      uint64_t size = stream.size();
      std::memcpy(head + 1, &size, sizeof size);
      ok = SendChildWarnings(fd) && WriteAll(fd, head, sizeof head) &&
           WriteAll(fd, stream.data(), stream.size());
    } else {
      std::string message = "E" + error;
      ok = SendChildWarnings(fd) && WriteAll(fd, message.data(), message.size());
    }
  }
  close(fd);
  _exit(ok ? 0 : 3);
}

}  // namespace

bool ImportSceneIsolated(const std::string& path, const ImportOptions& options, Scene& scene,
                         std::string& error, int timeoutSeconds) {
  int fds[2];
  if (pipe(fds) != 0) {
    error = "could not start the importer: too many files are open";
    return false;
  }
  // A larger pipe lets the child hand over a stream of several MiB in a few writes instead of
  // waiting on the parent every 64 KiB (best effort: the default size still works).
  fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
  std::fflush(nullptr);
  const pid_t parent = getpid();
  pid_t child = fork();
  if (child < 0) {
    close(fds[0]);
    close(fds[1]);
    error = "could not start the importer: the system has no room for another process";
    return false;
  }
  if (child == 0) {
    close(fds[0]);
    // The child dies with its parent (killed, it would read on for nobody),
    // and keeps its own time: the parent's deadline dies with the parent.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(4);  // the parent went before the line above
    alarm(unsigned(timeoutSeconds > 0 ? timeoutSeconds + 5 : 0));
    RunChild(fds[1], path, options);
  }
  close(fds[1]);

  std::string received;
  size_t start = 0;  // where the scene or error message begins, after any warnings
  bool timedOut = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  constexpr size_t kReadChunk = size_t(1) << 18;
  std::unique_ptr<char[]> chunk(new char[kReadChunk]);
  char* buffer = chunk.get();
  bool cancelled = false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      break;
    }
    // A cancel stops the import too, within a tenth of a second.
    if (CancelRequested() != 0) {
      cancelled = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    int ready = poll(&p, 1, int(std::min<long long>(left.count(), 100)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    ssize_t n = read(fds[0], buffer, kReadChunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const size_t before = received.size();
    received.append(buffer, size_t(n));
    // Warnings come first; the scene's head after them.
    while (received.size() >= start + kStreamHead && received[start] == 'W') {
      uint64_t size = 0;
      std::memcpy(&size, received.data() + start + 1, sizeof size);
      if (received.size() - start - kStreamHead < size) break;
      start += kStreamHead + size_t(size);
    }
    const bool headJustArrived =
        before < start + kStreamHead && received.size() >= start + kStreamHead;
    if (headJustArrived && received[start] == 'S') {
      // Room for the whole stream up front, so it is not copied on each doubling.
      uint64_t size = 0;
      std::memcpy(&size, received.data() + start + 1, sizeof size);
      received.reserve(start + kStreamHead + size_t(std::min<uint64_t>(size, kMaxReserve)));
    }
  }
  // The warnings are the scene's, whatever becomes of the import.
  for (size_t at = 0; at < start;) {
    uint64_t size = 0;
    std::memcpy(&size, received.data() + at + 1, sizeof size);
    if (!RelayChildWarnings(std::string_view(received).substr(at + kStreamHead, size_t(size))))
      KT_LOG_ERROR(Host, "The importer handed back broken warnings; some are not shown");
    at += kStreamHead + size_t(size);
  }
  received.erase(0, start);
  close(fds[0]);
  if (timedOut || cancelled) kill(child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }

  if (timedOut) {
    error = "the importer timed out after " + std::to_string(timeoutSeconds) + " seconds";
    return false;
  }
  if (cancelled) {
    error = "the import was cancelled";
    return false;
  }
  if (WIFSIGNALED(status)) {
    error = "the importer crashed (signal " + std::to_string(WTERMSIG(status)) + ")";
    return false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || received.empty()) {
    error = "the importer failed (exit status " +
            std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")";
    return false;
  }
  if (received[0] == 'E') {
    error = received.substr(1);
    return false;
  }
  bool whole = received[0] == 'S' && received.size() >= kStreamHead;
  if (whole) {
    uint64_t streamSize = 0;
    std::memcpy(&streamSize, received.data() + 1, sizeof streamSize);
    whole = streamSize == received.size() - kStreamHead;
  }
  std::string streamError =
      received[0] == 'S' ? "its size does not match what it sent" : "it sent no scene";
  Scene result;
  if (!whole ||
      !ReadSceneStream(std::string_view(received).substr(kStreamHead), result, streamError)) {
    error = "the importer handed back a broken scene: " + streamError;
    return false;
  }
  result.FileName = std::filesystem::path(path).filename().string();
  result.FilePath = path;
  scene = std::move(result);
  return true;
}

}  // namespace ketrel::host
