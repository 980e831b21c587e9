#include "rt/ketrel_memory.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

#include "rt/ketrel_log.h"

namespace ketrel {
namespace {

// Every block is preceded by this header; live blocks form a doubly linked
// list so freeing is O(1) and a leak scope can walk what is still live.
struct alignas(16) BlockHeader {
  BlockHeader* previous;
  BlockHeader* next;
  const char* file;
  size_t size;
  uint64_t number;
  int line;
  uint32_t magic;
};
constexpr uint32_t kLiveMagic = 0x4b54424cu;  // "KTBL"

struct HeapState {
  std::mutex mutex;
  BlockHeader* newest = nullptr;
  size_t live = 0;
  uint64_t nextNumber = 1;
  long failureCountdown = -1;
};

HeapState& Heap() {
  static HeapState* state = new HeapState;  // never destroyed: blocks may outlive statics
  return *state;
}

}  // namespace

namespace {

thread_local uint64_t failuresOnThisThread = 0;

void* Allocate(size_t size, const char* file, int line, bool logFailure) {
  HeapState& heap = Heap();
  bool failNow = false;
  {
    std::lock_guard<std::mutex> lock(heap.mutex);
    if (heap.failureCountdown == 0) failNow = true;
    if (heap.failureCountdown >= 0) --heap.failureCountdown;
  }
  BlockHeader* header = nullptr;
  if (!failNow && size <= std::numeric_limits<size_t>::max() - sizeof(BlockHeader)) {
    header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size));
  }
  if (!header) {
    ++failuresOnThisThread;
    if (!logFailure) return nullptr;
    unsigned long long total = size > std::numeric_limits<size_t>::max() - sizeof(BlockHeader)
                                   ? size
                                   : size + sizeof(BlockHeader);
    KT_LOG_ERROR(Memory, "Unable to allocate %llu bytes (%llu requested by %s:%d).", total,
                 static_cast<unsigned long long>(size), file ? file : "?", line);
    return nullptr;
  }
  header->file = file ? file : "?";
  header->line = line;
  header->size = size;
  header->magic = kLiveMagic;
  std::lock_guard<std::mutex> lock(heap.mutex);
  header->number = heap.nextNumber++;
  header->previous = nullptr;
  header->next = heap.newest;
  if (heap.newest) heap.newest->previous = header;
  heap.newest = header;
  ++heap.live;
  return header + 1;
}

}  // namespace

void* AllocateBlock(size_t size, const char* file, int line) {
  return Allocate(size, file, line, true);
}

void* TryAllocateBlock(size_t size, const char* file, int line) {
  return Allocate(size, file, line, false);
}

uint64_t AllocationFailuresOnThisThread() { return failuresOnThisThread; }

void* AllocateArrayBlock(size_t elementSize, size_t count, const char* file, int line) {
  if (elementSize != 0 && count > std::numeric_limits<size_t>::max() / elementSize) {
    KT_LOG_ERROR(Memory, "Unable to allocate %llu x %llu bytes (requested by %s:%d).",
                 static_cast<unsigned long long>(count),
                 static_cast<unsigned long long>(elementSize), file ? file : "?", line);
    return nullptr;
  }
  return AllocateBlock(elementSize * count, file, line);
}

void* AllocateClearedBlock(size_t size, const char* file, int line) {
  void* block = AllocateBlock(size, file, line);
  if (block) std::memset(block, 0, size);
  return block;
}

void FreeBlock(void* block) {
  if (!block) return;
  BlockHeader* header = static_cast<BlockHeader*>(block) - 1;
  HeapState& heap = Heap();
  {
    std::lock_guard<std::mutex> lock(heap.mutex);
    if (header->magic != kLiveMagic) {
      // A double free or a foreign pointer: refuse rather than corrupt the list.
      KT_LOG_ERROR(Memory, "FreeBlock: %p is not a live block", block);
      return;
    }
    header->magic = 0;
    if (header->previous) header->previous->next = header->next;
    if (header->next) header->next->previous = header->previous;
    if (heap.newest == header) heap.newest = header->next;
    --heap.live;
  }
  std::free(header);
}

size_t LiveBlockCount() {
  std::lock_guard<std::mutex> lock(Heap().mutex);
  return Heap().live;
}

uint64_t NextAllocationNumber() {
  std::lock_guard<std::mutex> lock(Heap().mutex);
  return Heap().nextNumber;
}

void SetAllocationFailureCountdown(long countdown) {
  std::lock_guard<std::mutex> lock(Heap().mutex);
  Heap().failureCountdown = countdown < 0 ? -1 : countdown;
}

LeakScope OpenLeakScope() { return LeakScope{NextAllocationNumber()}; }

