#pragma once
// Loading a KT2 file for a game: one call from a path or from bytes in
// memory hands back the file's root `file_info`, one call frees it.
//
// Any of the four platforms (pointer size and byte order) and any section
// compression load; a file of another platform is converted to this
// machine's layout on the way. Every byte is checked before use (the reader's
// opening, CRC, section, fix-up and object-graph checks), and the root must
// be a `file_info` laid out as this library knows it, so every pointer of
// the returned graph can be followed without further checks.
//
// Failures are logged (origin FileReader) and give null: a missing or
// unreadable path, a truncated or damaged file, a file of another kind, a
// root that is not a file_info.

#include <cstddef>

#include "rt/ketrel_file_reader.h"
#include "rt/ketrel_standard_types.h"

namespace ketrel {

// The file at `path`; null (logged) on any fault.
file_info* LoadFileInfo(const char* path);
// The file held in `bytes` (`size` bytes, kept by the caller and not needed
// once this returns); null (logged) on any fault.
file_info* LoadFileInfoFromMemory(const void* bytes, size_t size);

// Frees everything the load made: the info and every object it reaches.
// Accepts null. A pointer that no load handed out is refused (logged) and
// left alone.
void FreeFileInfo(file_info* info);

// The loaded file behind an info (header, sections, the platform it was
// written for), for tools; null for an info that no load handed out.
const ketrel_file* GetLoadedFile(const file_info* info);

}  // namespace ketrel
