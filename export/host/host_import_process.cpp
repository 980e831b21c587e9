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

#include "export/host/host_scene_stream.h"
#include "export/ketrel_progress.h"

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

// The child: import, then send 'S' + the scene stream or 'E' + the error.
[[noreturn]] void RunChild(int fd, const std::string& path, const ImportOptions& options) {
  if (options.Fault == ImportFault::Crash) std::abort();
  if (options.Fault == ImportFault::Hang) {
    for (;;) pause();
  }
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
      ok = WriteAll(fd, head, sizeof head) && WriteAll(fd, stream.data(), stream.size());
    } else {
      std::string message = "E" + error;
      ok = WriteAll(fd, message.data(), message.size());
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
    error = "could not start the importer (pipe failed)";
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
    error = "could not start the importer (fork failed)";
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
    bool headJustArrived =
        received.size() < kStreamHead && received.size() + size_t(n) >= kStreamHead;
    received.append(buffer, size_t(n));
    if (headJustArrived && received[0] == 'S') {
      // Room for the whole stream up front, so it is not copied on each doubling.
      uint64_t size = 0;
      std::memcpy(&size, received.data() + 1, sizeof size);
      received.reserve(kStreamHead + size_t(std::min<uint64_t>(size, kMaxReserve)));
    }
  }
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
