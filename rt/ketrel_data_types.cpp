#include "rt/ketrel_data_types.h"

#include <cmath>
#include <cstring>

#include "rt/ketrel_half.h"
#include "rt/ketrel_log.h"

namespace ketrel {

namespace {

constexpr int64_t kInt32Low = -2147483647 - 1;

// Indexed directly by member type: the file's own row, then how code handles
// the member's values.
const member_type_traits kMemberTypes[MemberTypeCount] = {
    // clang-format off
    //  name, size 32, size 64, marshalling, C type           pointers scalar                      low     high      write scale read scale     exact integers
    {{"EndMember", 0, 0, 0, ""},                              false, member_scalar::None,       0, 0, 0, 0, 0},
    {{"InlineMember", 0, 0, 0, ""},                           false, member_scalar::None,       0, 0, 0, 0, 0},
    {{"ReferenceMember", 4, 8, 0, "void *"},                  true,  member_scalar::None,       0, 0, 0, 0, 0},
    {{"ReferenceToArrayMember", 8, 12, 4, "void *"},          true,  member_scalar::None,       0, 0, 0, 0, 0},
    {{"ArrayOfReferencesMember", 8, 12, 4, "void **"},        true,  member_scalar::None,       0, 0, 0, 0, 0},
    {{"VariantReferenceMember", 8, 16, 0, "void *"},          true,  member_scalar::None,       0, 0, 0, 0, 0},
    {{"__REMOVED", 0, 0, 0, "unsupported"},                   false, member_scalar::None,       0, 0, 0, 0, 0},
    {{"ReferenceToVariantArrayMember", 12, 20, 4, "void *"},  true,  member_scalar::None,       0, 0, 0, 0, 0},
    {{"StringMember", 4, 8, 4, "char *"},                     true,  member_scalar::None,       0, 0, 0, 0, 0},
    {{"TransformMember", 68, 68, 4, "ketrel_transform"},      false, member_scalar::None,       0, 0, 0, 0, 0},
    {{"Real32Member", 4, 4, 4, "ketrel_real32"},              false, member_scalar::Real32,     0, 0, 0, 0, int64_t(1) << 24},
    {{"Int8Member", 1, 1, 1, "ketrel_int8"},                  false, member_scalar::Integer, -128, 127, 0, 0, 127},
    {{"UInt8Member", 1, 1, 1, "ketrel_uint8"},                false, member_scalar::Integer,    0, 255, 0, 0, 255},
    {{"BinormalInt8Member", 1, 1, 1, "ketrel_int8"},          false, member_scalar::Normalised, -127, 127, 127.0, 0.007874016f, 0},
    {{"NormalUInt8Member", 1, 1, 1, "ketrel_uint8"},          false, member_scalar::Normalised, 0, 255, 255.0, 0.003921569f, 0},
    {{"Int16Member", 2, 2, 2, "ketrel_int16"},                false, member_scalar::Integer, -32768, 32767, 0, 0, 32767},
    {{"UInt16Member", 2, 2, 2, "ketrel_uint16"},              false, member_scalar::Integer,    0, 65535, 0, 0, 65535},
    {{"BinormalInt16Member", 2, 2, 2, "ketrel_int16"},        false, member_scalar::Normalised, -32767, 32767, 32767.0, 3.051851e-5f, 0},
    {{"NormalUInt16Member", 2, 2, 2, "ketrel_uint16"},        false, member_scalar::Normalised, 0, 65535, 65535.0, 1.5259022e-5f, 0},
    {{"Int32Member", 4, 4, 4, "ketrel_int32"},                false, member_scalar::Integer, kInt32Low, 2147483647, 0, 0, 2147483647},
    {{"UInt32Member", 4, 4, 4, "ketrel_uint32"},              false, member_scalar::Integer,    0, 4294967295, 0, 0, 4294967295},
    {{"Real16Member", 2, 2, 2, "ketrel_real16"},              false, member_scalar::Real16,     0, 0, 0, 0, 2048},
    {{"EmptyReferenceMember", 4, 8, 0, "void *"},             true,  member_scalar::None,       0, 0, 0, 0, 0},
    // clang-format on
};

}  // namespace

// Plain truncate(x + 0.5) would round negative values the wrong way, and
// casting an out-of-range double is undefined.
int64_t RoundClamped(double value, int64_t low, int64_t high) {
  if (std::isnan(value)) return 0;
  const double rounded = value < 0 ? std::ceil(value - 0.5) : std::floor(value + 0.5);
  if (rounded <= static_cast<double>(low)) return low;
  if (rounded >= static_cast<double>(high)) return high;
  return static_cast<int64_t>(rounded);
}

namespace {

// The element's bytes as the integer they store: signed when the range is.
int64_t LoadStored(const member_type_traits& traits, const void* at) {
  const bool isSigned = traits.Low < 0;
  switch (traits.Info.Size64) {
    case 1: {
      uint8_t v;
      std::memcpy(&v, at, 1);
      return isSigned ? int64_t(int8_t(v)) : int64_t(v);
    }
    case 2: {
      uint16_t v;
      std::memcpy(&v, at, 2);
      return isSigned ? int64_t(int16_t(v)) : int64_t(v);
    }
    default: {
      uint32_t v;
      std::memcpy(&v, at, 4);
      return isSigned ? int64_t(int32_t(v)) : int64_t(v);
    }
  }
}

void StoreStored(const member_type_traits& traits, void* at, int64_t value) {
  const uint32_t bits = uint32_t(uint64_t(value));  // two's complement: low bytes are the value
  const uint16_t half = uint16_t(bits);
  const uint8_t byte = uint8_t(bits);
  switch (traits.Info.Size64) {
    case 1:
      std::memcpy(at, &byte, 1);
      break;
    case 2:
      std::memcpy(at, &half, 2);
      break;
    default:
      std::memcpy(at, &bits, 4);
      break;
  }
}

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
  const member_type_info& info = kMemberTypes[member->Type].Info;
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
  return static_cast<uint32_t>(kMemberTypes[member->Type].Info.Marshalling);
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
  return &kMemberTypes[type].Info;
}

const member_type_traits* GetMemberTypeTraits(uint32_t type) {
  return type < MemberTypeCount ? &kMemberTypes[type] : nullptr;
}

bool IsRealValuedMemberType(uint32_t type) {
  if (type >= MemberTypeCount) return false;
  const member_scalar scalar = kMemberTypes[type].Scalar;
  return scalar == member_scalar::Real32 || scalar == member_scalar::Real16 ||
         scalar == member_scalar::Normalised;
}

bool IsPointerBearingMemberType(uint32_t type) {
  return type < MemberTypeCount && kMemberTypes[type].PointerBearing;
}

int64_t LoadMemberStored(uint32_t type, const void* at) {
  if (type >= MemberTypeCount || !at) return 0;
  const member_type_traits& traits = kMemberTypes[type];
  switch (traits.Scalar) {
    case member_scalar::Integer:
    case member_scalar::Normalised:
      return LoadStored(traits, at);
    case member_scalar::Real32:
    case member_scalar::Real16:
      return RoundClamped(LoadMemberReal(type, at), INT64_MIN / 2, INT64_MAX / 2);
    default:
      return 0;
  }
}

void StoreMemberStored(uint32_t type, void* at, int64_t value) {
  if (type >= MemberTypeCount || !at) return;
  const member_type_traits& traits = kMemberTypes[type];
  switch (traits.Scalar) {
    case member_scalar::Integer:
    case member_scalar::Normalised:
      StoreStored(traits, at,
                  value < traits.Low    ? traits.Low
                  : value > traits.High ? traits.High
                                        : value);
      break;
    case member_scalar::Real32:
    case member_scalar::Real16:
      StoreMemberReal(type, at, float(value));
      break;
    default:
      break;
  }
}

float LoadMemberReal(uint32_t type, const void* at) {
  if (type >= MemberTypeCount || !at) return 0.0f;
  const member_type_traits& traits = kMemberTypes[type];
  switch (traits.Scalar) {
    case member_scalar::Real32: {
      float v;
      std::memcpy(&v, at, sizeof v);
      return v;
    }
    case member_scalar::Real16: {
      uint16_t v;
      std::memcpy(&v, at, sizeof v);
      return HalfToFloat(v);
    }
    case member_scalar::Normalised:
      return float(LoadStored(traits, at)) * traits.ReadScale;
    case member_scalar::Integer:
      return float(LoadStored(traits, at));
    default:
      return 0.0f;
  }
}

void StoreMemberReal(uint32_t type, void* at, double value) {
  if (type >= MemberTypeCount || !at) return;
  const member_type_traits& traits = kMemberTypes[type];
  switch (traits.Scalar) {
    case member_scalar::Real32: {
      const float v = float(value);
      std::memcpy(at, &v, sizeof v);
      break;
    }
    case member_scalar::Real16: {
      const uint16_t v = FloatToHalf(float(value));
      std::memcpy(at, &v, sizeof v);
      break;
    }
    case member_scalar::Normalised:
      StoreStored(traits, at, RoundClamped(value * traits.WriteScale, traits.Low, traits.High));
      break;
    case member_scalar::Integer:
      StoreStored(traits, at, RoundClamped(value, traits.Low, traits.High));
      break;
    default:
      break;
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
  if (pointerBits == 32) return kMemberTypes[memberType].Info.Size32;
  if (pointerBits == 64) return kMemberTypes[memberType].Info.Size64;
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
