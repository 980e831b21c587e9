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

// Where the file goes: a symbolic link is written through to the file it
// names; a file that exists keeps its mode and owner. Temporary files are
// named "<target>.tmp-<pid>-XXXXXX", so that those a killed export left
// behind (their process gone) are removed by the next write to the target.
// Null (logged "CreateFile failed ..." or why the target is refused) when
// the target exists and is not a regular file (a device, a directory, a
// fifo), has other hard links (replacing it would cut them apart), or the
// temporary file cannot be created, e.g. because the directory does not
// exist.
file_writer* CreateFileWriter(const char* fileName);

// Moves the finished file `source` onto `target` by the rules above (links
// followed, mode and owner kept, non-regular and hard-linked targets
// refused). False (logged) with `source` removed when it cannot.
bool ReplaceFileWith(const char* target, const char* source);

}  // namespace ketrel
