#pragma once
// The file builder: collects blocks of bytes into numbered sections, records
// which bytes are pointers to which other bytes (pointer fix-ups) and which
// blocks need member-by-member swapping (mixed-marshalling records), and at
// the end lays everything out behind the KT2 header, compressing each
// section, computing the CRC and, for a file meant for another platform,
// converting the finished native image (rt/ketrel_platform_conversion.h).
//
// Lifecycle: Begin -> SetFileSectionFormat / AddFileObject /
// AddFilePointerFixup / AddFileMarshallingFixup / SetFileRoot -> exactly one
// of EndFile, EndFileToWriter or AbortFile, which frees the builder.
//
// Every operation accepts a null builder and does nothing. A bad argument is
// logged as "Parameter check failed. (Verbose logging disabled)", does
// nothing, and makes the end of the builder report failure; so does a failed
// block write, after which later blocks are skipped.

#include <cstdint>

#include "rt/ketrel_file_format.h"
#include "rt/ketrel_file_writer.h"

namespace ketrel {

// A place in a file being built: a part of a section (0: 32-bit words and
// pointers, 1: 16-bit words, 2: bytes and mixed records) and an offset in it.
// It becomes a file_reference at the end, when the part sizes are known.
struct file_location {
  uint32_t SectionIndex;
  uint32_t PartIndex;
  uint32_t Offset;
};

struct file_builder;

inline constexpr int32_t kDefaultFileBlockSize = 4096;

// Begins an in-memory builder (block size 4096); the directory is not used.
file_builder* BeginFile(uint32_t sectionCount, uint32_t fileTypeTag,
                        const file_magic_record& magicRecord, const char* temporaryDirectory);
// Requires 1 <= sectionCount <= 31, blockSize > 1 and a known magic; null
// otherwise (parameter check) or when memory runs out.
file_builder* BeginFileInMemory(uint32_t sectionCount, uint32_t fileTypeTag,
                                const file_magic_record& magicRecord, int32_t blockSize);

// Sets a section's compression type (0..4; 1 is replaced by 2 with a warning)
// and object alignment (a power of two). Defaults: 0 and 4.
void SetFileSectionFormat(file_builder* builder, uint32_t section, uint32_t compression,
                          uint32_t alignment);

// Appends a block of `size` bytes. Marshalling 0 or 4 puts it in part 0, 2 in
// part 1, anything else in part 2. The block starts at a multiple of the
// section alignment. `outLocation` (optional) receives its place even when
// the builder has failed. False when nothing was added.
bool AddFileObject(file_builder* builder, uint32_t section, uint32_t marshalling, uint32_t size,
                   const void* bytes, file_location* outLocation);

// Records that the 8-byte pointer slot at from + offsetInBlock points to
// `to`. The slot must lie inside the block that holds `from`, and `to` inside
// its part; otherwise a parameter check failure and nothing is recorded.
void AddFilePointerFixup(file_builder* builder, const file_location& from, uint32_t offsetInBlock,
                         const file_location& to);
// Records that `count` consecutive objects at objectLocation have the type
// defined at typeLocation and need member-by-member swapping.
void AddFileMarshallingFixup(file_builder* builder, const file_location& typeLocation,
                             const file_location& objectLocation, uint32_t count);
// outLocation = location moved by `offset` bytes.
void OffsetFileLocation(file_builder* builder, const file_location& location, uint32_t offset,
                        file_location* outLocation);
void SetFileRoot(file_builder* builder, const file_location& typeLocation,
                 const file_location& objectLocation);

// True when the builder lays its file out for this machine's own platform.
bool IsFileBuilderNative(const file_builder* builder);
// Recorded for the platform converter, which always keeps the type tree.
void SetFileBuilderExcludeTypeTree(file_builder* builder, bool exclude);

// Ends into `fileName` (written to a temporary file beside it and renamed
// into place only when everything succeeded) and frees the builder.
bool EndFile(file_builder* builder, const char* fileName);
// Ends into any writer at its current position and frees the builder. The
// writer stays the caller's.
bool EndFileToWriter(file_builder* builder, file_writer* writer);
// Frees everything without writing.
void AbortFile(file_builder* builder);

}  // namespace ketrel
