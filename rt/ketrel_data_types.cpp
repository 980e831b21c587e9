#include "rt/ketrel_data_types.h"

#include "rt/ketrel_log.h"

namespace ketrel {

namespace {

// Indexed directly by member type.
const member_type_info kMemberTypes[MemberTypeCount] = {
    {"EndMember", 0, 0, 0, ""},
    {"InlineMember", 0, 0, 0, ""},  // sized and marshalled by its referenced type
    {"ReferenceMember", 4, 8, 0, "void *"},
    {"ReferenceToArrayMember", 8, 12, 4, "void *"},
    {"ArrayOfReferencesMember", 8, 12, 4, "void **"},
    {"VariantReferenceMember", 8, 16, 0, "void *"},
    {"__REMOVED", 0, 0, 0, "unsupported"},
    {"ReferenceToVariantArrayMember", 12, 20, 4, "void *"},
    {"StringMember", 4, 8, 4, "char *"},
    {"TransformMember", 68, 68, 4, "ketrel_transform"},
    {"Real32Member", 4, 4, 4, "ketrel_real32"},
    {"Int8Member", 1, 1, 1, "ketrel_int8"},
    {"UInt8Member", 1, 1, 1, "ketrel_uint8"},
    {"BinormalInt8Member", 1, 1, 1, "ketrel_int8"},
    {"NormalUInt8Member", 1, 1, 1, "ketrel_uint8"},
    {"Int16Member", 2, 2, 2, "ketrel_int16"},
    {"UInt16Member", 2, 2, 2, "ketrel_uint16"},
    {"BinormalInt16Member", 2, 2, 2, "ketrel_int16"},
    {"NormalUInt16Member", 2, 2, 2, "ketrel_uint16"},
    {"Int32Member", 4, 4, 4, "ketrel_int32"},
    {"UInt32Member", 4, 4, 4, "ketrel_uint32"},
    {"Real16Member", 2, 2, 2, "ketrel_real16"},
    {"EmptyReferenceMember", 4, 8, 0, "void *"},
};

// Inline members nest types inside objects; a cycle among them could never be
// laid out, so deeper nesting than this is treated as malformed.
constexpr int kMaxInlineDepth = 32;

int32_t ObjectSize(const data_type_definition* type, int32_t pointerBits, int depth);

int32_t ArrayWidthOf(const data_type_definition* member) {
  if (IsPointerBearingMemberType(member->Type)) {
    // A pointer-bearing member has one slot; a width there is a malformed type.
    if (member->ArrayWidth != 0) KT_PARAMETER_CHECK_FAILED(TypedData);
    return 1;
  }
  return member->ArrayWidth > 0 ? member->ArrayWidth : 1;
}

int32_t UnitSize(const data_type_definition* member, int32_t pointerBits, int depth) {
  if (member->Type >= MemberTypeCount) {
    KT_PARAMETER_CHECK_FAILED(TypedData);
    return 0;
  }
  if (member->Type == InlineMember) {
    if (!KT_CHECK_PARAMETER(TypedData, member->ReferenceType != nullptr)) return 0;
    return ObjectSize(member->ReferenceType, pointerBits, depth + 1);
  }
  const member_type_info& info = kMemberTypes[member->Type];
  return pointerBits == 32 ? info.Size32 : info.Size64;
}

int32_t ObjectSize(const data_type_definition* type, int32_t pointerBits, int depth) {
  if (type == nullptr) return 0;
  if (!KT_CHECK_PARAMETER(TypedData, depth <= kMaxInlineDepth)) return 0;
  int64_t total = 0;
  for (const data_type_definition* m = type; m->Type != EndMember; ++m) {
    total += int64_t{UnitSize(m, pointerBits, depth)} * ArrayWidthOf(m);
    if (!KT_CHECK_PARAMETER(TypedData, total <= INT32_MAX)) return 0;
  }
  return static_cast<int32_t>(total);
}

uint32_t ObjectMarshalling(const data_type_definition* type, int depth);

uint32_t MemberMarshalling(const data_type_definition* member, int depth) {
  if (member->Type >= MemberTypeCount) {
    KT_PARAMETER_CHECK_FAILED(TypedData);
    return 0;
  }
  if (member->Type == InlineMember) return ObjectMarshalling(member->ReferenceType, depth + 1);
  return static_cast<uint32_t>(kMemberTypes[member->Type].Marshalling);
}

uint32_t ObjectMarshalling(const data_type_definition* type, int depth) {
  if (type == nullptr) return 0;
  if (!KT_CHECK_PARAMETER(TypedData, depth <= kMaxInlineDepth)) return 0;
  uint32_t result = 0;
  for (const data_type_definition* m = type; m->Type != EndMember; ++m) {
    result |= MemberMarshalling(m, depth);
  }
  return result;
}

bool HasPointers(const data_type_definition* type, int depth) {
  if (type == nullptr || depth > kMaxInlineDepth) return false;
  for (const data_type_definition* m = type; m->Type != EndMember; ++m) {
    switch (m->Type) {
      case VariantReferenceMember:
      case ReferenceToVariantArrayMember:
      case StringMember:
        return true;
      case ReferenceMember:
      case ReferenceToArrayMember:
      case ArrayOfReferencesMember:
        if (m->ReferenceType != nullptr) return true;
        break;
      case InlineMember:
        if (HasPointers(m->ReferenceType, depth + 1)) return true;
        break;
      default:
        break;
    }
  }
  return false;
}

}  // namespace

transform IdentityTransform() {
  transform t{};
  t.Orientation[3] = 1.0f;
  t.ScaleShear[0][0] = 1.0f;
  t.ScaleShear[1][1] = 1.0f;
  t.ScaleShear[2][2] = 1.0f;
  return t;
}

const member_type_info* GetMemberTypeInfo(uint32_t type) {
  if (!KT_CHECK_PARAMETER(TypedData, type < MemberTypeCount)) return nullptr;
  return &kMemberTypes[type];
}

bool IsRealValuedMemberType(uint32_t type) {
  switch (type) {
    case Real32Member:
    case Real16Member:
    case BinormalInt8Member:
    case NormalUInt8Member:
    case BinormalInt16Member:
    case NormalUInt16Member:
      return true;
    default:
      return false;
  }
}

bool IsPointerBearingMemberType(uint32_t type) {
  switch (type) {
    case ReferenceMember:
    case ReferenceToArrayMember:
    case ArrayOfReferencesMember:
    case VariantReferenceMember:
    case ReferenceToVariantArrayMember:
    case StringMember:
    case EmptyReferenceMember:
      return true;
    default:
      return false;
  }
}

int32_t GetMemberUnitSize(const data_type_definition* member) {
  if (!KT_CHECK_PARAMETER(TypedData, member != nullptr)) return 0;
  return UnitSize(member, 64, 0);
}

int32_t GetMemberArrayWidth(const data_type_definition* member) {
  if (!KT_CHECK_PARAMETER(TypedData, member != nullptr)) return 0;
  return ArrayWidthOf(member);
}

int32_t GetMemberTypeSize(const data_type_definition* member) {
  if (!KT_CHECK_PARAMETER(TypedData, member != nullptr)) return 0;
  int64_t size = int64_t{UnitSize(member, 64, 0)} * ArrayWidthOf(member);
  if (!KT_CHECK_PARAMETER(TypedData, size <= INT32_MAX)) return 0;
  return static_cast<int32_t>(size);
}

int32_t GetMemberTypeSizeForPointerSize(uint32_t memberType, int32_t pointerBits) {
  if (!KT_CHECK_PARAMETER(TypedData, memberType < MemberTypeCount)) return 0;
  if (!KT_CHECK_PARAMETER(TypedData, memberType != InlineMember)) return 0;
  if (pointerBits == 32) return kMemberTypes[memberType].Size32;
  if (pointerBits == 64) return kMemberTypes[memberType].Size64;
  return 0;
}

int32_t GetTotalObjectSizeForPointerSize(const data_type_definition* type, int32_t pointerBits) {
  if (pointerBits != 32 && pointerBits != 64) return 0;
  return ObjectSize(type, pointerBits, 0);
}

int32_t GetTotalObjectSize(const data_type_definition* type) { return ObjectSize(type, 64, 0); }

int32_t GetMemberCount(const data_type_definition* type) {
  int32_t count = 0;
  if (type == nullptr) return 0;
  while (type[count].Type != EndMember) ++count;
  return count;
}

int32_t GetTotalTypeSize(const data_type_definition* type) {
  if (type == nullptr) return 0;
  return static_cast<int32_t>(sizeof(data_type_definition)) * (GetMemberCount(type) + 1);
}

bool IsEmptyDataType(const data_type_definition* type) {
  return type == nullptr || type->Type == EndMember;
}

uint32_t GetMemberMarshalling(const data_type_definition* member) {
  if (!KT_CHECK_PARAMETER(TypedData, member != nullptr)) return 0;
  return MemberMarshalling(member, 0);
}

uint32_t GetObjectMarshalling(const data_type_definition* type) {
  return ObjectMarshalling(type, 0);
}

bool IsMixedMarshalling(uint32_t marshalling) { return (marshalling & (marshalling - 1)) != 0; }

bool DataTypeHasPointers(const data_type_definition* type) { return HasPointers(type, 0); }

}  // namespace ketrel
