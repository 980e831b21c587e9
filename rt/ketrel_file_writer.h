#pragma once
// Writers: a small table of operations that the file builder and the platform
// converter write through, with a CRC-32 that can run over everything written
// between BeginWriterCrc and EndWriterCrc. Two writers exist: the growable
// memory writer here and the buffered file writer (rt/posix).
//
// Writers never throw; a failed operation is logged and reported as false or
// -1. Nobody but the owner of a writer deletes it.

#include <cstddef>
#include <cstdint>

namespace ketrel {

// Seek origins, as stored numbers.
enum seek_origin : int32_t {
  SeekFromStart = 0,
  SeekBackFromEnd = 1,  // the new position is end - offset
  SeekFromCurrent = 2,
};

struct file_writer {
  // Frees the writer. A writer that was not finished discards what it wrote
  // where that is possible (the file writer removes its temporary file).
  void (*Destroy)(file_writer* writer);
  // Returns the new position, or -1 (logged) when the seek is impossible.
  int64_t (*Seek)(file_writer* writer, int64_t offset, int32_t origin);
  // Writes all `size` bytes or fails (a short write is a failure).
  bool (*Write)(file_writer* writer, size_t size, const void* bytes);
  // Makes everything written permanent (flush, close, rename into place).
  // Null means nothing to do.
  bool (*Finish)(file_writer* writer);

  // The running CRC over writes, kept by WriteToWriter.
  bool CrcActive;
  uint32_t CrcState;
  // Set by SkipWriterCrc: the writer's output is read back in this process
  // and never checked, so no CRC is taken over it.
  bool CrcSkipped;
};

// Accepts null.
void DeleteFileWriter(file_writer* writer);
int64_t SeekWriter(file_writer* writer, int64_t offset, int32_t origin);
int64_t GetWriterPosition(file_writer* writer);
// Writes through the table and feeds the running CRC. A null writer, or null
// bytes with a non-zero size, is a parameter check failure.
bool WriteToWriter(file_writer* writer, size_t size, const void* bytes);
// Starts a CRC-32 at 0xFFFFFFFF over every later write.
void BeginWriterCrc(file_writer* writer);
// Stops the CRC and returns its complemented value.
uint32_t EndWriterCrc(file_writer* writer);
// From now on BeginWriterCrc starts nothing and EndWriterCrc returns the CRC
// of no bytes: for an image that only this process reads back.
void SkipWriterCrc(file_writer* writer);
// Flushes and makes the output permanent; false when any part of it failed.
bool FinishFileWriter(file_writer* writer);

// Bytes needed to bring `value` to a multiple of `alignment` (a power of two;
// otherwise a parameter check failure and 0).
uint32_t GetPaddingForAlignment(uint64_t value, uint32_t alignment);
// Writes zero bytes until the position is a multiple of `alignment`. Returns
// the count written; -1 when the alignment is not a power of two (parameter
// check, nothing written) or a write failed.
int32_t AlignWriter(file_writer* writer, uint32_t alignment);

// A writer into a growable buffer. It grows to the larger of twice its
// capacity (or `initialCapacity` when empty) and the size needed, rounded up
// to a multiple of `blockSize` (-1: no rounding). Seeking past the end grows
// the stream with zero bytes; seeking before the start fails. Null when
// memory runs out or blockSize is 0 or below -1.
file_writer* CreateMemoryFileWriter(int32_t blockSize, size_t initialCapacity);
// Hands the written bytes (the buffer up to the furthest position written)
// to the caller, who frees them with FreeBlock. Afterwards the writer is
// empty; a second steal, or a steal from another kind of writer, fails.
bool StealMemoryWriterBuffer(file_writer* writer, void** outBytes, size_t* outSize);
// The bytes written so far (valid until the next write), or null.
const void* GetMemoryWriterBytes(file_writer* writer, size_t* outSize);

}  // namespace ketrel
