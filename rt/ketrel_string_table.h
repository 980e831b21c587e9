#pragma once
// Interned texts: every name that goes into a file is mapped to one stored
// copy, so equal texts (byte for byte, case-sensitive) are one pointer and are
// written once.

#include "rt/ketrel_memory.h"

namespace ketrel {

struct string_table;

// A table whose storage blocks (4000 bytes; longer texts get a block of
// their own) come from the heap and are freed with the table. Null when
// memory runs out (logged).
string_table* NewStringTable();
// Same, with storage blocks taken from `allocator` (typically an export's
// arena); the table never frees those blocks, so the texts outlive it.
string_table* NewArenaStringTable(Allocator allocator);

// The interned copy of `text`: zero-terminated, alive as long as the table
// (or its allocator). Equal texts always give the same pointer. Null for a
// null table or text (parameter check) or when memory runs out (logged).
const char* MapString(string_table* table, const char* text);

// Number of distinct texts interned so far.
long StringTableCount(const string_table* table);

// Accepts null. Frees the tree, and the blocks unless an allocator gave them.
void FreeStringTable(string_table* table);

}  // namespace ketrel
