#pragma once
// Platform conversion: re-lays a complete KT2 file for another pointer size
// and byte order. Every object reachable from the root is converted member by
// member through the file's own type definitions, pointer fix-ups and
// mixed-marshalling records are recomputed, and the sections are compressed
// with the chosen types. The same walk is how readers turn a file of any
// platform into native objects (rt/ketrel_file_reader.h): it checks every
// type, object, array and string it meets against the source file, converts
// each shared object once, keeps cycles finite and uses no recursion along
// references (only along inline members, whose depth is bounded).

#include <cstdint>

#include "rt/ketrel_file_format.h"
#include "rt/ketrel_file_reader.h"
#include "rt/ketrel_file_writer.h"

namespace ketrel {

inline constexpr int32_t kDefaultConversionBlockSize = 4096;

// Converts the complete file in `sourceReader` into `destWriter` for the
// platform of `destMagicRecord`. fileAlignment (at least 4, a power of two)
// separates the pieces of the file; when compressionTypes is given it
// replaces the compression type of the first sectionCount sections.
// excludeTypeTree has no effect: a converted file always carries its full
// type tree. A file whose root type is empty cannot be converted. False
// (logged) on any fault of the source or any write failure.
bool PlatformConvertReaderToWriter(file_reader* sourceReader, file_writer* destWriter,
                                   const file_magic_record& destMagicRecord, bool excludeTypeTree,
                                   uint32_t fileAlignment, uint32_t sectionCount,
                                   const uint32_t* compressionTypes);

// The same from the bytes of a whole file in memory, which it takes over (and
// frees, also on failure): the builder converts its own output without a copy.
bool PlatformConvertBytesToWriter(void* ownedBytes, size_t size, file_writer* destWriter,
                                  const file_magic_record& destMagicRecord, uint32_t fileAlignment,
                                  uint32_t sectionCount, const uint32_t* compressionTypes);

// Turns an opened image whose sections are all loaded (any platform, with a
// typed root) into this machine's objects: the walk checks the whole graph,
// then each section is filled once, straight from the loaded sections into
// its final block, and every pointer written. A native image is fixed up
// where it lies: its section blocks become the file's (taken from `source`).
// Null (logged) on any fault of the source.
ketrel_file* PlatformConvertImageToNative(file_image* source);

// The same from an opened image whose sections are all loaded.
bool PlatformConvertImageToWriter(const file_image* source, file_writer* destWriter,
                                  const file_magic_record& destMagicRecord, uint32_t fileAlignment,
                                  uint32_t sectionCount, const uint32_t* compressionTypes);

}  // namespace ketrel
