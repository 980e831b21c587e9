#include "rt/posix/posix_ketrel_file_reader.h"

#include <fcntl.h>
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

struct posix_file_reader {
  file_reader Base;
  int Descriptor;
  char Name[256];  // for messages; a longer one is cut short
};

void DestroyPosixReader(file_reader* reader) {
  posix_file_reader* file = reinterpret_cast<posix_file_reader*>(reader);
  ::close(file->Descriptor);
  FreeBlock(file);
}

bool ReadPosix(file_reader* reader, uint64_t offset, size_t size, void* out) {
  posix_file_reader* file = reinterpret_cast<posix_file_reader*>(reader);
  if (offset > reader->Size || size > reader->Size - offset) return false;
  unsigned char* p = static_cast<unsigned char*>(out);
  while (size > 0) {
    ssize_t got = ::pread(file->Descriptor, p, size, off_t(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got < 0) {
        KT_LOG_OS_ERROR(FileReader, false, file->Name, "pread", errno);
      } else {
        KT_LOG_ERROR(FileReader, "cannot read %s: it ended early (was it cut short while read?)",
                     file->Name);
      }
      return false;
    }
    p += got;
    offset += uint64_t(got);
    size -= size_t(got);
  }
  return true;
}

}  // namespace

file_reader* OpenFileReader(const char* fileName) {
  if (!KT_CHECK_PARAMETER(FileReader, fileName != nullptr)) return nullptr;
  int descriptor = ::open(fileName, O_RDONLY | O_CLOEXEC);
  struct stat status;
  if (descriptor < 0 || ::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    int error = descriptor < 0 ? errno : EISDIR;
    if (descriptor >= 0) ::close(descriptor);
    KT_LOG_OS_ERROR(FileReader, false, fileName, "open", error);
    return nullptr;
  }
  posix_file_reader* file =
      static_cast<posix_file_reader*>(KT_ALLOCATE_CLEARED(sizeof(posix_file_reader)));
  if (file == nullptr) {
    ::close(descriptor);
    return nullptr;
  }
  file->Base.Destroy = DestroyPosixReader;
  file->Base.Read = ReadPosix;
  file->Base.Size = uint64_t(status.st_size);
  file->Descriptor = descriptor;
  std::snprintf(file->Name, sizeof file->Name, "%s", fileName);
  return &file->Base;
}

ketrel_file* ReadEntireFile(const char* fileName) {
  file_reader* reader = OpenFileReader(fileName);
  ketrel_file* file = reader != nullptr ? ReadEntireFileFromReader(reader) : nullptr;
  DeleteFileReader(reader);
  return file;
}

bool ReadFileBytes(const char* fileName, void** outBytes, size_t* outSize) {
  file_reader* reader = OpenFileReader(fileName);
  bool ok = reader != nullptr && ReadAllFromReader(reader, outBytes, outSize);
  DeleteFileReader(reader);
  return ok;
}

}  // namespace ketrel
