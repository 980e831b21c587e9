#pragma once
// Builds extended data: an object whose data type is made at run time, member
// by member, to hang off an object's `ExtendedData` (a `VariantReferenceMember`).
//
//   variant_builder* b = BeginVariant(strings);
//   AddInt32Member(b, "Flags", 3); AddStringMember(b, "Note", "hello");
//   void* type = allocate(GetResultingVariantTypeSize(b));
//   void* object = allocate(GetResultingVariantObjectSize(b));
//   EndVariant(b, type, object, &outType, &outObject);
//
// Members are laid out in the order added, without padding, exactly as
// GetTotalObjectSize of the resulting type computes. Names and string values
// are interned in the builder's string table, which must outlive the result.

#include <cstdint>

#include "rt/ketrel_data_types.h"
#include "rt/ketrel_string_table.h"

namespace ketrel {

struct variant_builder;

// Null (parameter check) without a string table, or when memory runs out.
variant_builder* BeginVariant(string_table* strings);

// Each add returns false when the member could not be added (bad arguments or
// no memory). Such a failure is remembered: EndVariant then fails instead of
// handing back an object that silently lacks the member. A null builder is
// accepted and ignored (false).
bool AddInt32Member(variant_builder* builder, const char* name, int32_t value);
bool AddInt32ArrayMember(variant_builder* builder, const char* name, int32_t width,
                         const int32_t* values);
bool AddInt8Member(variant_builder* builder, const char* name, int8_t value);
// A fixed run of bytes (padding such as a record's "Unused" field).
bool AddUInt8ArrayMember(variant_builder* builder, const char* name, int32_t width,
                         const uint8_t* values);
bool AddUInt32Member(variant_builder* builder, const char* name, uint32_t value);
bool AddReal32Member(variant_builder* builder, const char* name, float value);
bool AddReal32ArrayMember(variant_builder* builder, const char* name, int32_t width,
                          const float* values);
// The value is the interned copy of `text` (null stays null).
bool AddStringMember(variant_builder* builder, const char* name, const char* text);
bool AddReferenceMember(variant_builder* builder, const char* name, data_type_definition* type,
                        void* object);
bool AddReferenceToArrayMember(variant_builder* builder, const char* name,
                               data_type_definition* type, int32_t count, void* array);

// 44 x (members + 1): the definition with its end record.
int32_t GetResultingVariantTypeSize(const variant_builder* builder);
// The object's size, or 4 when it would be 0 (so there is always a block).
int32_t GetResultingVariantObjectSize(const variant_builder* builder);

// Copies the definition into typeMemory and the values into objectMemory
// (sized by the two queries above), points outType/outObject at them and frees
// the builder. With a null memory, or after a failed add (logged), the builder
// is freed, the outputs are null and the result is false.
bool EndVariant(variant_builder* builder, void* typeMemory, void* objectMemory,
                data_type_definition** outType, void** outObject);
// Accepts null.
void AbortVariant(variant_builder* builder);

}  // namespace ketrel
