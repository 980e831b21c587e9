#include "rt/posix/posix_ketrel_file_writer.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"

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

void ReportOsError(const char* call, const char* name) {
  KT_LOG_ERROR(FileBuilder, "%s failed for %s: %s", call, name, std::strerror(errno));
}

bool WriteAll(posix_file_writer* file, const void* bytes, size_t size) {
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  while (size > 0) {
    ssize_t written = ::write(file->Descriptor, p, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      // A short write that makes no progress counts as a failure too.
      if (written == 0) errno = ENOSPC;
      ReportOsError("WriteFile", file->TemporaryName);
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
    ReportOsError("SetFilePointer", file->TemporaryName);
    return -1;
  }
  return int64_t(result);
}

bool FinishPosix(file_writer* writer) {
  posix_file_writer* file = reinterpret_cast<posix_file_writer*>(writer);
  if (file->Descriptor < 0) return false;
  bool ok = Flush(file);
  if (ok && ::fsync(file->Descriptor) != 0) {
    ReportOsError("FlushFileBuffers", file->TemporaryName);
    ok = false;
  }
  if (::close(file->Descriptor) != 0) {
    ReportOsError("CloseHandle", file->TemporaryName);
    ok = false;
  }
  file->Descriptor = -1;
  if (ok && ::rename(file->TemporaryName, file->TargetName) != 0) {
    ReportOsError("MoveFile", file->TargetName);
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
  posix_file_writer* file =
      static_cast<posix_file_writer*>(KT_ALLOCATE_CLEARED(sizeof(posix_file_writer)));
  if (file == nullptr) return nullptr;
  file->Descriptor = -1;
  static const char kSuffix[] = ".tmp-XXXXXX";
  file->TargetName = CopyText(fileName, 0);
  file->TemporaryName = CopyText(fileName, sizeof(kSuffix));
  if (file->TargetName == nullptr || file->TemporaryName == nullptr) {
    DestroyPosix(&file->Base);
    return nullptr;
  }
  std::strcat(file->TemporaryName, kSuffix);
  // Beside the target, so that the final rename stays within one file system.
  file->Descriptor = ::mkstemp(file->TemporaryName);
  if (file->Descriptor < 0) {
    ReportOsError("CreateFile", fileName);
    DestroyPosix(&file->Base);
    return nullptr;
  }
  // mkstemp makes the file private; give it the usual permissions.
  mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(file->Descriptor, 0666 & ~mask);
  file->Base.Destroy = DestroyPosix;
  file->Base.Seek = SeekPosix;
  file->Base.Write = WritePosix;
  file->Base.Finish = FinishPosix;
  return &file->Base;
}

}  // namespace ketrel
