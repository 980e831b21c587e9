#pragma once
// Self-describing typed data. Every object in a file is described by a data
// type: an array of member records (`data_type_definition`) ended by a record
// whose Type is `EndMember`. Objects are laid out member after member with no
// padding at all; a pointer is 8 bytes in memory (this build) and 4 or 8 bytes
// in a file, by the pointer size of the file.
//
// None of these operations allocates. Bad arguments log
// "Parameter check failed. (Verbose logging disabled)" and yield 0/false.

#include <cstdint>

namespace ketrel {

// What one member holds. Values are stored in files: never renumber.
enum member_type : uint32_t {
  EndMember = 0,
  InlineMember = 1,
  ReferenceMember = 2,
  ReferenceToArrayMember = 3,
  ArrayOfReferencesMember = 4,
  VariantReferenceMember = 5,
  // Formerly "switchable types"; never produced, only recognised when read.
  RemovedSwitchableMember = 6,
  ReferenceToVariantArrayMember = 7,
  StringMember = 8,
  TransformMember = 9,
  Real32Member = 10,
  Int8Member = 11,
  UInt8Member = 12,
  BinormalInt8Member = 13,
  NormalUInt8Member = 14,
  Int16Member = 15,
  UInt16Member = 16,
  BinormalInt16Member = 17,
  NormalUInt16Member = 18,
  Int32Member = 19,
  UInt32Member = 20,
  Real16Member = 21,
  EmptyReferenceMember = 22,
};

inline constexpr uint32_t MemberTypeCount = 23;

// One member of a data type (44 bytes with 8-byte pointers). A data type is a
// pointer to the first record of an array of these, ended by `EndMember`.
#pragma pack(push, 4)
struct data_type_definition {
  member_type Type;
  const char* Name;
  // The referenced or inline type; null for scalars, strings, transforms and
  // variants.
  data_type_definition* ReferenceType;
  // Number of elements; 0 means 1. Pointer-bearing members must have 0.
  int32_t ArrayWidth;
  int32_t Extra[3];  // reserved for the type's owner; 0 in standard types
  intptr_t Ignored;  // reserved; 0
};
#pragma pack(pop)
static_assert(sizeof(data_type_definition) == 44, "member records are 44 bytes");

// The transform every `TransformMember` holds (68 bytes).
enum transform_flags : uint32_t {
  HasPosition = 1,
  HasOrientation = 2,
  HasScaleShear = 4,
};

#pragma pack(push, 1)
struct transform {
  uint32_t Flags;  // transform_flags: which parts differ from identity
  float Position[3];
  float Orientation[4];    // quaternion x, y, z, w
  float ScaleShear[3][3];  // row by row
};
#pragma pack(pop)
static_assert(sizeof(transform) == 68, "transforms are 68 bytes");

// Flags 0, no translation, unit quaternion, unit matrix.
transform IdentityTransform();

// One row of the member type table.
#pragma pack(push, 1)
struct member_type_info {
  const char* Name;
  int32_t Size32;       // bytes of one element with 4-byte pointers
  int32_t Size64;       // bytes of one element with 8-byte pointers
  int32_t Marshalling;  // 4: swap 32-bit words, 2: 16-bit, 1: bytes, 0: pointers only
  const char* CTypeName;
};
#pragma pack(pop)

// How one element of a scalar member holds its value.
enum class member_scalar : uint8_t {
  None,        // pointers, strings, transforms, inline members
  Integer,     // stored as is, clamped to [Low, High]
  Normalised,  // a real stored as round(real * WriteScale), clamped to [Low, High]
  Real32,
  Real16,
};

// Everything code needs to know of a member type: the file's row, then how
// its values are read and written.
struct member_type_traits {
  member_type_info Info;
  bool PointerBearing;  // one pointer slot (width must be 1); strings too
  member_scalar Scalar;
  int64_t Low, High;            // stored integer range (Integer, Normalised)
  double WriteScale;            // Normalised: stored = round(real * WriteScale)
  float ReadScale;              // Normalised: real = stored * ReadScale (float, as files are read)
  int64_t LargestExactInteger;  // largest whole number stored without loss; 0 for none
};

// The table row for `type`, or null (parameter check) when type >= 23.
const member_type_info* GetMemberTypeInfo(uint32_t type);
// The whole row for `type`, or null when type >= 23 (no check: callers ask
// of types they read).
const member_type_traits* GetMemberTypeTraits(uint32_t type);

// One scalar element, any member type. Integers and normalised types move
// their stored integer (clamped into range when stored); reals round half
// away from zero, NaN giving 0. Non-scalar types read 0 and store nothing.
int64_t LoadMemberStored(uint32_t type, const void* at);
void StoreMemberStored(uint32_t type, void* at, int64_t value);
float LoadMemberReal(uint32_t type, const void* at);
void StoreMemberReal(uint32_t type, void* at, double value);
// Round half away from zero into [low, high]; NaN gives 0.
int64_t RoundClamped(double value, int64_t low, int64_t high);

// Size of one element: the referenced type's total size for `InlineMember`,
// else the table's size for this build's (8-byte) pointers.
int32_t GetMemberUnitSize(const data_type_definition* member);
// 1 for pointer-bearing members (a non-zero ArrayWidth there is a parameter
// check failure, read as 1), else ArrayWidth with 0 read as 1.
int32_t GetMemberArrayWidth(const data_type_definition* member);
// Unit size times array width.
int32_t GetMemberTypeSize(const data_type_definition* member);
// The table's size for 32 or 64-bit pointers; 0 for other bit counts, and a
// parameter check failure and 0 for `InlineMember` (size those by recursion).
int32_t GetMemberTypeSizeForPointerSize(uint32_t memberType, int32_t pointerBits);
// Bytes of an object of `type` laid out for 32 or 64-bit pointers, inline
// members included (0 for other bit counts). Cyclic inline types, which could
// never be laid out, are a parameter check failure and count 0.
int32_t GetTotalObjectSizeForPointerSize(const data_type_definition* type, int32_t pointerBits);
// Bytes of an object of `type` in memory; no padding between or after members.
// 0 for null or the empty type.
int32_t GetTotalObjectSize(const data_type_definition* type);
// Number of members before the `EndMember` record.
int32_t GetMemberCount(const data_type_definition* type);
// Bytes of the definition array itself: 44 x (members + 1).
int32_t GetTotalTypeSize(const data_type_definition* type);
// True for null or a type whose first record is `EndMember`.
bool IsEmptyDataType(const data_type_definition* type);

// Marshalling unit of a member (an inline member contributes its type's).
uint32_t GetMemberMarshalling(const data_type_definition* member);
// Bitwise OR of the members' marshalling units.
uint32_t GetObjectMarshalling(const data_type_definition* type);
// True when more than one bit is set: no single swap rule fits the object.
bool IsMixedMarshalling(uint32_t marshalling);

// True when some member (searched through inline members) holds a pointer the
// file must fix up: strings, variants, variant arrays, and references with a
// ReferenceType. `EmptyReferenceMember` does not count.
bool DataTypeHasPointers(const data_type_definition* type);

// Is `type` one of the pointer-bearing member types (width must be 1)?
bool IsPointerBearingMemberType(uint32_t type);
// Member types whose values are real numbers: floats, half floats and the
// normalised integer types.
bool IsRealValuedMemberType(uint32_t type);

// Helpers for writing type tables. They are constexpr so that every table
// is constant-initialised: other modules' static initialisers may read them.
namespace type_table {
constexpr data_type_definition M(member_type type, const char* name,
                                 data_type_definition* reference = nullptr, int32_t width = 0) {
  data_type_definition member{};
  member.Type = type;
  member.Name = name;
  member.ReferenceType = reference;
  member.ArrayWidth = width;
  return member;
}
constexpr data_type_definition End() { return data_type_definition{}; }
}  // namespace type_table

}  // namespace ketrel
