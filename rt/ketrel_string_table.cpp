#include "rt/ketrel_string_table.h"

#include <cstring>

#include "rt/ketrel_log.h"

namespace ketrel {

namespace {

constexpr size_t kBlockSize = 4000;
constexpr int kNodesPerPool = 32;

struct StringBlock {
  StringBlock* next;
  size_t capacity;
  size_t used;
  // text bytes follow
  char* Bytes() { return reinterpret_cast<char*>(this + 1); }
};

// AVL tree node; ordered by strcmp of the stored texts.
struct Node {
  const char* text;
  Node* left;
  Node* right;
  int height;
};

struct NodePool {
  NodePool* next;
  int used;
  Node nodes[kNodesPerPool];
};

}  // namespace

struct string_table {
  Node* root;
  NodePool* pools;
  StringBlock* blocks;  // newest first
  bool external;        // blocks come from `allocator` and are not ours to free
  Allocator allocator;
  long count;
};

namespace {

int Height(const Node* node) { return node != nullptr ? node->height : 0; }

void Update(Node* node) {
  const int l = Height(node->left), r = Height(node->right);
  node->height = 1 + (l > r ? l : r);
}

Node* RotateRight(Node* node) {
  Node* pivot = node->left;
  node->left = pivot->right;
  pivot->right = node;
  Update(node);
  Update(pivot);
  return pivot;
}

Node* RotateLeft(Node* node) {
  Node* pivot = node->right;
  node->right = pivot->left;
  pivot->left = node;
  Update(node);
  Update(pivot);
  return pivot;
}

Node* Rebalance(Node* node) {
  Update(node);
  const int balance = Height(node->left) - Height(node->right);
  if (balance > 1) {
    if (Height(node->left->left) < Height(node->left->right)) node->left = RotateLeft(node->left);
    return RotateRight(node);
  }
  if (balance < -1) {
    if (Height(node->right->right) < Height(node->right->left)) {
      node->right = RotateRight(node->right);
    }
    return RotateLeft(node);
  }
  return node;
}

// Inserts `fresh`, whose text is known to be absent.
Node* Insert(Node* node, Node* fresh) {
  if (node == nullptr) return fresh;
  if (std::strcmp(fresh->text, node->text) < 0) {
    node->left = Insert(node->left, fresh);
  } else {
    node->right = Insert(node->right, fresh);
  }
  return Rebalance(node);
}

Node* NewNode(string_table* table) {
  if (table->pools == nullptr || table->pools->used == kNodesPerPool) {
    NodePool* pool = static_cast<NodePool*>(KT_ALLOCATE(sizeof(NodePool)));
    if (pool == nullptr) return nullptr;
    pool->next = table->pools;
    pool->used = 0;
    table->pools = pool;
  }
  Node* node = &table->pools->nodes[table->pools->used++];
  *node = Node{nullptr, nullptr, nullptr, 1};
  return node;
}

StringBlock* NewBlock(string_table* table, size_t capacity) {
  const size_t size = sizeof(StringBlock) + capacity;
  void* memory =
      table->external ? KT_ALLOCATOR_ALLOCATE(table->allocator, size) : KT_ALLOCATE(size);
  if (memory == nullptr) return nullptr;
  StringBlock* block = static_cast<StringBlock*>(memory);
  block->next = nullptr;
  block->capacity = capacity;
  block->used = 0;
  return block;
}

// Copies text (length bytes plus terminator) into the blocks.
char* Store(string_table* table, const char* text, size_t length) {
  const size_t needed = length + 1;
  StringBlock* newest = table->blocks;
  if (newest != nullptr && newest->capacity - newest->used >= needed) {
    char* target = newest->Bytes() + newest->used;
    newest->used += needed;
    std::memcpy(target, text, needed);
    return target;
  }
  // A text that cannot share a standard block (terminator included) gets a
  // block of its own behind the newest one, which stays in use.
  const bool ownBlock = needed > kBlockSize;
  StringBlock* block = NewBlock(table, ownBlock ? needed : kBlockSize);
  if (block == nullptr) return nullptr;
  if (ownBlock && newest != nullptr) {
    block->next = newest->next;
    newest->next = block;
  } else {
    block->next = newest;
    table->blocks = block;
  }
  block->used = needed;
  std::memcpy(block->Bytes(), text, needed);
  return block->Bytes();
}

string_table* NewTable(bool external, Allocator allocator) {
  string_table* table = static_cast<string_table*>(KT_ALLOCATE_CLEARED(sizeof(string_table)));
  if (table == nullptr) return nullptr;
  table->external = external;
  table->allocator = allocator;
  return table;
}

}  // namespace

string_table* NewStringTable() { return NewTable(false, Allocator{}); }

string_table* NewArenaStringTable(Allocator allocator) {
  if (!KT_CHECK_PARAMETER(Strings, allocator.allocate != nullptr)) return nullptr;
  return NewTable(true, allocator);
}

const char* MapString(string_table* table, const char* text) {
  if (!KT_CHECK_PARAMETER(Strings, table != nullptr && text != nullptr)) return nullptr;
  for (const Node* node = table->root; node != nullptr;) {
    const int order = std::strcmp(text, node->text);
    if (order == 0) return node->text;
    node = order < 0 ? node->left : node->right;
  }
  // Take the node first so that a failure leaves no orphaned copy behind.
  Node* node = NewNode(table);
  if (node == nullptr) return nullptr;
  const char* stored = Store(table, text, std::strlen(text));
  if (stored == nullptr) {
    --table->pools->used;  // give the node back
    return nullptr;
  }
  node->text = stored;
  table->root = Insert(table->root, node);
  ++table->count;
  return stored;
}

long StringTableCount(const string_table* table) { return table != nullptr ? table->count : 0; }

void FreeStringTable(string_table* table) {
  if (table == nullptr) return;
  for (NodePool* pool = table->pools; pool != nullptr;) {
    NodePool* next = pool->next;
    FreeBlock(pool);
    pool = next;
  }
  if (!table->external) {
    for (StringBlock* block = table->blocks; block != nullptr;) {
      StringBlock* next = block->next;
      FreeBlock(block);
      block = next;
    }
  }
  FreeBlock(table);
}

}  // namespace ketrel
