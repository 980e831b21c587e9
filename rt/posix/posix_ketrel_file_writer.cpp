#include "rt/posix/posix_ketrel_file_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/posix/posix_ketrel_os_error.h"

namespace ketrel {
namespace {

constexpr size_t kBufferSize = 1024;

struct posix_file_writer {
  file_writer Base;  // first, so a file_writer* is a posix_file_writer*
  int Descriptor;
  bool Failed;  // sticky: once a write failed, Finish must not rename
  size_t Buffered;
  unsigned char Buffer[kBufferSize];
  char* TargetName;
  char* TemporaryName;
};

// Names the target, which the user asked for, not the temporary beside it.
#define ReportOsError(call, name) KT_LOG_OS_ERROR(FileBuilder, true, name, call, errno)

bool WriteAll(posix_file_writer* file, const void* bytes, size_t size) {
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  while (size > 0) {
    ssize_t written = ::write(file->Descriptor, p, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      // A short write that makes no progress counts as a failure too.
      if (written == 0) errno = ENOSPC;
      ReportOsError("write", file->TargetName);
      file->Failed = true;
      return false;
    }
    p += written;
    size -= size_t(written);
  }
  return true;
}

bool Flush(posix_file_writer* file) {
  if (file->Failed) return false;
  size_t count = file->Buffered;
  file->Buffered = 0;
  return count == 0 || WriteAll(file, file->Buffer, count);
}

bool WritePosix(file_writer* writer, size_t size, const void* bytes) {
  posix_file_writer* file = reinterpret_cast<posix_file_writer*>(writer);
  if (file->Failed || file->Descriptor < 0) return false;
  if (size >= kBufferSize) return Flush(file) && WriteAll(file, bytes, size);
  if (file->Buffered + size > kBufferSize && !Flush(file)) return false;
  std::memcpy(file->Buffer + file->Buffered, bytes, size);
  file->Buffered += size;
  return true;
}

int64_t SeekPosix(file_writer* writer, int64_t offset, int32_t origin) {
  posix_file_writer* file = reinterpret_cast<posix_file_writer*>(writer);
  if (file->Descriptor < 0 || !Flush(file)) return -1;
  off_t result;
  switch (origin) {
    case SeekFromStart:
      result = ::lseek(file->Descriptor, off_t(offset), SEEK_SET);
      break;
    case SeekBackFromEnd:
      result = ::lseek(file->Descriptor, -off_t(offset), SEEK_END);
      break;
    case SeekFromCurrent:
      result = ::lseek(file->Descriptor, off_t(offset), SEEK_CUR);
      break;
    default:
      KT_PARAMETER_CHECK_FAILED(FileBuilder);
      return -1;
  }
  if (result < 0) {
    ReportOsError("lseek", file->TargetName);
    return -1;
  }
  return int64_t(result);
}

bool FinishPosix(file_writer* writer) {
  posix_file_writer* file = reinterpret_cast<posix_file_writer*>(writer);
  if (file->Descriptor < 0) return false;
  bool ok = Flush(file);
  if (ok && ::fsync(file->Descriptor) != 0) {
    ReportOsError("fsync", file->TargetName);
    ok = false;
  }
  if (::close(file->Descriptor) != 0) {
    ReportOsError("close", file->TargetName);
    ok = false;
  }
  file->Descriptor = -1;
  if (ok && ::rename(file->TemporaryName, file->TargetName) != 0) {
    ReportOsError("rename", file->TargetName);
    ok = false;
  }
  if (!ok) {
    ::unlink(file->TemporaryName);
    file->Failed = true;
  }
  return ok;
}

void DestroyPosix(file_writer* writer) {
  posix_file_writer* file = reinterpret_cast<posix_file_writer*>(writer);
  if (file->Descriptor >= 0) {
    // Abandoned before Finish: the target keeps its previous contents.
    ::close(file->Descriptor);
    ::unlink(file->TemporaryName);
  }
  FreeBlock(file->TargetName);
  FreeBlock(file->TemporaryName);
  FreeBlock(file);
}

// The file a write to `name` lands on: through symbolic links (a dangling
// one names the file to create). `existing` is filled when it exists.
bool ResolveTarget(const char* name, char (&resolved)[PATH_MAX], struct stat* existing,
                   bool* exists) {
  std::snprintf(resolved, PATH_MAX, "%s", name);
  for (int hops = 0; hops < 40; ++hops) {
    struct stat link;
    if (::lstat(resolved, &link) != 0 || !S_ISLNK(link.st_mode)) break;
    char next[PATH_MAX];
    const ssize_t length = ::readlink(resolved, next, sizeof next - 1);
    if (length <= 0) break;
    next[length] = '\0';
    if (next[0] == '/') {
      std::snprintf(resolved, PATH_MAX, "%s", next);
    } else {
      // Relative to the link's own directory.
      char* slash = std::strrchr(resolved, '/');
      char joined[PATH_MAX];
      int joinedLength = 0;
      if (slash) {
        *slash = '\0';
        joinedLength = std::snprintf(joined, sizeof joined, "%s/%s", resolved, next);
      } else {
        joinedLength = std::snprintf(joined, sizeof joined, "%s", next);
      }
      if (joinedLength < 0 || size_t(joinedLength) >= sizeof joined) {
        KT_LOG_ERROR(FileBuilder, "cannot write %s: its link leads to too long a path", name);
        return false;
      }
      std::memcpy(resolved, joined, size_t(joinedLength) + 1);
    }
  }
  *exists = ::stat(resolved, existing) == 0;
  if (!*exists) return true;
  if (!S_ISREG(existing->st_mode)) {
    KT_LOG_ERROR(FileBuilder, "cannot write %s: it is not a regular file", name);
    return false;
  }
  if (existing->st_nlink > 1) {
    KT_LOG_ERROR(FileBuilder,
                 "cannot write %s: it has %d hard links, which replacing it would cut apart", name,
                 static_cast<int>(existing->st_nlink));
    return false;
  }
  return true;
}

// Removes "<target>.tmp-<pid>-..." files whose process has gone (a killed
// export): a live process's, or one that cannot be asked, stays.
void RemoveStaleTemporaries(const char* target) {
  const char* slash = std::strrchr(target, '/');
  char directory[PATH_MAX];
  if (slash) {
    const int length = std::snprintf(directory, sizeof directory, "%.*s",
                                     static_cast<int>(slash - target), target);
    if (length < 0 || size_t(length) >= sizeof directory) return;
  } else {
    std::snprintf(directory, sizeof directory, ".");
  }
  if (directory[0] == '\0') std::snprintf(directory, sizeof directory, "/");
  char prefix[PATH_MAX];
  const int written = std::snprintf(prefix, sizeof prefix, "%s.tmp-", slash ? slash + 1 : target);
  if (written < 0 || size_t(written) >= sizeof prefix) return;
  const size_t prefixLength = std::strlen(prefix);
  DIR* listing = ::opendir(directory);
  if (!listing) return;
  while (const dirent* entry = ::readdir(listing)) {
    if (std::strncmp(entry->d_name, prefix, prefixLength) != 0) continue;
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name + prefixLength, &end, 10);
    if (pid <= 0 || end == entry->d_name + prefixLength || *end != '-') continue;
    if (pid == ::getpid() || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    char stale[PATH_MAX];
    const int length = std::snprintf(stale, sizeof stale, "%s/%s", directory, entry->d_name);
    if (length > 0 && size_t(length) < sizeof stale) ::unlink(stale);
  }
  ::closedir(listing);
}

// The target's mode and owner, onto the file that replaces it.
void KeepAttributes(int descriptor, const struct stat& existing) {
  ::fchmod(descriptor, existing.st_mode & 07777);
  if (::fchown(descriptor, existing.st_uid, existing.st_gid) != 0) {
    // Only its owner's group or root may give a file away; the mode still holds.
  }
}

char* CopyText(const char* text, size_t extra) {
  size_t length = std::strlen(text);
  char* copy = static_cast<char*>(KT_ALLOCATE(length + extra + 1));
  if (copy != nullptr) std::memcpy(copy, text, length + 1);
  return copy;
}

}  // namespace

file_writer* CreateFileWriter(const char* fileName) {
  if (!KT_CHECK_PARAMETER(FileBuilder, fileName != nullptr && fileName[0] != '\0')) {
    return nullptr;
  }
  char resolved[PATH_MAX];
  struct stat existing;
  bool exists = false;
  if (!ResolveTarget(fileName, resolved, &existing, &exists)) return nullptr;
  RemoveStaleTemporaries(resolved);
  posix_file_writer* file =
      static_cast<posix_file_writer*>(KT_ALLOCATE_CLEARED(sizeof(posix_file_writer)));
  if (file == nullptr) return nullptr;
  file->Descriptor = -1;
  char suffix[48];
  std::snprintf(suffix, sizeof suffix, ".tmp-%ld-XXXXXX", static_cast<long>(::getpid()));
  file->TargetName = CopyText(resolved, 0);
  file->TemporaryName = CopyText(resolved, std::strlen(suffix));
  if (file->TargetName == nullptr || file->TemporaryName == nullptr) {
    DestroyPosix(&file->Base);
    return nullptr;
  }
  std::strcat(file->TemporaryName, suffix);
  // Beside the target, so that the final rename stays within one file system.
  file->Descriptor = ::mkstemp(file->TemporaryName);
  if (file->Descriptor < 0) {
    ReportOsError("mkstemp", fileName);
    DestroyPosix(&file->Base);
    return nullptr;
  }
  if (exists) {
    KeepAttributes(file->Descriptor, existing);
  } else {
    // mkstemp makes the file private; give it the usual permissions.
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(file->Descriptor, 0666 & ~mask);
  }
  file->Base.Destroy = DestroyPosix;
  file->Base.Seek = SeekPosix;
  file->Base.Write = WritePosix;
  file->Base.Finish = FinishPosix;
  return &file->Base;
}

bool ReplaceFileWith(const char* target, const char* source) {
  if (!KT_CHECK_PARAMETER(FileBuilder, target != nullptr && source != nullptr)) return false;
  char resolved[PATH_MAX];
  struct stat existing;
  bool exists = false;
  bool ok = ResolveTarget(target, resolved, &existing, &exists);
  if (ok && exists) {
    const int descriptor = ::open(source, O_RDONLY);
    if (descriptor >= 0) {
      KeepAttributes(descriptor, existing);
      ::close(descriptor);
    }
  }
  if (ok && ::rename(source, resolved) != 0) {
    ReportOsError("rename", target);
    ok = false;
  }
  if (!ok) ::unlink(source);
  return ok;
}

}  // namespace ketrel
