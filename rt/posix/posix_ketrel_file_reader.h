#pragma once
// Reading files from disk (POSIX).

#include "rt/ketrel_file_reader.h"

namespace ketrel {

// A reader over a file opened for reading; null (logged "CreateFile failed
// ...") when it cannot be opened or is not a regular file.
file_reader* OpenFileReader(const char* fileName);
// Reads a whole file as native objects (see ReadEntireFileFromMemory).
ketrel_file* ReadEntireFile(const char* fileName);
// Reads a whole file into one block the caller frees with FreeBlock.
bool ReadFileBytes(const char* fileName, void** outBytes, size_t* outSize);

}  // namespace ketrel
