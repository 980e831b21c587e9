#include "export/posix/posix_ketrel_export_file.h"

#include "rt/ketrel_file_writer.h"
#include "rt/ketrel_log.h"
#include "rt/posix/posix_ketrel_file_writer.h"

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

bool WriteFileBuilderToPath(file_builder* builder, const char* fileName, bool atomic,
                            const ProgressWindow* progress) {
  return atomic ? WriteAtomically(builder, fileName, progress)
                : WriteStreamed(builder, fileName, progress);
}

}  // namespace ketrel
