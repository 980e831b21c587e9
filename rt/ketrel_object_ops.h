#pragma once
// Operations on objects through their data types: clearing, comparing types,
// finding members by name, and copying an object into another layout member
// by member, by name (with number and text conversions between member types).
//
// Nothing here allocates. Bad arguments log the parameter check failure.

#include <cstdint>

#include "rt/ketrel_data_types.h"

namespace ketrel {

// Clears one member at `destination`: a transform becomes the identity, an
// inline member is cleared element by element, anything else becomes zero
// bytes. Returns the bytes covered (the member's full size).
int32_t MakeEmptyDataTypeMember(const data_type_definition* member, void* destination);
// Clears every member of an object; returns the object's size.
int32_t MakeEmptyDataTypeObject(const data_type_definition* type, void* destination);

// Compares member names; true when equal.
using MemberNameCompare = bool (*)(const char* a, const char* b);

// Structural equality: same member types, widths and (when `nameCompare` is
// given) names, with referenced types compared recursively. Cyclic types
// terminate: a pair already being compared further up counts as equal.
bool DataTypesAreEqual(const data_type_definition* a, const data_type_definition* b,
                       MemberNameCompare nameCompare);
// Same with a case-sensitive name comparison.
bool DataTypesAreEqualWithNames(const data_type_definition* a, const data_type_definition* b);

// ASCII case-insensitive equality used to match members by name. A host may
// install its own routine (null restores the default).
bool MemberNamesMatch(const char* a, const char* b);
void SetMemberNameMatchFunction(MemberNameCompare match);

struct found_member {
  const data_type_definition* Member = nullptr;
  int32_t Offset = 0;
};

// Finds the first member whose name matches `name` ignoring ASCII case.
// `result` (may be null) receives the record and its byte offset (startOffset
// plus the sizes of the members before it); on failure it is {null, 0}.
bool FindMatchingMember(const data_type_definition* type, int32_t startOffset, const char* name,
                        found_member* result);

// Called for every matched member pair before the default conversion; returns
// true when it did the work itself.
struct member_conversion_callback {
  bool (*Function)(const data_type_definition* sourceMember, const void* source,
                   const data_type_definition* destinationMember, void* destination,
                   void* user) = nullptr;
  void* User = nullptr;
};

// Where text made from numbers lands when a `StringMember` receives a
// non-string source. With a null Base nothing is stored (the member gets
// null) and only FillOffset grows, so a first pass can measure the room
// needed. Each text takes its length plus terminator, rounded up to 4.
struct conversion_string_area {
  char* Base = nullptr;
  int32_t Capacity = 0;  // bytes available at Base
  int32_t FillOffset = 0;
};

// Copies `source` (of sourceType) into `destination` (of destType) member by
// member, matching names ignoring case. Every destination member is cleared
// first. Returns false (after logging) on bad arguments or when converted
// text does not fit into `strings`.
bool ConvertSingleObject(const data_type_definition* sourceType, const void* source,
                         const data_type_definition* destType, void* destination,
                         member_conversion_callback callback = {},
                         conversion_string_area* strings = nullptr);
// Same, but destination members without a source counterpart keep their
// values.
bool MergeSingleObject(const data_type_definition* sourceType, const void* source,
                       const data_type_definition* destType, void* destination,
                       member_conversion_callback callback = {},
                       conversion_string_area* strings = nullptr);

// Reads one element of a scalar or string member as a number. Reals round
// half away from zero and saturate to the int32 range; NaN gives 0. Types
// that hold no number give 0.
int32_t ConvertMemberToInt32(uint32_t memberType, const void* address);
float ConvertMemberToReal32(uint32_t memberType, const void* address);

}  // namespace ketrel
