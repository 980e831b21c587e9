#include "rt/ketrel_data_tree_writer.h"

#include <cstring>

#include "rt/ketrel_crc.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_object_ops.h"
#include "rt/ketrel_standard_types.h"
#include "rt/ketrel_string_table.h"

namespace ketrel {

namespace {

constexpr int kRecordsPerPool = 4096;
constexpr uint32_t kNativePointerBytes = 8;
constexpr uint32_t kMemberRecordSize = sizeof(data_type_definition);
constexpr uint32_t kMaxRewrites = 16;

// One per pointer met (object, array, string or type definition).
struct BlockRecord {
  const void* key;
  uint32_t stamp;          // the pass that wrote the block
  file_location location;  // before writing, SectionIndex is the chosen section
  uint32_t explicitSection;
  uint32_t sectionForObjects;  // when the key is a type definition
  // For type definitions: the registered definition this one is written as
  // (itself or an equal one met earlier), and the next type with its CRC.
  const data_type_definition* canonical;
  BlockRecord* nextWithSameCrc;
  // What the block written in this pass holds, so that a later reference to
  // the same address as more elements (or another type) is not pointed at a
  // block that is too short for it.
  const data_type_definition* writtenType;
  uint32_t writtenSize;
  uint32_t rewrites;  // in this pass; bounded so aliasing cycles cannot loop
};

struct RecordPool {
  RecordPool* next;
  int used;
  BlockRecord records[kRecordsPerPool];
};

// Open-addressing hash from a key to a record; capacity is a power of two,
// kept at most half full.
struct RecordMap {
  uintptr_t* keys;  // 0 = empty slot; the null pointer is stored as ~0
  BlockRecord** values;
  size_t capacity;
  size_t count;
};

uintptr_t MapKey(uintptr_t value) { return value == 0 ? ~uintptr_t{0} : value; }

size_t Hash(uintptr_t key) {
  uint64_t x = key;
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  return static_cast<size_t>(x);
}

bool GrowMap(RecordMap& map) {
  const size_t capacity = map.capacity == 0 ? 1024 : map.capacity * 2;
  uintptr_t* keys = KT_ALLOCATE_ARRAY(uintptr_t, capacity);
  BlockRecord** values = KT_ALLOCATE_ARRAY(BlockRecord*, capacity);
  if (keys == nullptr || values == nullptr) {
    FreeBlock(keys);
    FreeBlock(values);
    return false;
  }
  std::memset(keys, 0, capacity * sizeof(uintptr_t));
  for (size_t i = 0; i < map.capacity; ++i) {
    if (map.keys[i] == 0) continue;
    size_t slot = Hash(map.keys[i]) & (capacity - 1);
    while (keys[slot] != 0) slot = (slot + 1) & (capacity - 1);
    keys[slot] = map.keys[i];
    values[slot] = map.values[i];
  }
  FreeBlock(map.keys);
  FreeBlock(map.values);
  map.keys = keys;
  map.values = values;
  map.capacity = capacity;
  return true;
}

BlockRecord* MapFind(const RecordMap& map, uintptr_t key) {
  if (map.capacity == 0) return nullptr;
  for (size_t slot = Hash(key) & (map.capacity - 1);; slot = (slot + 1) & (map.capacity - 1)) {
    if (map.keys[slot] == key) return map.values[slot];
    if (map.keys[slot] == 0) return nullptr;
  }
}

bool MapInsert(RecordMap& map, uintptr_t key, BlockRecord* value) {
  if ((map.count + 1) * 2 > map.capacity && !GrowMap(map)) return false;
  size_t slot = Hash(key) & (map.capacity - 1);
  while (map.keys[slot] != 0) slot = (slot + 1) & (map.capacity - 1);
  map.keys[slot] = key;
  map.values[slot] = value;
  ++map.count;
  return true;
}

void FreeMap(RecordMap& map) {
  FreeBlock(map.keys);
  FreeBlock(map.values);
  map = RecordMap{};
}

// Objects (or arrays of them) whose members still have to be followed. Kept
// on an explicit stack so that a long chain of references (a linked list in
// the caller's data) cannot exhaust the machine stack.
struct PendingMembers {
  const data_type_definition* type;
  file_location location;
  unsigned char* object;
  uint32_t count;
  uint32_t stride;
};

}  // namespace

struct file_data_tree_writer {
  data_type_definition* rootType;
  void* rootObject;
  uint32_t stamp;
  uint32_t flags;
  uint32_t defaultTypeSection;
  uint32_t defaultObjectSection;
  RecordMap objects;
  RecordMap typesByCrc;  // key: CRC + 1 (so CRC 0 is a key too), value: first type
  RecordPool* pools;
  // During a write.
  file_builder* builder;
  string_table* strings;
  PendingMembers* pending;
  size_t pendingCount;
  size_t pendingCapacity;
  bool failed;  // the writer's own bookkeeping failed (logged)
};

namespace {

using Writer = file_data_tree_writer;

BlockRecord* NewRecord(Writer* writer) {
  if (writer->pools == nullptr || writer->pools->used == kRecordsPerPool) {
    RecordPool* pool = static_cast<RecordPool*>(KT_ALLOCATE(sizeof(RecordPool)));
    if (pool == nullptr) return nullptr;
    pool->next = writer->pools;
    pool->used = 0;
    writer->pools = pool;
  }
  BlockRecord* record = &writer->pools->records[writer->pools->used++];
  *record = BlockRecord{};
  return record;
}

BlockRecord* FindRecord(Writer* writer, const void* pointer) {
  return MapFind(writer->objects, MapKey(reinterpret_cast<uintptr_t>(pointer)));
}

// The record of `pointer`, made on first use: its section is the
// section-for-objects of its type's record (the null record for no type).
BlockRecord* GetRecord(Writer* writer, const void* pointer, const data_type_definition* type) {
  if (BlockRecord* found = FindRecord(writer, pointer)) return found;
  BlockRecord* typeRecord = GetRecord(writer, type, nullptr);
  if (typeRecord == nullptr) return nullptr;
  BlockRecord* record = NewRecord(writer);
  if (record == nullptr ||
      !MapInsert(writer->objects, MapKey(reinterpret_cast<uintptr_t>(pointer)), record)) {
    writer->failed = true;
    return nullptr;
  }
  record->key = pointer;
  record->location.SectionIndex = typeRecord->sectionForObjects;
  record->sectionForObjects = writer->defaultObjectSection;
  return record;
}

bool AlreadyWritten(const Writer* writer, const BlockRecord* record) {
  return record->stamp == writer->stamp;
}

// Does the block already written for this address hold `size` bytes of `type`?
bool WrittenBlockServes(Writer* writer, BlockRecord* record, const data_type_definition* type,
                        uint64_t size) {
  if (record->writtenSize >= size &&
      (record->writtenType == type || DataTypesAreEqualWithNames(record->writtenType, type))) {
    return true;
  }
  if (++record->rewrites > kMaxRewrites) {
    KT_LOG_ERROR(DataTree, "One address is referenced as too many different things");
    writer->failed = true;
    return true;
  }
  return false;
}

// A location for blocks that could not be recorded; fix-ups to it are still
// in range, and the write reports the failure.
file_location Nowhere(const Writer* writer) {
  return file_location{writer->defaultObjectSection, 0, 0};
}

file_location Offset(const file_location& location, uint32_t offset) {
  return file_location{location.SectionIndex, location.PartIndex, location.Offset + offset};
}

template <typename T>
T Load(const void* address) {
  T value;
  std::memcpy(&value, address, sizeof(T));
  return value;
}

template <typename T>
void Store(void* address, T value) {
  std::memcpy(address, &value, sizeof(T));
}

// ---- Type CRC --------------------------------------------------------------

struct CrcChain {
  const data_type_definition* type;
  const CrcChain* outer;
};

uint32_t TypeCrc(const data_type_definition* type, const CrcChain* chain) {
  const CrcChain here{type, chain};
  uint32_t state = kCrc32Initial;
  for (const data_type_definition* m = type; m != nullptr && m->Type != EndMember; ++m) {
    const uint32_t memberType = m->Type;
    state = UpdateCrc32(state, &memberType, 4);
    if (m->Name != nullptr) state = UpdateCrc32(state, m->Name, std::strlen(m->Name));
    const bool refers = m->Type == ReferenceMember || m->Type == ReferenceToArrayMember ||
                        m->Type == ArrayOfReferencesMember;
    if (refers && m->ReferenceType != nullptr) {
      bool inProgress = false;
      for (const CrcChain* c = &here; c != nullptr; c = c->outer) {
        if (c->type == m->ReferenceType) inProgress = true;
      }
      if (!inProgress) {
        const uint32_t referenced = TypeCrc(m->ReferenceType, &here);
        state = UpdateCrc32(state, &referenced, 4);
      }
    }
    state = UpdateCrc32(state, &m->ArrayWidth, 4);
  }
  return FinishCrc32(state);
}

// ---- Normalising references ------------------------------------------------

void NormaliseObject(const data_type_definition* type, unsigned char* object, int depth);

void NormaliseMember(const data_type_definition* m, unsigned char* a, int depth) {
  switch (m->Type) {
    case InlineMember: {
      const int32_t width = GetMemberArrayWidth(m);
      const int32_t unit = GetMemberUnitSize(m);
      if (unit <= 0) break;
      for (int32_t i = 0; i < width; ++i)
        NormaliseObject(m->ReferenceType, a + i * unit, depth + 1);
      break;
    }
    case ReferenceMember:
      if (m->ReferenceType != nullptr && IsEmptyDataType(m->ReferenceType)) {
        Store<void*>(a, nullptr);
      }
      break;
    case ReferenceToArrayMember:
    case ArrayOfReferencesMember:
      if (Load<int32_t>(a) == 0 || Load<void*>(a + 4) == nullptr) {
        Store<int32_t>(a, 0);
        Store<void*>(a + 4, nullptr);
      }
      break;
    case VariantReferenceMember: {
      // A type without an object is kept and written alone: dropping it would
      // lose what the variant is (a curve's format, say).
      const auto* type = Load<const data_type_definition*>(a);
      if (type == nullptr) {
        Store<void*>(a + 8, nullptr);
      } else if (IsEmptyDataType(type)) {
        Store<void*>(a + 8, nullptr);
      }
      break;
    }
    case ReferenceToVariantArrayMember: {
      const auto* type = Load<const data_type_definition*>(a);
      if (type == nullptr || IsEmptyDataType(type) || Load<int32_t>(a + 8) == 0 ||
          Load<void*>(a + 12) == nullptr) {
        Store<void*>(a, nullptr);
        Store<int32_t>(a + 8, 0);
        Store<void*>(a + 12, nullptr);
      }
      break;
    }
    case EmptyReferenceMember:
      Store<void*>(a, nullptr);
      break;
    default:
      break;
  }
}

void NormaliseObject(const data_type_definition* type, unsigned char* object, int depth) {
  if (type == nullptr || depth > 32) return;
  for (const data_type_definition* m = type; m->Type != EndMember; ++m) {
    NormaliseMember(m, object, depth);
    object += GetMemberTypeSize(m);
  }
}

// ---- Writing ---------------------------------------------------------------

file_location WriteObject(Writer* writer, data_type_definition* type, void* object);
file_location WriteType(Writer* writer, data_type_definition* type);
void WriteMembers(Writer* writer, const data_type_definition* type, const file_location& location,
                  unsigned char* object);

void Fixup(Writer* writer, const file_location& from, uint32_t offset, const file_location& to) {
  AddFilePointerFixup(writer->builder, from, offset, to);
}

void Defer(Writer* writer, const data_type_definition* type, const file_location& location,
           unsigned char* object, uint32_t count, uint32_t stride) {
  if (writer->pendingCount == writer->pendingCapacity) {
    const size_t capacity = writer->pendingCapacity == 0 ? 256 : writer->pendingCapacity * 2;
    PendingMembers* grown = KT_ALLOCATE_ARRAY(PendingMembers, capacity);
    if (grown == nullptr) {
      writer->failed = true;
      return;
    }
    if (writer->pendingCount != 0) {
      std::memcpy(grown, writer->pending, writer->pendingCount * sizeof(PendingMembers));
    }
    FreeBlock(writer->pending);
    writer->pending = grown;
    writer->pendingCapacity = capacity;
  }
  writer->pending[writer->pendingCount++] = PendingMembers{type, location, object, count, stride};
}

// Follows the members of everything deferred, newest first, until nothing
// is left; following them may defer more.
void WritePending(Writer* writer) {
  while (writer->pendingCount != 0) {
    const PendingMembers work = writer->pending[--writer->pendingCount];
    for (uint32_t i = 0; i < work.count; ++i) {
      WriteMembers(writer, work.type, Offset(work.location, i * work.stride),
                   work.object + size_t{i} * work.stride);
    }
  }
}

file_location WriteString(Writer* writer, const char* text) {
  BlockRecord* record = GetRecord(writer, text, StringType);
  if (record == nullptr) return Nowhere(writer);
  if (AlreadyWritten(writer, record)) return record->location;
  record->stamp = writer->stamp;
  const uint32_t size = static_cast<uint32_t>(std::strlen(text)) + 1;
  AddFileObject(writer->builder, record->location.SectionIndex, 1, size, text, &record->location);
  return record->location;
}

// Interns `text` so that equal texts become one block.
file_location WriteInternedString(Writer* writer, const char* text) {
  const char* interned = MapString(writer->strings, text);
  if (interned == nullptr) {
    writer->failed = true;
    return Nowhere(writer);
  }
  return WriteString(writer, interned);
}

void MarkMixed(Writer* writer, data_type_definition* type, const file_location& objects,
               uint32_t count) {
  const file_location typeLocation = WriteType(writer, type);
  AddFileMarshallingFixup(writer->builder, typeLocation, objects, count);
}

file_location WriteArray(Writer* writer, data_type_definition* type, uint32_t holderSection,
                         int32_t count, void* array) {
  BlockRecord* record = GetRecord(writer, array, nullptr);
  if (record == nullptr) return Nowhere(writer);
  const int32_t size = GetTotalObjectSize(type);
  const uint64_t total = uint64_t(size) * uint64_t(count);
  if (!KT_CHECK_PARAMETER(DataTree, count > 0 && total <= UINT32_MAX)) return Nowhere(writer);
  if (AlreadyWritten(writer, record)) {
    if (WrittenBlockServes(writer, record, type, total)) return record->location;
    // The address was written as something shorter: this reference gets a
    // complete block of its own, which later references may share.
  } else {
    record->rewrites = 0;
    if (!record->explicitSection) record->location.SectionIndex = holderSection;
  }
  record->stamp = writer->stamp;
  record->writtenType = type;
  record->writtenSize = uint32_t(total);
  unsigned char* bytes = static_cast<unsigned char*>(array);
  const bool pointers = DataTypeHasPointers(type);
  if (pointers) {
    for (int32_t i = 0; i < count; ++i) NormaliseObject(type, bytes + int64_t{i} * size, 0);
  }
  const uint32_t marshalling = GetObjectMarshalling(type);
  AddFileObject(writer->builder, record->location.SectionIndex, marshalling,
                static_cast<uint32_t>(total), array, &record->location);
  const file_location location = record->location;
  if (IsMixedMarshalling(marshalling)) MarkMixed(writer, type, location, uint32_t(count));
  if (pointers) Defer(writer, type, location, bytes, uint32_t(count), uint32_t(size));
  return location;
}

void WriteMember(Writer* writer, const data_type_definition* m, const file_location& location,
                 unsigned char* address) {
  const uint32_t section = location.SectionIndex;
  switch (m->Type) {
    case InlineMember: {
      const int32_t width = GetMemberArrayWidth(m);
      const int32_t unit = GetMemberUnitSize(m);
      for (int32_t i = 0; i < width && unit > 0; ++i) {
        WriteMembers(writer, m->ReferenceType, Offset(location, uint32_t(i * unit)),
                     address + i * unit);
      }
      break;
    }
    case ReferenceMember: {
      void* pointer = Load<void*>(address);
      if (pointer != nullptr)
        Fixup(writer, location, 0, WriteObject(writer, m->ReferenceType, pointer));
      break;
    }
    case ReferenceToArrayMember: {
      const int32_t count = Load<int32_t>(address);
      void* pointer = Load<void*>(address + 4);
      if (count > 0 && pointer != nullptr) {
        Fixup(writer, location, 4, WriteArray(writer, m->ReferenceType, section, count, pointer));
      }
      break;
    }
    case ArrayOfReferencesMember: {
      const int32_t count = Load<int32_t>(address);
      void** pointers = Load<void**>(address + 4);
      if (count <= 0 || pointers == nullptr) break;
      if (!KT_CHECK_PARAMETER(DataTree, uint64_t(count) * kNativePointerBytes <= UINT32_MAX)) break;
      // The pointer array always lives beside its holder.
      file_location array;
      AddFileObject(writer->builder, section, 0, uint32_t(count) * kNativePointerBytes, pointers,
                    &array);
      Fixup(writer, location, 4, array);
      for (int32_t i = 0; i < count; ++i) {
        void* entry = Load<void*>(reinterpret_cast<unsigned char*>(pointers) + i * 8);
        if (entry != nullptr) {
          Fixup(writer, array, uint32_t(i) * 8, WriteObject(writer, m->ReferenceType, entry));
        }
      }
      break;
    }
    case VariantReferenceMember: {
      auto* type = Load<data_type_definition*>(address);
      if (type == nullptr) break;
      Fixup(writer, location, 0, WriteType(writer, type));
      void* object = Load<void*>(address + 8);
      if (object != nullptr) Fixup(writer, location, 8, WriteObject(writer, type, object));
      break;
    }
    case ReferenceToVariantArrayMember: {
      auto* type = Load<data_type_definition*>(address);
      if (type == nullptr) break;
      Fixup(writer, location, 0, WriteType(writer, type));
      const int32_t count = Load<int32_t>(address + 8);
      void* pointer = Load<void*>(address + 12);
      if (count > 0 && pointer != nullptr) {
        Fixup(writer, location, 12, WriteArray(writer, type, section, count, pointer));
      }
      break;
    }
    case StringMember: {
      const char* text = Load<const char*>(address);
      if (text != nullptr) Fixup(writer, location, 0, WriteInternedString(writer, text));
      break;
    }
    default:
      break;
  }
}

void WriteMembers(Writer* writer, const data_type_definition* type, const file_location& location,
                  unsigned char* object) {
  if (type == nullptr) return;
  uint32_t offset = 0;
  for (const data_type_definition* m = type; m->Type != EndMember; ++m) {
    WriteMember(writer, m, Offset(location, offset), object + offset);
    offset += uint32_t(GetMemberTypeSize(m));
  }
}

file_location WriteObject(Writer* writer, data_type_definition* type, void* object) {
  BlockRecord* record = GetRecord(writer, object, type);
  if (record == nullptr) return Nowhere(writer);
  const uint32_t size = uint32_t(GetTotalObjectSize(type));
  if (!AlreadyWritten(writer, record)) {
    record->rewrites = 0;
  } else if (WrittenBlockServes(writer, record, type, size)) {
    return record->location;
  }
  record->stamp = writer->stamp;
  record->writtenType = type;
  record->writtenSize = size;
  unsigned char* bytes = static_cast<unsigned char*>(object);
  NormaliseObject(type, bytes, 0);
  const uint32_t marshalling = GetObjectMarshalling(type);
  AddFileObject(writer->builder, record->location.SectionIndex, marshalling, size, object,
                &record->location);
  const file_location location = record->location;
  if (IsMixedMarshalling(marshalling)) MarkMixed(writer, type, location, 1);
  Defer(writer, type, location, bytes, 1, size);
  return location;
}

// Equal Extra words throughout two types that already compare equal member
// by member: those words belong to the types' owners and travel in the file,
// so types that differ only there must not be merged.
bool ExtraWordsEqual(const data_type_definition* a, const data_type_definition* b,
                     const CrcChain* chain) {
  if (a == b || a == nullptr || b == nullptr) return a == b;
  for (const CrcChain* c = chain; c != nullptr; c = c->outer) {
    if (c->type == a) return true;  // already being compared further up
  }
  const CrcChain here{a, chain};
  for (; a->Type != EndMember && b->Type != EndMember; ++a, ++b) {
    if (std::memcmp(a->Extra, b->Extra, sizeof(a->Extra)) != 0) return false;
    if (!ExtraWordsEqual(a->ReferenceType, b->ReferenceType, &here)) return false;
  }
  return a->Type == b->Type;
}

// The definition written for `type`: an equal one registered earlier, or
// `type` itself once registered.
data_type_definition* Canonical(Writer* writer, data_type_definition* type, BlockRecord* record) {
  if (record->canonical != nullptr) return const_cast<data_type_definition*>(record->canonical);
  const uint32_t crc = TypeCrc(type, nullptr);
  const uintptr_t key = uintptr_t{crc} + 1;
  BlockRecord* first = MapFind(writer->typesByCrc, key);
  for (BlockRecord* other = first; other != nullptr; other = other->nextWithSameCrc) {
    const auto* candidate = static_cast<const data_type_definition*>(other->key);
    if (DataTypesAreEqualWithNames(candidate, type) && ExtraWordsEqual(candidate, type, nullptr)) {
      record->canonical = candidate;
      return const_cast<data_type_definition*>(candidate);
    }
  }
  record->canonical = type;
  record->nextWithSameCrc = first;
  if (first == nullptr) {
    if (!MapInsert(writer->typesByCrc, key, record)) writer->failed = true;
  } else {
    // Keep the first registered type at the head; chain the new one behind.
    record->nextWithSameCrc = first->nextWithSameCrc;
    first->nextWithSameCrc = record;
  }
  return type;
}

file_location WriteType(Writer* writer, data_type_definition* type) {
  if (type == nullptr) type = EmptyType;
  BlockRecord* record = GetRecord(writer, type, nullptr);
  if (record == nullptr) return Nowhere(writer);
  data_type_definition* canonical = Canonical(writer, type, record);
  if (canonical != type) return WriteType(writer, canonical);

  const int32_t members = GetMemberCount(type);
  // The end record travels with the definition: make sure it holds no stray
  // bytes (written only when needed, so constant definitions stay untouched).
  data_type_definition* end = type + members;
  static const data_type_definition kCleanEnd{};
  if (std::memcmp(end, &kCleanEnd, sizeof(kCleanEnd)) != 0) {
    const member_type endType = end->Type;
    std::memset(static_cast<void*>(end), 0, sizeof(*end));
    end->Type = endType;
  }
  if (AlreadyWritten(writer, record)) return record->location;
  record->stamp = writer->stamp;

  // Pointer fields are zero in the file: the ones that matter get fix-ups,
  // the rest (reserved words, references of scalar members) must not leak
  // this process's addresses into the output.
  const size_t size = size_t(members + 1) * kMemberRecordSize;
  data_type_definition* copy = static_cast<data_type_definition*>(KT_ALLOCATE(size));
  if (copy == nullptr) {
    writer->failed = true;
    return Nowhere(writer);
  }
  std::memcpy(static_cast<void*>(copy), type, size);
  for (int32_t i = 0; i <= members; ++i) {
    copy[i].Name = nullptr;
    copy[i].ReferenceType = nullptr;
    copy[i].Ignored = 0;
  }
  AddFileObject(writer->builder, record->location.SectionIndex, 4, uint32_t(size), copy,
                &record->location);
  FreeBlock(copy);
  const file_location location = record->location;
  for (int32_t i = 0; i < members; ++i) {
    const data_type_definition& m = type[i];
    if (m.Name != nullptr) {
      Fixup(writer, location, uint32_t(i) * kMemberRecordSize + 4,
            WriteInternedString(writer, m.Name));
    }
    const bool refers = m.Type == InlineMember || m.Type == ReferenceMember ||
                        m.Type == ReferenceToArrayMember || m.Type == ArrayOfReferencesMember;
    if (refers && m.ReferenceType != nullptr) {
      Fixup(writer, location, uint32_t(i) * kMemberRecordSize + 12,
            WriteType(writer, m.ReferenceType));
    }
  }
  return location;
}

}  // namespace

file_data_tree_writer* BeginFileDataTreeWriting(data_type_definition* rootType, void* rootObject,
                                                uint32_t defaultTypeSection,
                                                uint32_t defaultObjectSection) {
  if (!KT_CHECK_PARAMETER(DataTree, rootType != nullptr && rootObject != nullptr)) return nullptr;
  Writer* writer = static_cast<Writer*>(KT_ALLOCATE_CLEARED(sizeof(Writer)));
  if (writer == nullptr) return nullptr;
  writer->rootType = rootType;
  writer->rootObject = rootObject;
  writer->defaultTypeSection = defaultTypeSection;
  writer->defaultObjectSection = defaultObjectSection;
  // The null record stands for "no type": its objects (arrays, type
  // definitions) go to the default type section.
  BlockRecord* null = NewRecord(writer);
  if (null == nullptr || !MapInsert(writer->objects, MapKey(0), null)) {
    EndFileDataTreeWriting(writer);
    return nullptr;
  }
  null->location.SectionIndex = defaultTypeSection;
  null->sectionForObjects = defaultTypeSection;
  return writer;
}

void SetFileDataTreeFlags(file_data_tree_writer* writer, uint32_t flags) {
  if (writer != nullptr) writer->flags = flags;
}

uint32_t GetFileDataTreeFlags(const file_data_tree_writer* writer) {
  return writer != nullptr ? writer->flags : 0;
}

void SetFileSectionForObjectsOfType(file_data_tree_writer* writer, const data_type_definition* type,
                                    uint32_t section) {
  if (writer == nullptr) return;
  if (!KT_CHECK_PARAMETER(DataTree, type != nullptr)) return;
  if (BlockRecord* record = GetRecord(writer, type, nullptr)) record->sectionForObjects = section;
}

void SetFileSectionForObject(file_data_tree_writer* writer, const void* object, uint32_t section) {
  if (writer == nullptr) return;
  if (!KT_CHECK_PARAMETER(DataTree, object != nullptr)) return;
  if (BlockRecord* record = GetRecord(writer, object, nullptr)) {
    record->location.SectionIndex = section;
    record->explicitSection = 1;
  }
}

bool WriteDataTreeToFileBuilder(file_data_tree_writer* writer, file_builder* builder) {
  if (!KT_CHECK_PARAMETER(DataTree, writer != nullptr && builder != nullptr)) return false;
  ++writer->stamp;
  if (!IsFileBuilderNative(builder)) {
    // Conversion to another platform needs the full type tree.
    SetFileBuilderExcludeTypeTree(builder, (writer->flags & ExcludeTypeTree) != 0);
    writer->flags &= ~uint32_t{ExcludeTypeTree};
  }
  if (writer->strings == nullptr) writer->strings = NewStringTable();
  if (writer->strings == nullptr) {
    KT_LOG_ERROR(DataTree, "Unable to create file string table builder");
    return false;
  }
  writer->builder = builder;
  writer->failed = false;
  writer->pendingCount = 0;
  const file_location object = WriteObject(writer, writer->rootType, writer->rootObject);
  WritePending(writer);
  const file_location type = (writer->flags & ExcludeTypeTree) != 0
                                 ? WriteType(writer, EmptyType)
                                 : WriteType(writer, writer->rootType);
  SetFileRoot(builder, type, object);
  writer->builder = nullptr;
  // Each failure was logged where it happened.
  return !writer->failed;
}

void EndFileDataTreeWriting(file_data_tree_writer* writer) {
  if (writer == nullptr) return;
  for (RecordPool* pool = writer->pools; pool != nullptr;) {
    RecordPool* next = pool->next;
    FreeBlock(pool);
    pool = next;
  }
  FreeMap(writer->objects);
  FreeMap(writer->typesByCrc);
  FreeBlock(writer->pending);
  FreeStringTable(writer->strings);
  FreeBlock(writer);
}

uint32_t ComputeTypeCrc(const data_type_definition* type) { return TypeCrc(type, nullptr); }

}  // namespace ketrel
