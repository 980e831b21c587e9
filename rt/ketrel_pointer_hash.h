#pragma once
// The ordered pointer map: a balanced search tree keyed by a 64-bit value
// (a pointer, or a packed section/offset pair), each entry holding one 64-bit
// datum. The data tree writer and the platform converter use it to find what
// they have already handled. Nodes are allocated 1024 at a time.

#include <cstdint>

namespace ketrel {

struct pointer_hash;

// Null when memory runs out.
pointer_hash* NewPointerHash();
// Accepts null.
void DeletePointerHash(pointer_hash* hash);
// Adds key -> datum; false for an existing key, and false with
// "Out of space in pointer hash table" when no node can be had.
bool AddPointerToHash(pointer_hash* hash, uint64_t key, uint64_t datum);
// Replaces the datum of an existing key, else adds it.
bool SetHashedPointerData(pointer_hash* hash, uint64_t key, uint64_t datum);
// False and *outDatum 0 when the key is absent.
bool GetHashedPointerData(const pointer_hash* hash, uint64_t key, uint64_t* outDatum);
uint64_t GetPointerHashCount(const pointer_hash* hash);

// In-order iteration:
//   for (pointer_hash_iterator it = FirstHashedPointer(h); IsValidHashedPointer(it);
//        it = NextHashedPointer(h, it)) { ... it.Key, it.Datum ... }
struct pointer_hash_iterator {
  uint64_t Key;
  uint64_t Datum;
  bool Valid;
};
pointer_hash_iterator FirstHashedPointer(const pointer_hash* hash);
pointer_hash_iterator NextHashedPointer(const pointer_hash* hash, pointer_hash_iterator current);
inline bool IsValidHashedPointer(const pointer_hash_iterator& it) { return it.Valid; }
inline uint64_t GetHashedPointerDatum(const pointer_hash_iterator& it) { return it.Datum; }

}  // namespace ketrel
