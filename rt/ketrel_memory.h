#pragma once
// The library's allocator: every block records the source file and line that
// asked for it and an allocation number, so a leak scope can name each block
// still live when it closes. Arenas hand out pieces of large blocks and free
// them all at once; the objects of one export live in one arena.
//
// Thread-safe: fitting workers allocate from their own threads.

#include <cstddef>
#include <cstdint>

namespace ketrel {

// Returns a block aligned to 16 bytes, or null after logging
// "Unable to allocate ..." when memory (or the test's failure hook) says no.
// A size of 0 gives a valid, distinct block.
void* AllocateBlock(size_t size, const char* file, int line);
// Same, without the log: for a caller that has another way when memory is
// short (and says so itself if it has none).
void* TryAllocateBlock(size_t size, const char* file, int line);
// Same, for count elements of elementSize bytes; null (and logged) when the
// product overflows.
void* AllocateArrayBlock(size_t elementSize, size_t count, const char* file, int line);
// Same as AllocateBlock, with every byte zero.
void* AllocateClearedBlock(size_t size, const char* file, int line);
// Accepts null.
void FreeBlock(void* block);

size_t LiveBlockCount();
// Allocations that failed on the calling thread so far (logged or not): a
// step that falls back on something else when memory is short can tell
// afterwards whether its result is the one it would have made with enough.
uint64_t AllocationFailuresOnThisThread();
uint64_t NextAllocationNumber();

// Makes the allocation `countdown` allocations from now fail (0 = the next
// one); a negative value turns the hook off. For tests of failure paths.
void SetAllocationFailureCountdown(long countdown);

struct LeakScope {
  uint64_t firstAllocation = 0;
};
LeakScope OpenLeakScope();
// Logs every block allocated since the scope opened and still live as the
// warning "Unfreed block\n%s(%d): (%d bytes at 0x%x, allocnum: %d)" and
// returns how many there were.
size_t CloseLeakScope(LeakScope scope);

// An allocator as a table of functions, so builders can take heap or arena.
struct Allocator {
  void* (*allocate)(void* user, size_t size, const char* file, int line) = nullptr;
  void (*free)(void* user, void* block) = nullptr;  // may be a no-op (arena)
  void* user = nullptr;
};
Allocator HeapAllocator();

struct Arena;
// Blocks of at least `blockSize` bytes are taken from the allocator as needed.
Arena* NewArena(size_t blockSize = 64 * 1024);
// Null after logging when memory runs out; `alignment` must be a power of two
// no greater than 16. Pieces are zero-filled.
void* ArenaAllocate(Arena* arena, size_t size, size_t alignment, const char* file, int line);
size_t ArenaBytesUsed(const Arena* arena);
// Accepts null; frees every piece.
void FreeArena(Arena* arena);
Allocator ArenaAllocator(Arena* arena);

}  // namespace ketrel

#define KT_ALLOCATE(size) ::ketrel::AllocateBlock((size), __FILE__, __LINE__)
#define KT_ALLOCATE_CLEARED(size) ::ketrel::AllocateClearedBlock((size), __FILE__, __LINE__)
#define KT_ALLOCATE_ARRAY(Type, count) \
  static_cast<Type*>(::ketrel::AllocateArrayBlock(sizeof(Type), (count), __FILE__, __LINE__))
#define KT_ARENA_ALLOCATE(arena, size, alignment) \
  ::ketrel::ArenaAllocate((arena), (size), (alignment), __FILE__, __LINE__)
#define KT_ALLOCATOR_ALLOCATE(allocator, size) \
  ((allocator).allocate((allocator).user, (size), __FILE__, __LINE__))
