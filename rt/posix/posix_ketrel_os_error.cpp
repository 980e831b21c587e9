#include "rt/posix/posix_ketrel_os_error.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ketrel {
namespace {

std::atomic<bool> gDetails{false};

// The folder part of `path` with its slash ("out/", "/"), or "./" for a
// bare file name.
void FolderOf(const char* path, char* folder, size_t size) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) {
    std::snprintf(folder, size, "./");
  } else {
    std::snprintf(folder, size, "%.*s", static_cast<int>(slash - path + 1), path);
  }
}

}  // namespace

void SetOsErrorDetails(bool on) { gDetails = on; }

std::string OsErrorReason(bool writing, const char* path, const char* call, int errorNumber) {
  if (path == nullptr) path = "";
  char folder[512];
  FolderOf(path, folder, sizeof folder);
  char reason[640];
  switch (errorNumber) {
    case ENOENT:
      if (writing) {
        std::snprintf(reason, sizeof reason, "folder %s does not exist", folder);
      } else {
        std::snprintf(reason, sizeof reason, "no such file");
      }
      break;
    case ENOTDIR:
      std::snprintf(reason, sizeof reason, "a part of its path is not a folder");
      break;
    case EACCES:
    case EPERM:
      if (writing) {
        std::snprintf(reason, sizeof reason, "no permission to write in folder %s", folder);
      } else {
        std::snprintf(reason, sizeof reason, "no permission to read it");
      }
      break;
    case ENOSPC:
      std::snprintf(reason, sizeof reason, "the disk is full");
      break;
    case EDQUOT:
      std::snprintf(reason, sizeof reason, "the disk quota is used up");
      break;
    case EROFS:
      std::snprintf(reason, sizeof reason, "the file system is read-only");
      break;
    case EFBIG:
      std::snprintf(reason, sizeof reason,
                    "file too large for the size limit (ulimit -f) or the file system");
      break;
    case EISDIR:
      std::snprintf(reason, sizeof reason, "it is a folder");
      break;
    case ENAMETOOLONG:
      std::snprintf(reason, sizeof reason, "the name is too long");
      break;
    case EIO:
      std::snprintf(reason, sizeof reason, "the device reported an input/output error");
      break;
    default: {
      // Lower-case, as the plain reasons above.
      std::snprintf(reason, sizeof reason, "%s", std::strerror(errorNumber));
      if (reason[0] >= 'A' && reason[0] <= 'Z')
        reason[0] = static_cast<char>(reason[0] - 'A' + 'a');
      break;
    }
  }
  std::string said = reason;
  if (gDetails || IsLogFileActive()) {
    said += std::string(" (") + call + ": " + std::strerror(errorNumber) + ")";
  }
  return said;
}

std::string OsErrorMessage(bool writing, const char* path, const char* call, int errorNumber) {
  return std::string(writing ? "cannot write " : "cannot read ") + (path != nullptr ? path : "") +
         ": " + OsErrorReason(writing, path, call, errorNumber);
}

void LogOsError(LogOrigin origin, const char* file, int line, bool writing, const char* path,
                const char* call, int errorNumber) {
  Log(LogType::Error, origin, file, line, "%s",
      OsErrorMessage(writing, path, call, errorNumber).c_str());
}

}  // namespace ketrel
