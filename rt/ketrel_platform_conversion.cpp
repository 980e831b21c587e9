#include "rt/ketrel_platform_conversion.h"

#include <algorithm>
#include <cstring>

#include "rt/ketrel_data_types.h"
#include "rt/ketrel_file_format.h"
#include "rt/ketrel_file_layout.h"
#include "rt/ketrel_growable_array.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_pointer_hash.h"

namespace ketrel {
namespace {

constexpr uint32_t kPartCount = 3;
// Inline members nest types inside types; real schemas nest a few levels.
constexpr uint32_t kMaxInlineDepth = 32;
constexpr uint32_t kMaxTypeMembers = 4096;
constexpr int32_t kMaxArrayWidth = 1 << 24;
constexpr uint64_t kMaxTypeSize = 1u << 30;
constexpr uint32_t kMaxPartSize = 1u << 30;

struct dest_location {
  uint32_t Section;
  uint32_t Part;
  uint32_t Offset;
};

struct dest_fixup {
  dest_location From;
  dest_location To;
};

struct dest_marshalling {
  uint32_t Count;
  dest_location Type;
  dest_location Object;
};

enum entry_kind : uint32_t { KindType, KindString, KindObjects, KindPointerArray };

// One converted piece of the source: what it was converted as and where it went.
struct conversion_entry {
  entry_kind Kind;
  uint64_t TypeKey;  // objects: their type; pointer arrays: the element type
  uint32_t Count;
  uint32_t SourceSection;
  uint32_t SourceOffset;
  dest_location Dest;
};

enum type_state : uint32_t { TypeInProgress, TypeDone };

struct type_summary {
  type_state State;
  uint32_t MemberCount;
  uint64_t SourceSize;
  uint64_t DestSize;
  uint32_t Marshalling;
};

struct byte_buffer {
  unsigned char* Bytes;
  uint32_t Size;
  uint32_t Capacity;
};

struct conversion {
  const file_image* Source;
  uint32_t SourcePointer;  // bytes
  uint32_t DestPointer;
  bool SourceReversed;  // source words are byte-reversed relative to this machine
  bool DestReversed;
  bool Swap;           // the two orders differ
  uint64_t DestBytes;  // total placed so far
  uint64_t DestLimit;  // a converted file cannot legitimately be much larger
  byte_buffer* Parts;  // SectionCount x 3
  growable_array<dest_fixup> Fixups;
  growable_array<dest_marshalling> Marshallings;
  growable_array<conversion_entry> Entries;
  growable_array<uint32_t> Work;  // entries whose contents still need converting
  growable_array<type_summary> Types;
  pointer_hash* EntryMap;  // source place -> entry index
  pointer_hash* TypeMap;   // source type place -> type summary index
  bool Failed;
};

uint64_t Key(uint32_t section, uint32_t offset) { return uint64_t(section) << 32 | offset; }

bool Fail(conversion* c, const char* what, uint32_t section, uint32_t offset) {
  if (!c->Failed) {
    KT_LOG_ERROR(Platform, "PlatformConversion: %s (section %u, offset %u)", what, section, offset);
  }
  c->Failed = true;
  return false;
}

// ---- Reading the source --------------------------------------------------------

const unsigned char* SourceBytes(const conversion* c, uint32_t section, uint32_t offset) {
  return c->Source->Sections[section].Data + offset;
}

uint32_t SourceSectionSize(const conversion* c, uint32_t section) {
  return c->Source->Sections[section].Header.ExpandedDataSize;
}

bool SourceRange(const conversion* c, uint32_t section, uint64_t offset, uint64_t size) {
  return section < c->Source->SectionCount && offset <= SourceSectionSize(c, section) &&
         size <= SourceSectionSize(c, section) - offset;
}

uint32_t SourceWord(const conversion* c, uint32_t section, uint32_t offset) {
  uint32_t word;
  std::memcpy(&word, SourceBytes(c, section, offset), 4);
  return c->SourceReversed ? ByteSwap32(word) : word;
}

// The target of the pointer slot at (section, offset), if it has a fix-up.
bool SourcePointer(const conversion* c, uint32_t section, uint32_t offset, file_reference* out) {
  const file_pointer_fixup* fixup = FindFileFixup(c->Source, section, offset);
  if (fixup == nullptr) return false;
  *out = file_reference{fixup->ToSection, fixup->ToOffset};
  return true;
}

// Field offsets of a member record for a pointer size P: Type 0, Name 4,
// ReferenceType 4 + P, ArrayWidth 4 + 2P, Extra 8 + 2P, reserved 20 + 2P.
uint32_t RecordSize(uint32_t pointerBytes) { return 20 + 3 * pointerBytes; }

struct source_member {
  uint32_t Type;
  int32_t Width;  // 1 for width 0
  bool HasReference;
  file_reference Reference;
};

// Reads member `index` of the type at `type`; the type has been summarised,
// so the record is known to lie in the section.
source_member ReadMember(const conversion* c, const file_reference& type, uint32_t index) {
  const uint32_t p = c->SourcePointer;
  uint32_t record = type.Offset + index * RecordSize(p);
  source_member member{};
  member.Type = SourceWord(c, type.SectionIndex, record);
  int32_t width = int32_t(SourceWord(c, type.SectionIndex, record + 4 + 2 * p));
  member.Width = width == 0 ? 1 : width;
  member.HasReference = SourcePointer(c, type.SectionIndex, record + 4 + p, &member.Reference);
  return member;
}

bool IsEmptyType(const conversion* c, const file_reference& type) {
  return SourceWord(c, type.SectionIndex, type.Offset) == EndMember;
}

// ---- Type summaries ------------------------------------------------------------------

// Checks the definition at `type` and computes its object size in both
// layouts and its marshalling. Inline members are followed recursively with
// bounded depth; an inline cycle (an object containing itself) is an error.
int64_t SummarizeType(conversion* c, const file_reference& type, uint32_t depth) {
  uint64_t key = Key(type.SectionIndex, type.Offset);
  uint64_t index = 0;
  if (GetHashedPointerData(c->TypeMap, key, &index)) {
    if (c->Types[index].State == TypeInProgress) {
      Fail(c, "type contains itself inline", type.SectionIndex, type.Offset);
      return -1;
    }
    return int64_t(index);
  }
  if (depth > kMaxInlineDepth) {
    Fail(c, "inline types nest too deeply", type.SectionIndex, type.Offset);
    return -1;
  }
  const uint32_t recordSize = RecordSize(c->SourcePointer);
  type_summary summary{TypeInProgress, 0, 0, 0, 0};
  index = c->Types.Count;
  if (!c->Types.Append(summary) || !AddPointerToHash(c->TypeMap, key, index)) {
    c->Failed = true;
    return -1;
  }
  for (uint32_t i = 0;; ++i) {
    if (i > kMaxTypeMembers ||
        !SourceRange(c, type.SectionIndex, uint64_t(type.Offset) + uint64_t(i) * recordSize,
                     recordSize)) {
      Fail(c, "type definition is not ended inside its section", type.SectionIndex, type.Offset);
      return -1;
    }
    uint32_t record = type.Offset + i * recordSize;
    uint32_t memberType = SourceWord(c, type.SectionIndex, record);
    if (memberType == EndMember) {
      summary.MemberCount = i;
      break;
    }
    if (memberType >= MemberTypeCount) {
      Fail(c, "type has an unknown member type", type.SectionIndex, record);
      return -1;
    }
    int32_t width = int32_t(SourceWord(c, type.SectionIndex, record + 4 + 2 * c->SourcePointer));
    if (width < 0 || width > kMaxArrayWidth ||
        (width != 0 && IsPointerBearingMemberType(memberType))) {
      Fail(c, "type has a member with an invalid array width", type.SectionIndex, record);
      return -1;
    }
    if (width == 0) width = 1;
    uint64_t sourceUnit, destUnit;
    uint32_t marshalling;
    if (memberType == InlineMember) {
      file_reference inner;
      if (!SourcePointer(c, type.SectionIndex, record + 4 + c->SourcePointer, &inner)) {
        Fail(c, "inline member has no type", type.SectionIndex, record);
        return -1;
      }
      int64_t innerIndex = SummarizeType(c, inner, depth + 1);
      if (innerIndex < 0) return -1;
      const type_summary& innerSummary = c->Types[size_t(innerIndex)];
      // An inline member of nothing would let a tiny object hold endless elements.
      if (innerSummary.SourceSize == 0 || innerSummary.DestSize == 0) {
        Fail(c, "inline member of an empty type", type.SectionIndex, record);
        return -1;
      }
      sourceUnit = innerSummary.SourceSize;
      destUnit = innerSummary.DestSize;
      marshalling = innerSummary.Marshalling;
    } else {
      sourceUnit =
          uint64_t(GetMemberTypeSizeForPointerSize(memberType, int32_t(8 * c->SourcePointer)));
      destUnit = uint64_t(GetMemberTypeSizeForPointerSize(memberType, int32_t(8 * c->DestPointer)));
      marshalling = uint32_t(GetMemberTypeInfo(memberType)->Marshalling);
    }
    summary.SourceSize += sourceUnit * uint64_t(width);
    summary.DestSize += destUnit * uint64_t(width);
    summary.Marshalling |= marshalling;
    if (summary.SourceSize > kMaxTypeSize || summary.DestSize > kMaxTypeSize) {
      Fail(c, "type is too large", type.SectionIndex, type.Offset);
      return -1;
    }
  }
  summary.State = TypeDone;
  c->Types[index] = summary;
  return int64_t(index);
}

// ---- The destination -----------------------------------------------------------------

byte_buffer& Part(conversion* c, uint32_t section, uint32_t part) {
  return c->Parts[section * kPartCount + part];
}

// Reserves `size` zero bytes at the section alignment in a part.
bool Reserve(conversion* c, uint32_t section, uint32_t part, uint64_t size, dest_location* out,
             uint32_t minimumAlignment = 1) {
  byte_buffer& buffer = Part(c, section, part);
  uint32_t alignment = std::max(c->Source->Sections[section].Header.Alignment, minimumAlignment);
  uint64_t offset = (uint64_t(buffer.Size) + alignment - 1) & ~uint64_t(alignment - 1);
  uint64_t end = offset + size;
  c->DestBytes += end - buffer.Size;
  if (end > kMaxPartSize || c->DestBytes > c->DestLimit) {
    return Fail(c, "converted data would be far larger than the source", section, 0);
  }
  if (end > buffer.Capacity) {
    uint64_t capacity = std::max<uint64_t>(end, uint64_t(buffer.Capacity) * 2);
    capacity = std::max<uint64_t>(capacity, 1024);
    unsigned char* bytes = static_cast<unsigned char*>(KT_ALLOCATE(size_t(capacity)));
    if (bytes == nullptr) return Fail(c, "out of memory", section, 0);
    if (buffer.Size > 0) std::memcpy(bytes, buffer.Bytes, buffer.Size);
    FreeBlock(buffer.Bytes);
    buffer.Bytes = bytes;
    buffer.Capacity = uint32_t(capacity);
  }
  // Padding and the reserved place start as zeros; spare capacity is cleared only once used.
  if (end > buffer.Size) std::memset(buffer.Bytes + buffer.Size, 0, size_t(end - buffer.Size));
  buffer.Size = uint32_t(end);
  *out = dest_location{section, part, uint32_t(offset)};
  return true;
}

// The destination bytes at a location; valid until the next Reserve.
unsigned char* DestBytes(conversion* c, const dest_location& at) {
  return Part(c, at.Section, at.Part).Bytes + at.Offset;
}

dest_location Advance(dest_location at, uint64_t by) {
  at.Offset += uint32_t(by);
  return at;
}

void WriteDestWord(conversion* c, const dest_location& at, uint32_t value) {
  if (c->DestReversed) value = ByteSwap32(value);
  std::memcpy(DestBytes(c, at), &value, 4);
}

bool AddFixup(conversion* c, const dest_location& from, const dest_location& to) {
  if (!c->Fixups.Append(dest_fixup{from, to})) return Fail(c, "out of memory", from.Section, 0);
  return true;
}

uint32_t PartForMarshalling(uint32_t marshalling) {
  if (marshalling == 4) return 0;
  if (marshalling == 2) return 1;
  return 2;
}

// Finds an earlier conversion of the same source place. A place met again
// must be met as the same thing (same kind and type), or a hostile file could
// make a reader walk past a converted block. A longer array at a place met
// before with fewer elements gets a block of its own.
int FindEntry(conversion* c, entry_kind kind, uint64_t typeKey, const file_reference& at,
              uint32_t count, dest_location* out) {
  uint64_t index = 0;
  if (!GetHashedPointerData(c->EntryMap, Key(at.SectionIndex, at.Offset), &index)) return 0;
  const conversion_entry& entry = c->Entries[index];
  if (entry.Kind != kind || entry.TypeKey != typeKey) {
    Fail(c, "one place is referenced as two different things", at.SectionIndex, at.Offset);
    return -1;
  }
  if (count > entry.Count) return 0;
  *out = entry.Dest;
  return 1;
}

bool AddEntry(conversion* c, entry_kind kind, uint64_t typeKey, const file_reference& at,
              uint32_t count, const dest_location& dest) {
  uint32_t index = uint32_t(c->Entries.Count);
  if (!c->Entries.Append(
          conversion_entry{kind, typeKey, count, at.SectionIndex, at.Offset, dest}) ||
      !SetHashedPointerData(c->EntryMap, Key(at.SectionIndex, at.Offset), index) ||
      !c->Work.Append(index)) {
    return Fail(c, "out of memory", at.SectionIndex, at.Offset);
  }
  return true;
}

bool PlaceType(conversion* c, const file_reference& type, dest_location* out) {
  int found = FindEntry(c, KindType, 0, type, 1, out);
  if (found != 0) return found > 0;
  int64_t index = SummarizeType(c, type, 0);
  if (index < 0) return false;
  uint64_t size = uint64_t(c->Types[size_t(index)].MemberCount + 1) * RecordSize(c->DestPointer);
  return Reserve(c, type.SectionIndex, 0, size, out) && AddEntry(c, KindType, 0, type, 1, *out);
}

bool PlaceString(conversion* c, const file_reference& text, dest_location* out) {
  int found = FindEntry(c, KindString, 0, text, 1, out);
  if (found != 0) return found > 0;
  const unsigned char* start = SourceBytes(c, text.SectionIndex, text.Offset);
  uint32_t available = SourceSectionSize(c, text.SectionIndex) - text.Offset;
  const void* end = std::memchr(start, 0, available);
  if (end == nullptr)
    return Fail(c, "string is not ended inside its section", text.SectionIndex, text.Offset);
  uint64_t size = uint64_t(static_cast<const unsigned char*>(end) - start) + 1;
  if (!Reserve(c, text.SectionIndex, 2, size, out)) return false;
  std::memcpy(DestBytes(c, *out), start, size_t(size));
  // Strings have no contents to convert later; no work item needed.
  uint32_t index = uint32_t(c->Entries.Count);
  if (!c->Entries.Append(
          conversion_entry{KindString, 0, 1, text.SectionIndex, text.Offset, *out}) ||
      !AddPointerToHash(c->EntryMap, Key(text.SectionIndex, text.Offset), index)) {
    return Fail(c, "out of memory", text.SectionIndex, text.Offset);
  }
  return true;
}

// Places `count` consecutive objects of `type` found at `at`.
bool PlaceObjects(conversion* c, const file_reference& type, const file_reference& at,
                  uint32_t count, dest_location* out) {
  uint64_t typeKey = Key(type.SectionIndex, type.Offset);
  int found = FindEntry(c, KindObjects, typeKey, at, count, out);
  if (found != 0) return found > 0;
  int64_t index = SummarizeType(c, type, 0);
  if (index < 0) return false;
  const type_summary summary = c->Types[size_t(index)];
  if (summary.SourceSize == 0 || count == 0) {
    return Fail(c, "reference to objects of an empty type", at.SectionIndex, at.Offset);
  }
  if (!SourceRange(c, at.SectionIndex, at.Offset, summary.SourceSize * count)) {
    return Fail(c, "objects run past the end of their section", at.SectionIndex, at.Offset);
  }
  if (!Reserve(c, at.SectionIndex, PartForMarshalling(summary.Marshalling),
               summary.DestSize * count, out) ||
      !AddEntry(c, KindObjects, typeKey, at, count, *out)) {
    return false;
  }
  if (IsMixedMarshalling(summary.Marshalling)) {
    dest_location typeLocation;
    if (!PlaceType(c, type, &typeLocation) ||
        !c->Marshallings.Append(dest_marshalling{count, typeLocation, *out})) {
      return Fail(c, "unable to record mixed marshalling", at.SectionIndex, at.Offset);
    }
  }
  return true;
}

bool PlacePointerArray(conversion* c, const file_reference& elementType, const file_reference& at,
                       uint32_t count, dest_location* out) {
  uint64_t typeKey = Key(elementType.SectionIndex, elementType.Offset);
  int found = FindEntry(c, KindPointerArray, typeKey, at, count, out);
  if (found != 0) return found > 0;
  if (!SourceRange(c, at.SectionIndex, at.Offset, uint64_t(count) * c->SourcePointer)) {
    return Fail(c, "pointer array runs past the end of its section", at.SectionIndex, at.Offset);
  }
  // Pointer arrays are read as T** by native code: keep them pointer aligned.
  return Reserve(c, at.SectionIndex, 2, uint64_t(count) * c->DestPointer, out, c->DestPointer) &&
         AddEntry(c, KindPointerArray, typeKey, at, count, *out);
}

// ---- Converting contents -------------------------------------------------------------

void CopyWords(conversion* c, const unsigned char* source, const dest_location& at, uint64_t bytes,
               uint32_t unit) {
  unsigned char* dest = DestBytes(c, at);
  std::memcpy(dest, source, size_t(bytes));
  if (!c->Swap || unit < 2) return;
  for (uint64_t i = 0; i + unit <= bytes; i += unit) {
    if (unit == 4) {
      uint32_t word;
      std::memcpy(&word, dest + i, 4);
      word = ByteSwap32(word);
      std::memcpy(dest + i, &word, 4);
    } else {
      uint16_t half;
      std::memcpy(&half, dest + i, 2);
      half = ByteSwap16(half);
      std::memcpy(dest + i, &half, 2);
    }
  }
}

// Reads an element count; a negative count is damage.
bool SourceCount(conversion* c, uint32_t section, uint32_t offset, uint32_t* out) {
  int32_t count = int32_t(SourceWord(c, section, offset));
  if (count < 0) return Fail(c, "negative element count", section, offset);
  *out = uint32_t(count);
  return true;
}

// Converts one object of `type` at source (section, offset) into `at`.
bool ConvertObject(conversion* c, const file_reference& type, uint32_t section, uint32_t offset,
                   dest_location at, uint32_t depth) {
  int64_t typeIndex = SummarizeType(c, type, 0);
  if (typeIndex < 0) return false;
  if (depth > kMaxInlineDepth) return Fail(c, "inline types nest too deeply", section, offset);
  const uint32_t memberCount = c->Types[size_t(typeIndex)].MemberCount;
  const uint32_t sp = c->SourcePointer, dp = c->DestPointer;
  for (uint32_t m = 0; m < memberCount && !c->Failed; ++m) {
    source_member member = ReadMember(c, type, m);
    file_reference target;
    dest_location placed;
    uint64_t sourceUnit = 0, destUnit = 0;
    if (member.Type == InlineMember) {
      int64_t inner = SummarizeType(c, member.Reference, depth + 1);
      if (inner < 0) return false;
      sourceUnit = c->Types[size_t(inner)].SourceSize;
      destUnit = c->Types[size_t(inner)].DestSize;
      for (int32_t e = 0; e < member.Width; ++e) {
        if (!ConvertObject(c, member.Reference, section, uint32_t(offset + e * sourceUnit),
                           Advance(at, e * destUnit), depth + 1)) {
          return false;
        }
      }
    } else {
      sourceUnit = uint64_t(GetMemberTypeSizeForPointerSize(member.Type, int32_t(8 * sp)));
      destUnit = uint64_t(GetMemberTypeSizeForPointerSize(member.Type, int32_t(8 * dp)));
      const unsigned char* source = SourceBytes(c, section, offset);
      const uint64_t bytes = sourceUnit * uint64_t(member.Width);
      switch (member.Type) {
        case ReferenceMember:
          // A reference without a type (or to the empty type) cannot be followed.
          if (member.HasReference && !IsEmptyType(c, member.Reference) &&
              SourcePointer(c, section, offset, &target)) {
            if (!PlaceObjects(c, member.Reference, target, 1, &placed) ||
                !AddFixup(c, at, placed)) {
              return false;
            }
          }
          break;
        case ReferenceToArrayMember:
        case ArrayOfReferencesMember: {
          uint32_t count = 0;
          if (!SourceCount(c, section, offset, &count)) return false;
          bool linked = count > 0 && member.HasReference && !IsEmptyType(c, member.Reference) &&
                        SourcePointer(c, section, offset + 4, &target);
          // An array that cannot be followed is written as {0, null}.
          WriteDestWord(c, at, linked ? count : 0);
          if (!linked) break;
          bool ok = member.Type == ReferenceToArrayMember
                        ? PlaceObjects(c, member.Reference, target, count, &placed)
                        : PlacePointerArray(c, member.Reference, target, count, &placed);
          if (!ok || !AddFixup(c, Advance(at, 4), placed)) return false;
          break;
        }
        case VariantReferenceMember:
          if (SourcePointer(c, section, offset, &target)) {
            file_reference variantType = target;
            if (!PlaceType(c, variantType, &placed) || !AddFixup(c, at, placed)) return false;
            if (!IsEmptyType(c, variantType) && SourcePointer(c, section, offset + sp, &target)) {
              if (!PlaceObjects(c, variantType, target, 1, &placed) ||
                  !AddFixup(c, Advance(at, dp), placed)) {
                return false;
              }
            }
          }
          break;
        case ReferenceToVariantArrayMember: {
          uint32_t count = 0;
          if (!SourceCount(c, section, offset + sp, &count)) return false;
          file_reference variantType;
          bool typed = SourcePointer(c, section, offset, &variantType);
          if (typed && (!PlaceType(c, variantType, &placed) || !AddFixup(c, at, placed))) {
            return false;
          }
          bool linked = typed && count > 0 && !IsEmptyType(c, variantType) &&
                        SourcePointer(c, section, offset + sp + 4, &target);
          WriteDestWord(c, Advance(at, dp), linked ? count : 0);
          if (linked && (!PlaceObjects(c, variantType, target, count, &placed) ||
                         !AddFixup(c, Advance(at, dp + 4), placed))) {
            return false;
          }
          break;
        }
        case StringMember:
          if (SourcePointer(c, section, offset, &target)) {
            if (!PlaceString(c, target, &placed) || !AddFixup(c, at, placed)) return false;
          }
          break;
        default: {
          // Plain values swap by their marshalling unit; an empty reference
          // (always null) and the removed type have none and copy nothing.
          const member_type_traits* traits = GetMemberTypeTraits(member.Type);
          const uint32_t unit = traits ? uint32_t(traits->Info.Marshalling) : 0;
          if (unit != 0) CopyWords(c, source, at, bytes, unit);
          break;
        }
      }
    }
    offset += uint32_t(sourceUnit * uint64_t(member.Width));
    at = Advance(at, destUnit * uint64_t(member.Width));
  }
  return !c->Failed;
}

// Writes a converted type definition: Type, ArrayWidth and Extra words; the
// name and the referenced type become fix-ups.
bool ConvertType(conversion* c, const conversion_entry& entry) {
  file_reference type{entry.SourceSection, entry.SourceOffset};
  int64_t typeIndex = SummarizeType(c, type, 0);
  if (typeIndex < 0) return false;
  const uint32_t sp = c->SourcePointer, dp = c->DestPointer;
  const uint32_t memberCount = c->Types[size_t(typeIndex)].MemberCount;
  for (uint32_t m = 0; m < memberCount; ++m) {
    uint32_t record = type.Offset + m * RecordSize(sp);
    dest_location at = Advance(entry.Dest, uint64_t(m) * RecordSize(dp));
    source_member member = ReadMember(c, type, m);
    WriteDestWord(c, at, member.Type);
    WriteDestWord(c, Advance(at, 4 + 2 * dp),
                  SourceWord(c, type.SectionIndex, record + 4 + 2 * sp));
    // Extra belongs to the type's owner: carried over unchanged.
    for (uint32_t e = 0; e < 3; ++e) {
      WriteDestWord(c, Advance(at, 8 + 2 * dp + 4 * e),
                    SourceWord(c, type.SectionIndex, record + 8 + 2 * sp + 4 * e));
    }
    file_reference target;
    dest_location placed;
    if (SourcePointer(c, type.SectionIndex, record + 4, &target)) {
      if (!PlaceString(c, target, &placed) || !AddFixup(c, Advance(at, 4), placed)) return false;
    }
    bool referencesType = member.Type == InlineMember || member.Type == ReferenceMember ||
                          member.Type == ReferenceToArrayMember ||
                          member.Type == ArrayOfReferencesMember;
    if (referencesType && member.HasReference) {
      if (!PlaceType(c, member.Reference, &placed) || !AddFixup(c, Advance(at, 4 + dp), placed)) {
        return false;
      }
    }
  }
  return true;  // the end record stays zero
}

bool ConvertEntry(conversion* c, uint32_t index) {
  const conversion_entry entry = c->Entries[index];
  switch (entry.Kind) {
    case KindType:
      return ConvertType(c, entry);
    case KindObjects: {
      file_reference type{uint32_t(entry.TypeKey >> 32), uint32_t(entry.TypeKey)};
      int64_t typeIndex = SummarizeType(c, type, 0);
      if (typeIndex < 0) return false;
      const type_summary summary = c->Types[size_t(typeIndex)];
      for (uint32_t i = 0; i < entry.Count; ++i) {
        if (!ConvertObject(c, type, entry.SourceSection,
                           uint32_t(entry.SourceOffset + i * summary.SourceSize),
                           Advance(entry.Dest, i * summary.DestSize), 0)) {
          return false;
        }
      }
      return true;
    }
    case KindPointerArray: {
      file_reference type{uint32_t(entry.TypeKey >> 32), uint32_t(entry.TypeKey)};
      if (IsEmptyType(c, type)) return true;
      for (uint32_t i = 0; i < entry.Count; ++i) {
        file_reference target;
        dest_location placed;
        if (!SourcePointer(c, entry.SourceSection, entry.SourceOffset + i * c->SourcePointer,
                           &target)) {
          continue;  // a null entry is allowed
        }
        if (!PlaceObjects(c, type, target, 1, &placed) ||
            !AddFixup(c, Advance(entry.Dest, uint64_t(i) * c->DestPointer), placed)) {
          return false;
        }
      }
      return true;
    }
    case KindString:
      return true;
  }
  return false;
}

// ---- Writing the result ----------------------------------------------------------------

// Parts start at the section alignment, and at least at pointer alignment so
// that pointer arrays stay aligned once the parts are joined.
uint32_t PartAlignment(const conversion* c, uint32_t section, uint32_t fileAlignment) {
  return std::max({c->Source->Sections[section].Header.Alignment, fileAlignment, c->DestPointer});
}

struct flat_section {
  uint32_t Base[kPartCount];
  uint32_t Size;
};

void FreeConversion(conversion* c) {
  if (c->Parts != nullptr) {
    for (uint32_t i = 0; i < c->Source->SectionCount * kPartCount; ++i)
      FreeBlock(c->Parts[i].Bytes);
  }
  FreeBlock(c->Parts);
  DeletePointerHash(c->EntryMap);
  DeletePointerHash(c->TypeMap);
}

template <typename T>
void ReverseWords(T* records, size_t count) {
  uint32_t* words = reinterpret_cast<uint32_t*>(records);
  for (size_t i = 0; i < count * sizeof(T) / 4; ++i) words[i] = ByteSwap32(words[i]);
}

// Joins the converted parts, builds the arrays and writes the file.
bool WriteConverted(conversion* c, file_writer* writer, platform_info dest,
                    const file_reference& rootType, const file_reference& rootObject,
                    uint32_t fileAlignment, uint32_t sectionCount, const uint32_t* compression) {
  const file_image* source = c->Source;
  const uint32_t count = source->SectionCount;
  flat_section* flat = KT_ALLOCATE_ARRAY(flat_section, count > 0 ? count : 1);
  stored_section* stored =
      static_cast<stored_section*>(KT_ALLOCATE_CLEARED(sizeof(stored_section) * (count + 1)));
  bool ok = flat != nullptr && stored != nullptr;
  for (uint32_t s = 0; ok && s < count; ++s) {
    uint32_t alignment = PartAlignment(c, s, fileAlignment);
    uint64_t running = 0;
    for (uint32_t p = 0; p < kPartCount; ++p) {
      flat[s].Base[p] = uint32_t(running);
      running += Part(c, s, p).Size;
      running = (running + alignment - 1) & ~uint64_t(alignment - 1);
    }
    ok = running <= UINT32_MAX;
    flat[s].Size = uint32_t(running);
  }
  auto offsetOf = [&](const dest_location& at) {
    return flat[at.Section].Base[at.Part] + at.Offset;
  };
  growable_array<file_pointer_fixup> fixups;
  growable_array<file_mixed_marshalling_fixup> marshallings;
  // The joined sections, compressed together once all are built.
  void** flatData = static_cast<void**>(KT_ALLOCATE_CLEARED(sizeof(void*) * (count + 1)));
  ok = ok && flatData != nullptr;
  for (uint32_t s = 0; ok && s < count; ++s) {
    file_section_header& header = stored[s].Header;
    header.Compression = s < sectionCount && compression != nullptr
                             ? compression[s]
                             : source->Sections[s].Header.Compression;
    header.Alignment = source->Sections[s].Header.Alignment;
    header.First16BitOffset = flat[s].Base[1];
    header.First8BitOffset = flat[s].Base[2];
    header.ExpandedDataSize = flat[s].Size;
    unsigned char* data =
        static_cast<unsigned char*>(KT_ALLOCATE_CLEARED(size_t(flat[s].Size) + 16));
    if (data == nullptr) {
      KT_LOG_ERROR(
          Platform,
          "WriteFixupsAndFlattenSections: Failed to create flattened array (attempting: %d",
          int(flat[s].Size));
      ok = false;
      break;
    }
    for (uint32_t p = 0; p < kPartCount; ++p) {
      if (Part(c, s, p).Size > 0)
        std::memcpy(data + flat[s].Base[p], Part(c, s, p).Bytes, Part(c, s, p).Size);
    }
    fixups.Count = 0;
    for (const dest_fixup& f : c->Fixups) {
      if (f.From.Section != s) continue;
      ok = ok && fixups.Append(file_pointer_fixup{offsetOf(f.From), f.To.Section, offsetOf(f.To)});
    }
    std::sort(fixups.begin(), fixups.end(),
              [](const file_pointer_fixup& a, const file_pointer_fixup& b) {
                return a.FromOffset < b.FromOffset;
              });
    marshallings.Count = 0;
    for (const dest_marshalling& m : c->Marshallings) {
      if (m.Object.Section != s) continue;
      ok = ok && marshallings.Append(file_mixed_marshalling_fixup{
                     m.Count, offsetOf(m.Object), m.Type.Section, offsetOf(m.Type)});
    }
    header.FixupCount = uint32_t(fixups.Count);
    header.MarshallingCount = uint32_t(marshallings.Count);
    if (dest.BigEndian) {
      ReverseWords(fixups.Items, fixups.Count);
      ReverseWords(marshallings.Items, marshallings.Count);
    }
    flatData[s] = data;
    // Part buffers are no longer needed; free them early to bound memory.
    for (uint32_t p = 0; p < kPartCount; ++p) {
      FreeBlock(Part(c, s, p).Bytes);
      Part(c, s, p) = byte_buffer{};
    }
    if (ok && !StoreRecordArray(header.Compression, fixups.Items,
                                uint32_t(fixups.Count * sizeof(file_pointer_fixup)), dest.BigEndian,
                                &stored[s].Fixups, &stored[s].FixupBytes)) {
      KT_LOG_ERROR(Platform, "Unable to write compressed fixup data");
      ok = false;
    }
    if (ok &&
        !StoreRecordArray(header.Compression, marshallings.Items,
                          uint32_t(marshallings.Count * sizeof(file_mixed_marshalling_fixup)),
                          dest.BigEndian, &stored[s].Marshallings, &stored[s].MarshallingBytes)) {
      KT_LOG_ERROR(Platform, "Unable to write compressed mixed marshalling data");
      ok = false;
    }
  }
  ok = ok && StoreSectionsData(stored, flatData, count, dest.BigEndian);
  for (uint32_t s = 0; flatData != nullptr && s < count; ++s) FreeBlock(flatData[s]);
  FreeBlock(flatData);
  if (ok) {
    stored_file_layout layout{};
    std::memcpy(layout.MagicValue, kPlatformMagic[dest.Platform], sizeof(layout.MagicValue));
    layout.Header = source->Header;
    layout.Header.Version = kFileVersion;
    layout.Header.RootObjectTypeDefinition = rootType;
    layout.Header.RootObject = rootObject;
    layout.BigEndian = dest.BigEndian;
    layout.RoundDataSize = false;
    layout.FileAlignment = fileAlignment;
    ok = WriteStoredFile(writer, &layout, count, stored);
  }
  for (uint32_t s = 0; stored != nullptr && s < count; ++s) FreeStoredSection(&stored[s]);
  FreeBlock(stored);
  FreeBlock(flat);
  return ok;
}

}  // namespace

bool PlatformConvertImageToWriter(const file_image* source, file_writer* destWriter,
                                  const file_magic_record& destMagicRecord, uint32_t fileAlignment,
                                  uint32_t sectionCount, const uint32_t* compressionTypes) {
  file_platform destPlatform;
  if (!KT_CHECK_PARAMETER(Platform, source != nullptr && destWriter != nullptr &&
                                        fileAlignment >= 4 && IsPowerOfTwo(fileAlignment))) {
    return false;
  }
  if (!GetMagicRecordPlatform(destMagicRecord, &destPlatform)) {
    KT_LOG_ERROR(Platform,
                 "PlatformConvertReaderToWriter: failed to obtain good platform information");
    return false;
  }
  for (uint32_t s = 0; s < source->SectionCount; ++s) {
    if (!source->Sections[s].Loaded) {
      KT_PARAMETER_CHECK_FAILED(Platform);
      return false;
    }
  }
  const platform_info dest = GetPlatformInfo(destPlatform);
  conversion c{};
  c.Source = source;
  c.SourcePointer = source->Platform.PointerBytes;
  c.DestPointer = dest.PointerBytes;
  c.SourceReversed = source->ByteReversed;
  c.DestReversed = dest.BigEndian;
  c.Swap = c.SourceReversed != c.DestReversed;
  uint64_t sourceBytes = 0;
  for (uint32_t s = 0; s < source->SectionCount; ++s) {
    sourceBytes += source->Sections[s].Header.ExpandedDataSize;
  }
  // Wider pointers at most double a block; anything beyond is a hostile file
  // that references overlapping places to multiply its size.
  c.DestLimit = 4 * sourceBytes + 65536;
  c.Parts = static_cast<byte_buffer*>(
      KT_ALLOCATE_CLEARED(sizeof(byte_buffer) * kPartCount * (source->SectionCount + 1)));
  c.EntryMap = NewPointerHash();
  c.TypeMap = NewPointerHash();
  if (c.Parts == nullptr || c.EntryMap == nullptr || c.TypeMap == nullptr) {
    KT_LOG_ERROR(Platform, "PlatformConversion unable to initialize conversion state");
    FreeConversion(&c);
    return false;
  }
  const file_reference rootType = source->Header.RootObjectTypeDefinition;
  const file_reference rootObject = source->Header.RootObject;
  bool ok = true;
  if (!SourceRange(&c, rootType.SectionIndex, rootType.Offset, 4) ||
      !SourceRange(&c, rootObject.SectionIndex, rootObject.Offset, 0)) {
    KT_LOG_ERROR(Platform, "PlatformConversion: root object lies outside its section");
    ok = false;
  } else if (IsEmptyType(&c, rootType)) {
    KT_LOG_ERROR(Platform,
                 "PlatformConversion: Cannot convert Raw File types (empty type as root "
                 "object type detected)");
    ok = false;
  }
  dest_location destRootType{}, destRootObject{};
  ok = ok && PlaceObjects(&c, rootType, rootObject, 1, &destRootObject) &&
       PlaceType(&c, rootType, &destRootType);
  for (size_t next = 0; ok && next < c.Work.Count; ++next) ok = ConvertEntry(&c, c.Work[next]);
  if (!ok) KT_LOG_ERROR(Platform, "PlatformConversion: Initial tree traversal failed");
  if (ok) {
    // The root's places in the flattened sections, computed as WriteConverted
    // flattens them (before it frees the parts).
    auto resolve = [&](const dest_location& at) {
      uint32_t alignment = PartAlignment(&c, at.Section, fileAlignment);
      uint64_t base = 0;
      for (uint32_t p = 0; p < at.Part; ++p) {
        base += Part(&c, at.Section, p).Size;
        base = (base + alignment - 1) & ~uint64_t(alignment - 1);
      }
      return file_reference{at.Section, uint32_t(base + at.Offset)};
    };
    ok = WriteConverted(&c, destWriter, dest, resolve(destRootType), resolve(destRootObject),
                        fileAlignment, sectionCount, compressionTypes);
    if (!ok)
      KT_LOG_ERROR(Platform, "PlatformConversion: Failed to write flattened sections and fixups");
  }
  FreeConversion(&c);
  return ok;
}

bool PlatformConvertReaderToWriter(file_reader* sourceReader, file_writer* destWriter,
                                   const file_magic_record& destMagicRecord, bool excludeTypeTree,
                                   uint32_t fileAlignment, uint32_t sectionCount,
                                   const uint32_t* compressionTypes) {
  (void)excludeTypeTree;  // the converted file always carries the full type tree
  if (!KT_CHECK_PARAMETER(Platform, sourceReader != nullptr && destWriter != nullptr &&
                                        fileAlignment >= 4 && IsPowerOfTwo(fileAlignment))) {
    return false;
  }
  void* bytes = nullptr;
  size_t size = 0;
  if (!ReadAllFromReader(sourceReader, &bytes, &size)) {
    KT_LOG_ERROR(Platform, "PlatformConvertReaderToWriter: ReadPartialFileFromReader failed");
    FreeBlock(bytes);
    return false;
  }
  return PlatformConvertBytesToWriter(bytes, size, destWriter, destMagicRecord, fileAlignment,
                                      sectionCount, compressionTypes);
}

bool PlatformConvertBytesToWriter(void* ownedBytes, size_t size, file_writer* destWriter,
                                  const file_magic_record& destMagicRecord, uint32_t fileAlignment,
                                  uint32_t sectionCount, const uint32_t* compressionTypes) {
  if (!KT_CHECK_PARAMETER(Platform, ownedBytes != nullptr && destWriter != nullptr &&
                                        fileAlignment >= 4 && IsPowerOfTwo(fileAlignment))) {
    FreeBlock(ownedBytes);
    return false;
  }
  void* bytes = ownedBytes;
  file_image image;
  if (!OpenFileImage(bytes, size, &image)) {
    KT_LOG_ERROR(Platform, "PlatformConvertReaderToWriter: ReadPartialFileFromReader failed");
    FreeBlock(bytes);
    return false;
  }
  image.OwnedBytes = bytes;
  file_platform destPlatform;
  if (GetMagicRecordPlatform(destMagicRecord, &destPlatform) &&
      destPlatform == image.Platform.Platform) {
    KT_LOG_WARNING(Platform,
                   "PlatformConvertReaderToWriter called when Source and Dest Magic values match.");
  }
  bool ok = LoadAllFileImageSections(&image);
  // Every section now has its own copy; the converter reads only those, so the whole file's
  // bytes go before the converted sections are built.
  FreeBlock(image.OwnedBytes);
  image.OwnedBytes = nullptr;
  image.Bytes = nullptr;
  ok = ok && PlatformConvertImageToWriter(&image, destWriter, destMagicRecord, fileAlignment,
                                          sectionCount, compressionTypes);
  CloseFileImage(&image);
  return ok;
}

}  // namespace ketrel
