#include "rt/ketrel_object_ops.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "rt/ketrel_half.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_standard_types.h"

namespace ketrel {

namespace {

// ---- Reading scalars -------------------------------------------------------

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

int64_t Clamp(int64_t value, int64_t low, int64_t high) {
  return value < low ? low : (value > high ? high : value);
}

// Optional sign, digits, and (when `fraction`) a '.' with fraction digits.
double ParseNumber(const char* text, bool fraction) {
  if (text == nullptr) return 0.0;
  double sign = 1.0;
  if (*text == '-' || *text == '+') sign = (*text++ == '-') ? -1.0 : 1.0;
  double value = 0.0;
  while (*text >= '0' && *text <= '9') value = value * 10.0 + (*text++ - '0');
  if (fraction && *text == '.') {
    double scale = 0.1;
    for (++text; *text >= '0' && *text <= '9'; ++text, scale *= 0.1) value += (*text - '0') * scale;
  }
  return sign * value;
}

bool IsIntegerSourceType(uint32_t type) {
  const member_type_traits* traits = GetMemberTypeTraits(type);
  return traits &&
         (traits->Scalar == member_scalar::Integer || traits->Scalar == member_scalar::Normalised);
}

// The integer a member element stands for, without loss (an unsigned 32-bit
// value stays positive); a normalised value gives its nearest whole number.
// Only for IsIntegerSourceType.
int64_t IntegerValue(uint32_t type, const void* address) {
  const member_type_traits* traits = GetMemberTypeTraits(type);
  const int64_t stored = LoadMemberStored(type, address);
  if (traits->Scalar != member_scalar::Normalised) return stored;
  const int64_t half = traits->High / 2;
  return stored > half ? 1 : (stored < -half ? -1 : 0);
}

// A source element as a double, for stores that round (strings and reals).
double RealValue(uint32_t type, const void* address) {
  if (type == StringMember) return ParseNumber(Load<const char*>(address), false);
  return LoadMemberReal(type, address);
}

// A source element as an integer in [low, high].
int64_t IntegerIn(uint32_t type, const void* address, int64_t low, int64_t high) {
  if (IsIntegerSourceType(type)) return Clamp(IntegerValue(type, address), low, high);
  return RoundClamped(RealValue(type, address), low, high);
}

bool IsReferenceLike(uint32_t type) {
  return IsPointerBearingMemberType(type) && type != StringMember;
}

// ---- Comparing -------------------------------------------------------------

// The chain of pairs being compared further up the recursion.
struct ComparePair {
  const data_type_definition* a;
  const data_type_definition* b;
  const ComparePair* outer;
};

bool BeingCompared(const ComparePair* chain, const data_type_definition* a,
                   const data_type_definition* b) {
  for (; chain != nullptr; chain = chain->outer) {
    if ((chain->a == a && chain->b == b) || (chain->a == b && chain->b == a)) return true;
  }
  return false;
}

const data_type_definition* SkipRemoved(const data_type_definition* member) {
  while (member->Type == RemovedSwitchableMember) {
    KT_LOG_WARNING(TypedData, "Switchable types no longer supported in Ketrel 2.7+");
    ++member;
  }
  return member;
}

bool TypesEqual(const data_type_definition* a, const data_type_definition* b,
                MemberNameCompare nameCompare, const ComparePair* chain) {
  if (a == b) return true;
  if (a == nullptr || b == nullptr) return false;
  if (BeingCompared(chain, a, b)) return true;
  const ComparePair here{a, b, chain};
  for (;;) {
    a = SkipRemoved(a);
    b = SkipRemoved(b);
    if (a->Type == EndMember || b->Type == EndMember) return a->Type == b->Type;
    if (a->Type != b->Type || a->ArrayWidth != b->ArrayWidth) return false;
    if (nameCompare != nullptr) {
      if (a->Name == nullptr || b->Name == nullptr) {
        if (a->Name != b->Name) return false;
      } else if (!nameCompare(a->Name, b->Name)) {
        return false;
      }
    }
    if (!TypesEqual(a->ReferenceType, b->ReferenceType, nameCompare, &here)) return false;
    ++a;
    ++b;
  }
}

bool CaseSensitiveEqual(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

bool AsciiCaseInsensitiveEqual(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return a == b;
  for (;; ++a, ++b) {
    char x = *a, y = *b;
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
    if (x == '\0') return true;
  }
}

MemberNameCompare gNameMatch = AsciiCaseInsensitiveEqual;

// ---- Converting --------------------------------------------------------

struct ConversionContext {
  bool clearFirst;
  conversion_string_area* strings;
  member_conversion_callback callback;
  bool ok;
};

// Stores `text` (length bytes, no terminator needed) as D's string.
void StoreText(ConversionContext& context, const char* text, size_t length, void* destination) {
  const char* stored = nullptr;
  conversion_string_area* area = context.strings;
  if (area != nullptr) {
    const int64_t needed = (static_cast<int64_t>(length) + 1 + 3) & ~int64_t{3};
    const int64_t end = int64_t{area->FillOffset} + needed;
    if (end > INT32_MAX || area->FillOffset < 0) {
      KT_PARAMETER_CHECK_FAILED(TypedData);
      context.ok = false;
    } else if (area->Base != nullptr && end > area->Capacity) {
      KT_PARAMETER_CHECK_FAILED(TypedData);
      context.ok = false;
    } else {
      if (area->Base != nullptr) {
        char* target = area->Base + area->FillOffset;
        std::memcpy(target, text, length);
        std::memset(target + length, 0, static_cast<size_t>(needed) - length);
        stored = target;
      }
      area->FillOffset = static_cast<int32_t>(end);
    }
  }
  // Without a place to keep the text the member holds nothing rather than a
  // pointer into scratch memory that is gone when we return.
  Store<const char*>(destination, stored);
}

void ConvertToText(ConversionContext& context, uint32_t sourceType, const void* source,
                   void* destination) {
  if (sourceType == StringMember) {
    const char* text = Load<const char*>(source);
    if (text == nullptr) {
      Store<const char*>(destination, nullptr);
      return;
    }
    StoreText(context, text, std::strlen(text), destination);
    return;
  }
  char buffer[128];
  int length;
  if (IsRealValuedMemberType(sourceType)) {
    length = std::snprintf(buffer, sizeof(buffer), "%.6f",
                           static_cast<double>(ConvertMemberToReal32(sourceType, source)));
  } else if (sourceType == UInt32Member) {
    length = std::snprintf(buffer, sizeof(buffer), "%u", Load<uint32_t>(source));
  } else {
    length = std::snprintf(buffer, sizeof(buffer), "%d", ConvertMemberToInt32(sourceType, source));
  }
  if (length < 0) length = 0;
  if (length >= static_cast<int>(sizeof(buffer))) length = sizeof(buffer) - 1;
  StoreText(context, buffer, static_cast<size_t>(length), destination);
}

void StoreElement(uint32_t destType, void* destination, uint32_t sourceType, const void* source) {
  const member_type_traits* traits = GetMemberTypeTraits(destType);
  if (!traits) return;
  switch (traits->Scalar) {
    case member_scalar::Integer:
      StoreMemberStored(destType, destination,
                        IntegerIn(sourceType, source, traits->Low, traits->High));
      break;
    case member_scalar::Real16:
      if (sourceType == Real16Member) {  // bit for bit: NaN payloads and all
        Store<uint16_t>(destination, Load<uint16_t>(source));
        break;
      }
      [[fallthrough]];
    case member_scalar::Real32:
    case member_scalar::Normalised:
      StoreMemberReal(destType, destination, ConvertMemberToReal32(sourceType, source));
      break;
    default:
      break;
  }
}

void ConvertMember(ConversionContext& context, const data_type_definition* s, const char* source,
                   const data_type_definition* d, char* destination) {
  if (context.callback.Function != nullptr &&
      context.callback.Function(s, source, d, destination, context.callback.User)) {
    return;
  }
  if (s->Type == d->Type) {
    const int32_t sSize = GetMemberTypeSize(s);
    const int32_t dSize = GetMemberTypeSize(d);
    std::memmove(destination, source, static_cast<size_t>(sSize < dSize ? sSize : dSize));
    return;
  }
  if (IsReferenceLike(d->Type) || d->Type == TransformMember) {
    if (context.clearFirst) MakeEmptyDataTypeMember(d, destination);
    return;
  }
  if (d->Type == StringMember) {
    if (s->Type == StringMember || IsIntegerSourceType(s->Type) ||
        IsRealValuedMemberType(s->Type)) {
      ConvertToText(context, s->Type, source, destination);
    } else if (context.clearFirst) {
      MakeEmptyDataTypeMember(d, destination);
    }
    return;
  }
  if (context.clearFirst) MakeEmptyDataTypeMember(d, destination);
  // Only scalar sources have elements to read; others hold no number.
  if (s->Type >= MemberTypeCount || s->Type == InlineMember || IsReferenceLike(s->Type) ||
      s->Type == TransformMember || s->Type == EndMember) {
    return;
  }
  const int32_t count = std::min(GetMemberArrayWidth(s), GetMemberArrayWidth(d));
  const int32_t sUnit = GetMemberUnitSize(s);
  const int32_t dUnit = GetMemberUnitSize(d);
  for (int32_t i = 0; i < count; ++i) {
    StoreElement(d->Type, destination + i * dUnit, s->Type, source + i * sUnit);
  }
}

bool IsCurveDataTail(const data_type_definition* member) {
  return DataTypesAreEqualWithNames(member, Curve2Type);
}

void ConvertObject(ConversionContext& context, const data_type_definition* sourceType,
                   const char* source, const data_type_definition* destType, char* destination,
                   int depth) {
  if (depth > 64) {
    KT_PARAMETER_CHECK_FAILED(TypedData);
    context.ok = false;
    return;
  }
  int32_t dOffset = 0;
  for (const data_type_definition* d = destType; d->Type != EndMember; ++d) {
    char* dAddress = destination + dOffset;
    const int32_t dSize = GetMemberTypeSize(d);
    if (context.clearFirst) MakeEmptyDataTypeMember(d, dAddress);
    found_member found;
    if (d->Name != nullptr && sourceType != nullptr &&
        FindMatchingMember(sourceType, 0, d->Name, &found)) {
      const data_type_definition* s = found.Member;
      const char* sAddress = source + found.Offset;
      if (s->Type == InlineMember) {
        if (d->Type == InlineMember && s->ReferenceType != nullptr && d->ReferenceType != nullptr) {
          const int32_t count = std::min(GetMemberArrayWidth(s), GetMemberArrayWidth(d));
          const int32_t sStride = GetMemberUnitSize(s);
          const int32_t dStride = GetMemberUnitSize(d);
          for (int32_t i = 0; i < count; ++i) {
            ConvertObject(context, s->ReferenceType, sAddress + i * sStride, d->ReferenceType,
                          dAddress + i * dStride, depth + 1);
          }
        }
      } else {
        ConvertMember(context, s, sAddress, d, dAddress);
      }
    } else if (IsCurveDataTail(d)) {
      break;
    }
    dOffset += dSize;
  }
}

bool ConvertEntry(bool clearFirst, const data_type_definition* sourceType, const void* source,
                  const data_type_definition* destType, void* destination,
                  member_conversion_callback callback, conversion_string_area* strings) {
  if (!KT_CHECK_PARAMETER(TypedData, destType != nullptr && destination != nullptr)) return false;
  if (!KT_CHECK_PARAMETER(TypedData, sourceType == nullptr || source != nullptr)) return false;
  ConversionContext context{clearFirst, strings, callback, true};
  ConvertObject(context, sourceType, static_cast<const char*>(source), destType,
                static_cast<char*>(destination), 0);
  return context.ok;
}

}  // namespace

int32_t MakeEmptyDataTypeMember(const data_type_definition* member, void* destination) {
  if (!KT_CHECK_PARAMETER(TypedData, member != nullptr && destination != nullptr)) return 0;
  char* out = static_cast<char*>(destination);
  const int32_t width = GetMemberArrayWidth(member);
  const int32_t unit = GetMemberUnitSize(member);
  if (member->Type == TransformMember) {
    const transform identity = IdentityTransform();
    for (int32_t i = 0; i < width; ++i) std::memcpy(out + i * unit, &identity, sizeof(identity));
  } else if (member->Type == InlineMember) {
    // A malformed (cyclic) inline type sizes to 0 and has nothing to clear.
    if (unit == 0) return 0;
    for (int32_t i = 0; i < width; ++i)
      MakeEmptyDataTypeObject(member->ReferenceType, out + i * unit);
  } else {
    std::memset(out, 0, static_cast<size_t>(unit) * static_cast<size_t>(width));
  }
  return unit * width;
}

int32_t MakeEmptyDataTypeObject(const data_type_definition* type, void* destination) {
  if (type == nullptr) return 0;
  if (!KT_CHECK_PARAMETER(TypedData, destination != nullptr)) return 0;
  int32_t offset = 0;
  for (const data_type_definition* m = type; m->Type != EndMember; ++m) {
    offset += MakeEmptyDataTypeMember(m, static_cast<char*>(destination) + offset);
  }
  return offset;
}

bool DataTypesAreEqual(const data_type_definition* a, const data_type_definition* b,
                       MemberNameCompare nameCompare) {
  return TypesEqual(a, b, nameCompare, nullptr);
}

bool DataTypesAreEqualWithNames(const data_type_definition* a, const data_type_definition* b) {
  return TypesEqual(a, b, CaseSensitiveEqual, nullptr);
}

bool MemberNamesMatch(const char* a, const char* b) { return gNameMatch(a, b); }

void SetMemberNameMatchFunction(MemberNameCompare match) {
  gNameMatch = match != nullptr ? match : AsciiCaseInsensitiveEqual;
}

bool FindMatchingMember(const data_type_definition* type, int32_t startOffset, const char* name,
                        found_member* result) {
  if (result != nullptr) *result = found_member{};
  if (type == nullptr || name == nullptr) return false;
  int32_t offset = startOffset;
  for (const data_type_definition* m = type; m->Type != EndMember; ++m) {
    if (m->Name != nullptr && MemberNamesMatch(m->Name, name)) {
      if (result != nullptr) *result = found_member{m, offset};
      return true;
    }
    offset += GetMemberTypeSize(m);
  }
  return false;
}

bool ConvertSingleObject(const data_type_definition* sourceType, const void* source,
                         const data_type_definition* destType, void* destination,
                         member_conversion_callback callback, conversion_string_area* strings) {
  return ConvertEntry(true, sourceType, source, destType, destination, callback, strings);
}

bool MergeSingleObject(const data_type_definition* sourceType, const void* source,
                       const data_type_definition* destType, void* destination,
                       member_conversion_callback callback, conversion_string_area* strings) {
  return ConvertEntry(false, sourceType, source, destType, destination, callback, strings);
}

int32_t ConvertMemberToInt32(uint32_t memberType, const void* address) {
  if (address == nullptr) return 0;
  // An unsigned 32-bit value keeps its bits, as the member's own reader would.
  if (memberType == UInt32Member) return static_cast<int32_t>(Load<uint32_t>(address));
  return static_cast<int32_t>(IntegerIn(memberType, address, INT32_MIN, INT32_MAX));
}

float ConvertMemberToReal32(uint32_t memberType, const void* address) {
  if (address == nullptr) return 0.0f;
  if (memberType == StringMember) {
    return static_cast<float>(ParseNumber(Load<const char*>(address), true));
  }
  return LoadMemberReal(memberType, address);
}

}  // namespace ketrel
