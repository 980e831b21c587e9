#include "rt/ketrel_pointer_hash.h"

#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"

namespace ketrel {
namespace {

// An AA tree: a red-black tree whose red links lean right only, which keeps
// insertion to two local repairs (skew and split). Its height stays below
// 2 log2(n), so the recursion below is shallow.
struct hash_node {
  uint64_t Key;
  uint64_t Datum;
  hash_node* Left;
  hash_node* Right;
  uint32_t Level;
};

constexpr uint32_t kNodesPerBlock = 1024;

struct node_block {
  node_block* Next;
  hash_node Nodes[kNodesPerBlock];
};

}  // namespace

struct pointer_hash {
  hash_node* Root;
  node_block* Blocks;
  uint32_t UsedInBlock;  // nodes handed out of the newest block
  uint64_t Count;
};

namespace {

hash_node* NewNode(pointer_hash* hash, uint64_t key, uint64_t datum) {
  if (hash->Blocks == nullptr || hash->UsedInBlock == kNodesPerBlock) {
    node_block* block = static_cast<node_block*>(KT_ALLOCATE(sizeof(node_block)));
    if (block == nullptr) {
      KT_LOG_ERROR(General, "Out of space in pointer hash table");
      return nullptr;
    }
    block->Next = hash->Blocks;
    hash->Blocks = block;
    hash->UsedInBlock = 0;
  }
  hash_node* node = &hash->Blocks->Nodes[hash->UsedInBlock++];
  *node = hash_node{key, datum, nullptr, nullptr, 1};
  ++hash->Count;
  return node;
}

hash_node* Skew(hash_node* node) {
  if (node->Left != nullptr && node->Left->Level == node->Level) {
    hash_node* left = node->Left;
    node->Left = left->Right;
    left->Right = node;
    return left;
  }
  return node;
}

hash_node* Split(hash_node* node) {
  if (node->Right != nullptr && node->Right->Right != nullptr &&
      node->Right->Right->Level == node->Level) {
    hash_node* right = node->Right;
    node->Right = right->Left;
    right->Left = node;
    ++right->Level;
    return right;
  }
  return node;
}

// Inserts or (when `replace`) updates; *outcome: 0 failed, 1 added, 2 found.
hash_node* Insert(pointer_hash* hash, hash_node* node, uint64_t key, uint64_t datum, bool replace,
                  int* outcome) {
  if (node == nullptr) {
    hash_node* fresh = NewNode(hash, key, datum);
    *outcome = fresh != nullptr ? 1 : 0;
    return fresh;
  }
  if (key == node->Key) {
    if (replace) node->Datum = datum;
    *outcome = 2;
    return node;
  }
  if (key < node->Key) {
    hash_node* left = Insert(hash, node->Left, key, datum, replace, outcome);
    if (left == nullptr) return node;
    node->Left = left;
  } else {
    hash_node* right = Insert(hash, node->Right, key, datum, replace, outcome);
    if (right == nullptr) return node;
    node->Right = right;
  }
  return Split(Skew(node));
}

}  // namespace

pointer_hash* NewPointerHash() {
  return static_cast<pointer_hash*>(KT_ALLOCATE_CLEARED(sizeof(pointer_hash)));
}

void DeletePointerHash(pointer_hash* hash) {
  if (hash == nullptr) return;
  for (node_block* block = hash->Blocks; block != nullptr;) {
    node_block* next = block->Next;
    FreeBlock(block);
    block = next;
  }
  FreeBlock(hash);
}

bool AddPointerToHash(pointer_hash* hash, uint64_t key, uint64_t datum) {
  if (!KT_CHECK_PARAMETER(General, hash != nullptr)) return false;
  int outcome = 0;
  hash->Root = Insert(hash, hash->Root, key, datum, false, &outcome);
  return outcome == 1;
}

bool SetHashedPointerData(pointer_hash* hash, uint64_t key, uint64_t datum) {
  if (!KT_CHECK_PARAMETER(General, hash != nullptr)) return false;
  int outcome = 0;
  hash->Root = Insert(hash, hash->Root, key, datum, true, &outcome);
  return outcome != 0;
}

bool GetHashedPointerData(const pointer_hash* hash, uint64_t key, uint64_t* outDatum) {
  if (outDatum != nullptr) *outDatum = 0;
  for (const hash_node* node = hash != nullptr ? hash->Root : nullptr; node != nullptr;) {
    if (key == node->Key) {
      if (outDatum != nullptr) *outDatum = node->Datum;
      return true;
    }
    node = key < node->Key ? node->Left : node->Right;
  }
  return false;
}

uint64_t GetPointerHashCount(const pointer_hash* hash) { return hash != nullptr ? hash->Count : 0; }

namespace {

// The entry with the smallest key above `key` (or at or above it when
// `inclusive`): one walk from the root, so iteration needs no parent links.
pointer_hash_iterator FindFrom(const pointer_hash* hash, uint64_t key, bool inclusive) {
  pointer_hash_iterator best{0, 0, false};
  for (const hash_node* node = hash != nullptr ? hash->Root : nullptr; node != nullptr;) {
    if (node->Key > key || (inclusive && node->Key == key)) {
      best = pointer_hash_iterator{node->Key, node->Datum, true};
      if (node->Key == key) break;
      node = node->Left;
    } else {
      node = node->Right;
    }
  }
  return best;
}

}  // namespace

pointer_hash_iterator FirstHashedPointer(const pointer_hash* hash) {
  return FindFrom(hash, 0, true);
}

pointer_hash_iterator NextHashedPointer(const pointer_hash* hash, pointer_hash_iterator current) {
  if (!current.Valid || current.Key == UINT64_MAX) return pointer_hash_iterator{0, 0, false};
  return FindFrom(hash, current.Key, false);
}

}  // namespace ketrel