size_t CloseLeakScope(LeakScope scope) {
  struct Leak {
    const char* file;
    int line;
    size_t size;
    const void* address;
    uint64_t number;
  };
  // Gather under the lock, log outside it (logging may allocate).
  Leak found[64];
  size_t count = 0;
  {
    std::lock_guard<std::mutex> lock(Heap().mutex);
    for (BlockHeader* h = Heap().newest; h && h->number >= scope.firstAllocation; h = h->next) {
      if (count < 64) found[count] = Leak{h->file, h->line, h->size, h + 1, h->number};
      ++count;
    }
  }
  for (size_t i = 0; i < count && i < 64; ++i) {
    KT_LOG_WARNING(Memory, "Unfreed block\n%s(%d): (%llu bytes at 0x%llx, allocnum: %llu)",
                   found[i].file, found[i].line, static_cast<unsigned long long>(found[i].size),
                   static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(found[i].address)),
                   static_cast<unsigned long long>(found[i].number));
  }
  if (count > 64)
    KT_LOG_WARNING(Memory, "... and %llu more unfreed blocks",
                   static_cast<unsigned long long>(count - 64));
  return count;
}

namespace {
void* HeapAllocate(void*, size_t size, const char* file, int line) {
  return AllocateBlock(size, file, line);
}
void HeapFree(void*, void* block) { FreeBlock(block); }
}  // namespace

Allocator HeapAllocator() { return Allocator{HeapAllocate, HeapFree, nullptr}; }

// ---- Arena ----

struct ArenaBlock {
  ArenaBlock* next;
  size_t capacity;
  size_t used;
  // data follows, aligned to 16
};

struct Arena {
  size_t blockSize;
  size_t bytesUsed;
  ArenaBlock* blocks;
};

namespace {
constexpr size_t kArenaBlockHeader = (sizeof(ArenaBlock) + 15) & ~size_t(15);
}

Arena* NewArena(size_t blockSize) {
  Arena* arena = static_cast<Arena*>(KT_ALLOCATE(sizeof(Arena)));
  if (!arena) return nullptr;
  arena->blockSize = blockSize < 256 ? 256 : blockSize;
  arena->bytesUsed = 0;
  arena->blocks = nullptr;
  return arena;
}

void* ArenaAllocate(Arena* arena, size_t size, size_t alignment, const char* file, int line) {
  if (!arena || alignment == 0 || (alignment & (alignment - 1)) != 0 || alignment > 16) {
    Log(LogType::Error, LogOrigin::Memory, file, line, "%s", kParameterCheckFailed);
    return nullptr;
  }
  ArenaBlock* block = arena->blocks;
  if (block) {
    size_t offset = (block->used + alignment - 1) & ~(alignment - 1);
    if (offset <= block->capacity && size <= block->capacity - offset) {
      block->used = offset + size;
      arena->bytesUsed += size;
      char* data = reinterpret_cast<char*>(block) + kArenaBlockHeader + offset;
      std::memset(data, 0, size);
      return data;
    }
  }
  size_t capacity = size > arena->blockSize ? size : arena->blockSize;
  if (capacity > std::numeric_limits<size_t>::max() - kArenaBlockHeader) {
    Log(LogType::Error, LogOrigin::Memory, file, line, "Unable to allocate %llu bytes in arena",
        static_cast<unsigned long long>(size));
    return nullptr;
  }
  block = static_cast<ArenaBlock*>(AllocateBlock(kArenaBlockHeader + capacity, file, line));
  if (!block) return nullptr;
  block->capacity = capacity;
  block->used = size;
  // A large piece gets a block of its own behind the current one, so the
  // current block's free space stays usable.
  if (arena->blocks && capacity == size && size > arena->blockSize) {
    block->next = arena->blocks->next;
    arena->blocks->next = block;
  } else {
    block->next = arena->blocks;
    arena->blocks = block;
  }
  arena->bytesUsed += size;
  char* data = reinterpret_cast<char*>(block) + kArenaBlockHeader;
  std::memset(data, 0, size);
  return data;
}

size_t ArenaBytesUsed(const Arena* arena) { return arena ? arena->bytesUsed : 0; }

void FreeArena(Arena* arena) {
  if (!arena) return;
  for (ArenaBlock* block = arena->blocks; block;) {
    ArenaBlock* next = block->next;
    FreeBlock(block);
    block = next;
  }
  FreeBlock(arena);
}

namespace {
void* ArenaAllocateThunk(void* user, size_t size, const char* file, int line) {
  return ArenaAllocate(static_cast<Arena*>(user), size, 16, file, line);
}
void ArenaFreeThunk(void*, void*) {}
}  // namespace

Allocator ArenaAllocator(Arena* arena) {
  return Allocator{ArenaAllocateThunk, ArenaFreeThunk, arena};
}

}  // namespace ketrel
