#include "rt/ketrel_file_writer.h"

#include <cstring>

#include "rt/ketrel_crc.h"
#include "rt/ketrel_file_format.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"

namespace ketrel {

void DeleteFileWriter(file_writer* writer) {
  if (writer != nullptr) writer->Destroy(writer);
}

int64_t SeekWriter(file_writer* writer, int64_t offset, int32_t origin) {
  if (!KT_CHECK_PARAMETER(FileBuilder, writer != nullptr)) return -1;
  return writer->Seek(writer, offset, origin);
}

int64_t GetWriterPosition(file_writer* writer) { return SeekWriter(writer, 0, SeekFromCurrent); }

bool WriteToWriter(file_writer* writer, size_t size, const void* bytes) {
  if (!KT_CHECK_PARAMETER(FileBuilder, writer != nullptr && (bytes != nullptr || size == 0))) {
    return false;
  }
  if (size == 0) return true;
  if (writer->CrcActive) writer->CrcState = UpdateCrc32(writer->CrcState, bytes, size);
  return writer->Write(writer, size, bytes);
}

void BeginWriterCrc(file_writer* writer) {
  if (!KT_CHECK_PARAMETER(FileBuilder, writer != nullptr)) return;
  writer->CrcActive = !writer->CrcSkipped;
  writer->CrcState = kCrc32Initial;
}

void SkipWriterCrc(file_writer* writer) {
  if (!KT_CHECK_PARAMETER(FileBuilder, writer != nullptr)) return;
  writer->CrcSkipped = true;
  writer->CrcActive = false;
}

uint32_t EndWriterCrc(file_writer* writer) {
  if (!KT_CHECK_PARAMETER(FileBuilder, writer != nullptr)) return 0;
  writer->CrcActive = false;
  return FinishCrc32(writer->CrcState);
}

bool FinishFileWriter(file_writer* writer) {
  if (!KT_CHECK_PARAMETER(FileBuilder, writer != nullptr)) return false;
  return writer->Finish == nullptr || writer->Finish(writer);
}

uint32_t GetPaddingForAlignment(uint64_t value, uint32_t alignment) {
  if (!KT_CHECK_PARAMETER(FileBuilder, IsPowerOfTwo(alignment))) return 0;
  return uint32_t((alignment - (value & (alignment - 1))) & (alignment - 1));
}

int32_t AlignWriter(file_writer* writer, uint32_t alignment) {
  if (!KT_CHECK_PARAMETER(FileBuilder, writer != nullptr && IsPowerOfTwo(alignment))) return -1;
  int64_t position = GetWriterPosition(writer);
  if (position < 0) return -1;
  uint32_t padding = GetPaddingForAlignment(uint64_t(position), alignment);
  static const unsigned char kZeros[64] = {};
  for (uint32_t left = padding; left > 0;) {
    uint32_t chunk = left < sizeof(kZeros) ? left : uint32_t(sizeof(kZeros));
    if (!WriteToWriter(writer, chunk, kZeros)) return -1;
    left -= chunk;
  }
  return int32_t(padding);
}

// ---- Memory writer ---------------------------------------------------------

namespace {

struct memory_writer {
  file_writer Base;  // first, so a file_writer* is a memory_writer*
  unsigned char* Bytes;
  size_t Capacity;
  size_t Size;  // the furthest position written or seeked to
  size_t Position;
  int32_t BlockSize;
  size_t InitialCapacity;
  bool Stolen;
};

void DestroyMemoryWriter(file_writer* writer) {
  memory_writer* memory = reinterpret_cast<memory_writer*>(writer);
  FreeBlock(memory->Bytes);
  FreeBlock(memory);
}

bool GrowMemoryWriter(memory_writer* memory, size_t needed) {
  if (needed <= memory->Capacity) return true;
  size_t capacity = memory->Capacity == 0 ? memory->InitialCapacity : memory->Capacity * 2;
  if (capacity < needed) capacity = needed;
  if (memory->BlockSize > 1) {
    size_t block = size_t(memory->BlockSize);
    capacity = (capacity + block - 1) / block * block;
  }
  unsigned char* bytes =
      static_cast<unsigned char*>(capacity < needed ? nullptr : KT_ALLOCATE(capacity));
  if (bytes == nullptr) {
    KT_LOG_ERROR(FileBuilder, "Unable to grow memory stream to requested size [r: %zu curr: %zu]",
                 needed, memory->Capacity);
    return false;
  }
  // Only the written bytes move; the spare capacity stays untouched (seeking past the end
  // zeroes what it skips), so its pages are not faulted in unless they are written.
  if (memory->Size > 0) std::memcpy(bytes, memory->Bytes, memory->Size);
  FreeBlock(memory->Bytes);
  memory->Bytes = bytes;
  memory->Capacity = capacity;
  return true;
}

int64_t SeekMemoryWriter(file_writer* writer, int64_t offset, int32_t origin) {
  memory_writer* memory = reinterpret_cast<memory_writer*>(writer);
  int64_t target;
  switch (origin) {
    case SeekFromStart:
      target = offset;
      break;
    case SeekBackFromEnd:
      target = int64_t(memory->Size) - offset;
      break;
    case SeekFromCurrent:
      target = int64_t(memory->Position) + offset;
      break;
    default:
      KT_PARAMETER_CHECK_FAILED(FileBuilder);
      return -1;
  }
  if (target < 0) {
    KT_LOG_ERROR(FileBuilder, "Attempting to seek before beginning of a memory stream [r: %lld]",
                 static_cast<long long>(target));
    return -1;
  }
  // Past the end, the stream grows with zero bytes.
  if (size_t(target) > memory->Size) {
    if (!GrowMemoryWriter(memory, size_t(target))) return -1;
    std::memset(memory->Bytes + memory->Size, 0, size_t(target) - memory->Size);
    memory->Size = size_t(target);
  }
  memory->Position = size_t(target);
  return target;
}

bool WriteMemoryWriter(file_writer* writer, size_t size, const void* bytes) {
  memory_writer* memory = reinterpret_cast<memory_writer*>(writer);
  if (memory->Stolen) return false;
  if (size > SIZE_MAX - memory->Position) return false;
  size_t end = memory->Position + size;
  if (!GrowMemoryWriter(memory, end)) return false;
  std::memcpy(memory->Bytes + memory->Position, bytes, size);
  memory->Position = end;
  if (end > memory->Size) memory->Size = end;
  return true;
}

}  // namespace

file_writer* CreateMemoryFileWriter(int32_t blockSize, size_t initialCapacity) {
  if (!KT_CHECK_PARAMETER(FileBuilder, blockSize > 0 || blockSize == -1)) return nullptr;
  memory_writer* memory = static_cast<memory_writer*>(KT_ALLOCATE_CLEARED(sizeof(memory_writer)));
  if (memory == nullptr) return nullptr;
  memory->Base.Destroy = DestroyMemoryWriter;
  memory->Base.Seek = SeekMemoryWriter;
  memory->Base.Write = WriteMemoryWriter;
  memory->BlockSize = blockSize;
  memory->InitialCapacity = initialCapacity > 0 ? initialCapacity : 1;
  return &memory->Base;
}

static memory_writer* AsMemoryWriter(file_writer* writer) {
  if (writer == nullptr || writer->Destroy != DestroyMemoryWriter) return nullptr;
  return reinterpret_cast<memory_writer*>(writer);
}

bool StealMemoryWriterBuffer(file_writer* writer, void** outBytes, size_t* outSize) {
  memory_writer* memory = AsMemoryWriter(writer);
  if (!KT_CHECK_PARAMETER(FileBuilder,
                          memory != nullptr && outBytes != nullptr && outSize != nullptr)) {
    return false;
  }
  *outBytes = nullptr;
  *outSize = 0;
  if (memory->Stolen) {
    KT_LOG_ERROR(FileBuilder, "Memory writer's buffer was already handed over");
    return false;
  }
  memory->Stolen = true;
  *outBytes = memory->Bytes;
  *outSize = memory->Size;
  memory->Bytes = nullptr;
  memory->Capacity = memory->Size = memory->Position = 0;
  return true;
}

const void* GetMemoryWriterBytes(file_writer* writer, size_t* outSize) {
  memory_writer* memory = AsMemoryWriter(writer);
  if (memory == nullptr) return nullptr;
  if (outSize != nullptr) *outSize = memory->Size;
  return memory->Bytes;
}

}  // namespace ketrel
