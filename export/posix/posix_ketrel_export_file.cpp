#include "export/posix/posix_ketrel_export_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "rt/ketrel_file_writer.h"
#include "rt/ketrel_log.h"
#include "rt/posix/posix_ketrel_file_writer.h"
#include "rt/posix/posix_ketrel_os_error.h"

namespace ketrel {
namespace {

constexpr int32_t kAtomicBlockSize = 4096;

// A Ctrl-C while packaging keeps the old file: the rename waits for the
// progress window's last word.
bool WriteStreamed(file_builder* builder, const char* fileName, const ProgressWindow* progress) {
  file_writer* target = CreateFileWriter(fileName);
  if (!target) {
    AbortFile(builder);
    return false;
  }
  const bool ok = EndFileToWriter(builder, target) && ProgressShouldContinue(progress) &&
                  FinishFileWriter(target);
  DeleteFileWriter(target);  // removes the temporary file when not finished
  return ok;
}

bool WriteAtomically(file_builder* builder, const char* fileName, const ProgressWindow* progress) {
  file_writer* memory = CreateMemoryFileWriter(kAtomicBlockSize, 0);
  if (!memory) {
    AbortFile(builder);
    return false;
  }
  bool ok = EndFileToWriter(builder, memory);
  if (ok) {
    size_t size = 0;
    const void* bytes = GetMemoryWriterBytes(memory, &size);
    file_writer* target = CreateFileWriter(fileName);
    if (!target) {
      ok = false;  // the writer said why
    } else {
      ok = WriteToWriter(target, size, bytes) && ProgressShouldContinue(progress) &&
           FinishFileWriter(target);
      DeleteFileWriter(target);
    }
  }
  DeleteFileWriter(memory);
  return ok;
}

}  // namespace

bool TargetFolderExists(const char* fileName) {
  if (!KT_CHECK_PARAMETER(Export, fileName != nullptr)) return false;
  const std::string name = fileName;
  const size_t slash = name.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : name.substr(0, slash));
  struct stat status;
  int error = 0;
  if (::stat(folder.c_str(), &status) != 0) {
    error = errno;
  } else if (!S_ISDIR(status.st_mode)) {
    error = ENOTDIR;
  }
  if (error == 0) return true;
  KT_LOG_OS_ERROR(Export, true, fileName, "stat", error);
  return false;
}

bool WriteFileBuilderToPath(file_builder* builder, const char* fileName, bool atomic,
                            const ProgressWindow* progress) {
  return atomic ? WriteAtomically(builder, fileName, progress)
                : WriteStreamed(builder, fileName, progress);
}

}  // namespace ketrel
