#include "rt/ketrel_variant_builder.h"

#include <cstring>

#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"

namespace ketrel {

namespace {

struct VariantEntry {
  VariantEntry* next;
  data_type_definition member;
  int32_t valueSize;
  // value bytes follow
  unsigned char* Value() { return reinterpret_cast<unsigned char*>(this + 1); }
};

}  // namespace

struct variant_builder {
  string_table* strings;
  int32_t memberCount;  // counts the end record
  int64_t objectSize;
  VariantEntry* first;
  VariantEntry* last;
  bool failed;
};

namespace {

bool Fail(variant_builder* builder) {
  builder->failed = true;
  return false;
}

bool AddMember(variant_builder* builder, member_type type, const char* name,
               data_type_definition* reference, int32_t width, const void* value) {
  if (builder == nullptr) return false;
  if (name == nullptr || (width != 0 && value == nullptr)) {
    KT_PARAMETER_CHECK_FAILED(TypedData);
    return Fail(builder);
  }
  const char* interned = MapString(builder->strings, name);
  if (interned == nullptr) return Fail(builder);
  data_type_definition member{};
  member.Type = type;
  member.Name = interned;
  member.ReferenceType = reference;
  member.ArrayWidth = width;
  const int32_t size = GetMemberTypeSize(&member);
  if (size <= 0 || builder->objectSize + size > INT32_MAX) {
    KT_PARAMETER_CHECK_FAILED(TypedData);
    return Fail(builder);
  }
  VariantEntry* entry =
      static_cast<VariantEntry*>(KT_ALLOCATE(sizeof(VariantEntry) + static_cast<size_t>(size)));
  if (entry == nullptr) {
    KT_LOG_ERROR(TypedData, "Unable to add variant member %s", name);
    return Fail(builder);
  }
  entry->next = nullptr;
  entry->member = member;
  entry->valueSize = size;
  std::memcpy(entry->Value(), value, static_cast<size_t>(size));
  if (builder->last != nullptr) {
    builder->last->next = entry;
  } else {
    builder->first = entry;
  }
  builder->last = entry;
  builder->objectSize += size;
  ++builder->memberCount;
  return true;
}

}  // namespace

variant_builder* BeginVariant(string_table* strings) {
  if (!KT_CHECK_PARAMETER(TypedData, strings != nullptr)) return nullptr;
  variant_builder* builder =
      static_cast<variant_builder*>(KT_ALLOCATE_CLEARED(sizeof(variant_builder)));
  if (builder == nullptr) return nullptr;
  builder->strings = strings;
  builder->memberCount = 1;
  return builder;
}

bool AddInt32Member(variant_builder* builder, const char* name, int32_t value) {
  return AddMember(builder, Int32Member, name, nullptr, 0, &value);
}

bool AddInt32ArrayMember(variant_builder* builder, const char* name, int32_t width,
                         const int32_t* values) {
  if (builder != nullptr && width <= 0) {
    KT_PARAMETER_CHECK_FAILED(TypedData);
    return Fail(builder);
  }
  return AddMember(builder, Int32Member, name, nullptr, width, values);
}

bool AddInt8Member(variant_builder* builder, const char* name, int8_t value) {
  return AddMember(builder, Int8Member, name, nullptr, 0, &value);
}

bool AddUInt8ArrayMember(variant_builder* builder, const char* name, int32_t width,
                         const uint8_t* values) {
  if (builder != nullptr && width <= 0) {
    KT_PARAMETER_CHECK_FAILED(TypedData);
    return Fail(builder);
  }
  return AddMember(builder, UInt8Member, name, nullptr, width, values);
}

bool AddUInt32Member(variant_builder* builder, const char* name, uint32_t value) {
  return AddMember(builder, UInt32Member, name, nullptr, 0, &value);
}

bool AddReal32Member(variant_builder* builder, const char* name, float value) {
  return AddMember(builder, Real32Member, name, nullptr, 0, &value);
}

bool AddReal32ArrayMember(variant_builder* builder, const char* name, int32_t width,
                          const float* values) {
  if (builder != nullptr && width <= 0) {
    KT_PARAMETER_CHECK_FAILED(TypedData);
    return Fail(builder);
  }
  return AddMember(builder, Real32Member, name, nullptr, width, values);
}

bool AddStringMember(variant_builder* builder, const char* name, const char* text) {
  if (builder == nullptr) return false;
  const char* interned = nullptr;
  if (text != nullptr) {
    interned = MapString(builder->strings, text);
    if (interned == nullptr) return Fail(builder);
  }
  return AddMember(builder, StringMember, name, nullptr, 0, &interned);
}

bool AddReferenceMember(variant_builder* builder, const char* name, data_type_definition* type,
                        void* object) {
  return AddMember(builder, ReferenceMember, name, type, 0, &object);
}

bool AddReferenceToArrayMember(variant_builder* builder, const char* name,
                               data_type_definition* type, int32_t count, void* array) {
  if (builder != nullptr && count < 0) {
    KT_PARAMETER_CHECK_FAILED(TypedData);
    return Fail(builder);
  }
  unsigned char value[12];
  std::memcpy(value, &count, 4);
  std::memcpy(value + 4, &array, 8);
  return AddMember(builder, ReferenceToArrayMember, name, type, 0, value);
}

int32_t GetResultingVariantTypeSize(const variant_builder* builder) {
  if (builder == nullptr) return 0;
  return static_cast<int32_t>(sizeof(data_type_definition)) * builder->memberCount;
}

int32_t GetResultingVariantObjectSize(const variant_builder* builder) {
  if (builder == nullptr) return 0;
  return builder->objectSize == 0 ? 4 : static_cast<int32_t>(builder->objectSize);
}

bool EndVariant(variant_builder* builder, void* typeMemory, void* objectMemory,
                data_type_definition** outType, void** outObject) {
  if (outType != nullptr) *outType = nullptr;
  if (outObject != nullptr) *outObject = nullptr;
  if (builder == nullptr) return false;
  bool ok = typeMemory != nullptr && objectMemory != nullptr;
  if (ok && builder->failed) {
    KT_LOG_ERROR(TypedData, "Variant is incomplete: a member could not be added");
    ok = false;
  }
  if (ok) {
    data_type_definition* type = static_cast<data_type_definition*>(typeMemory);
    unsigned char* object = static_cast<unsigned char*>(objectMemory);
    int32_t index = 0;
    int64_t offset = 0;
    for (VariantEntry* entry = builder->first; entry != nullptr; entry = entry->next) {
      std::memcpy(&type[index++], &entry->member, sizeof(data_type_definition));
      std::memcpy(object + offset, entry->Value(), static_cast<size_t>(entry->valueSize));
      offset += entry->valueSize;
    }
    const data_type_definition end{};
    std::memcpy(&type[index], &end, sizeof(end));
    // An empty variant still has a (zeroed) 4-byte object.
    if (offset == 0) std::memset(object, 0, 4);
    if (outType != nullptr) *outType = type;
    if (outObject != nullptr) *outObject = objectMemory;
  }
  AbortVariant(builder);
  return ok;
}

void AbortVariant(variant_builder* builder) {
  if (builder == nullptr) return;
  for (VariantEntry* entry = builder->first; entry != nullptr;) {
    VariantEntry* next = entry->next;
    FreeBlock(entry);
    entry = next;
  }
  FreeBlock(builder);
}

}  // namespace ketrel
