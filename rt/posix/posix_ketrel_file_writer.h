#pragma once
// The buffered file writer (POSIX). Everything is written to a temporary file
// beside the target; FinishFileWriter flushes, syncs and closes it and only
// then renames it over the target, so a failed or abandoned write never
// destroys the previous file. Small writes are batched in a 1024-byte buffer;
// a write of 1024 bytes or more flushes the buffer and goes straight to the
// file; a seek flushes first. Destroying an unfinished writer removes the
// temporary file.

#include "rt/ketrel_file_writer.h"

namespace ketrel {

// Null (logged "CreateFile failed ...") when the temporary file cannot be
// created, e.g. because the directory does not exist.
file_writer* CreateFileWriter(const char* fileName);

}  // namespace ketrel
