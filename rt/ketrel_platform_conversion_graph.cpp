// Walking a file image's object graph from its root: type summaries, objects
// placed into destination parts by marshalling, and every pointer and array
// count recorded for the fill (ketrel_platform_conversion_fill.cpp), which
// copies the contents once the destination's size is known.
#include <algorithm>
#include <cstring>

#include "rt/ketrel_data_types.h"
#include "rt/ketrel_file_format.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_platform_conversion_internal.h"

namespace ketrel::platform_detail {
bool Fail(conversion* c, const char* what, uint32_t section, uint32_t offset) {
  if (!c->Failed) {
    KT_LOG_ERROR(Platform, "PlatformConversion: %s (section %u, offset %u)", what, section, offset);
  }
  c->Failed = true;
  return false;
}

namespace {

// ---- Reading the source --------------------------------------------------------

const unsigned char* SourceBytes(const conversion* c, uint32_t section, uint32_t offset) {
  return c->Source->Sections[section].Data + offset;
}

uint32_t SourceSectionSize(const conversion* c, uint32_t section) {
  return c->Source->Sections[section].Header.ExpandedDataSize;
}

}  // namespace

bool SourceRange(const conversion* c, uint32_t section, uint64_t offset, uint64_t size) {
  return section < c->Source->SectionCount && offset <= SourceSectionSize(c, section) &&
         size <= SourceSectionSize(c, section) - offset;
}

uint32_t SourceWord(const conversion* c, uint32_t section, uint32_t offset) {
  uint32_t word;
  std::memcpy(&word, SourceBytes(c, section, offset), 4);
  return c->SourceReversed ? ByteSwap32(word) : word;
}

namespace {

// The target of the pointer slot at (section, offset), if it has a fix-up.
bool SourcePointer(const conversion* c, uint32_t section, uint32_t offset, file_reference* out) {
  const file_pointer_fixup* fixup = FindFileFixup(c->Source, section, offset);
  if (fixup == nullptr) return false;
  *out = file_reference{fixup->ToSection, fixup->ToOffset};
  return true;
}

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

}  // namespace

bool IsEmptyType(const conversion* c, const file_reference& type) {
  return SourceWord(c, type.SectionIndex, type.Offset) == EndMember;
}

namespace {

// ---- Type summaries ------------------------------------------------------------------

// Adds a stretch to a type's swap runs, joined to the previous one when both
// hold whole words of the same unit. False when the layout needs too many.
bool AddRun(swap_run* runs, uint32_t* count, uint64_t offset, uint64_t size, uint32_t unit) {
  if (size == 0) return true;
  if (*count > 0) {
    swap_run& last = runs[*count - 1];
    if (last.Unit == unit && uint64_t(last.Offset) + last.Size == offset && last.Size % unit == 0 &&
        size % unit == 0) {
      last.Size += uint32_t(size);
      return true;
    }
  }
  if (*count == kMaxSwapRuns) return false;
  runs[(*count)++] = swap_run{uint32_t(offset), uint32_t(size), unit};
  return true;
}

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
  type_summary summary{TypeInProgress, 0, 0, 0, 0, 0, false, 0, 0, 0};
  // The swap runs of one object, while it has no pointers and stays simple.
  swap_run runs[kMaxSwapRuns];
  uint32_t runCount = 0;
  bool bulk = true;
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
    type_summary inner{};
    if (memberType == InlineMember) {
      file_reference innerType;
      if (!SourcePointer(c, type.SectionIndex, record + 4 + c->SourcePointer, &innerType)) {
        Fail(c, "inline member has no type", type.SectionIndex, record);
        return -1;
      }
      int64_t innerIndex = SummarizeType(c, innerType, depth + 1);
      if (innerIndex < 0) return -1;
      inner = c->Types[size_t(innerIndex)];
      // An inline member of nothing would let a tiny object hold endless elements.
      if (inner.SourceSize == 0 || inner.DestSize == 0) {
        Fail(c, "inline member of an empty type", type.SectionIndex, record);
        return -1;
      }
      sourceUnit = inner.SourceSize;
      destUnit = inner.DestSize;
      marshalling = inner.Marshalling;
      summary.InlineDepth = std::max(summary.InlineDepth, inner.InlineDepth + 1);
      bulk = bulk && inner.Bulk;
    } else {
      sourceUnit =
          uint64_t(GetMemberTypeSizeForPointerSize(memberType, int32_t(8 * c->SourcePointer)));
      destUnit = uint64_t(GetMemberTypeSizeForPointerSize(memberType, int32_t(8 * c->DestPointer)));
      marshalling = uint32_t(GetMemberTypeInfo(memberType)->Marshalling);
      // Values with nothing to copy (an empty reference) or with pointers
      // stay on the member-by-member path.
      bulk = bulk && !GetMemberTypeTraits(memberType)->PointerBearing && sourceUnit == destUnit &&
             (marshalling != 0 || sourceUnit == 0);
    }
    const uint64_t memberOffset = summary.SourceSize;
    summary.SourceSize += sourceUnit * uint64_t(width);
    summary.DestSize += destUnit * uint64_t(width);
    summary.Marshalling |= marshalling;
    if (summary.SourceSize > kMaxTypeSize || summary.DestSize > kMaxTypeSize) {
      Fail(c, "type is too large", type.SectionIndex, type.Offset);
      return -1;
    }
    if (bulk && memberType != InlineMember) {
      bulk = AddRun(runs, &runCount, memberOffset, sourceUnit * uint64_t(width), marshalling);
    } else if (bulk && inner.RunCount == 1 && c->Runs[inner.FirstRun].Size == inner.SourceSize) {
      const swap_run whole = c->Runs[inner.FirstRun];
      bulk = AddRun(runs, &runCount, memberOffset, inner.SourceSize * uint64_t(width), whole.Unit);
    } else {
      // Repeats of a mixed layout run out of room within a few elements.
      for (int32_t e = 0; bulk && e < width; ++e) {
        for (uint32_t r = 0; bulk && r < inner.RunCount; ++r) {
          const swap_run run = c->Runs[inner.FirstRun + r];
          bulk = AddRun(runs, &runCount, memberOffset + uint64_t(e) * inner.SourceSize + run.Offset,
                        run.Size, run.Unit);
        }
      }
    }
  }
  // Deeper nesting than conversion allows fails on the member-by-member path.
  summary.Bulk = bulk && summary.InlineDepth <= kMaxInlineDepth;
  if (summary.Bulk) {
    summary.FirstRun = uint32_t(c->Runs.Count);
    summary.RunCount = runCount;
    for (uint32_t r = 0; r < runCount; ++r) {
      if (!c->Runs.Append(runs[r])) {
        c->Failed = true;
        return -1;
      }
    }
  }
  // The member records as conversion reads them for every object of the type.
  summary.FirstMember = uint32_t(c->Members.Count);
  for (uint32_t m = 0; m < summary.MemberCount; ++m) {
    source_member member = ReadMember(c, type, m);
    if (member.Type == InlineMember) {
      uint64_t inner = 0;
      GetHashedPointerData(c->TypeMap, Key(member.Reference.SectionIndex, member.Reference.Offset),
                           &inner);
      member.InlineType = uint32_t(inner);
    }
    if (!c->Members.Append(member)) {
      c->Failed = true;
      return -1;
    }
  }
  summary.State = TypeDone;
  c->Types[index] = summary;
  return int64_t(index);
}

// ---- The destination -----------------------------------------------------------------

}  // namespace

uint32_t& PartSize(conversion* c, uint32_t section, uint32_t part) {
  return c->PartSizes[section * kPartCount + part];
}

namespace {

// Places `size` bytes at the section alignment in a part; the bytes
// themselves are written by the fill. In place, the piece stays at the
// source place `at` (the size still counts against the limit, which bounds
// the work a file that references overlapping places can ask for).
bool Reserve(conversion* c, const file_reference& at, uint32_t part, uint64_t size,
             dest_location* out, uint32_t minimumAlignment = 1) {
  const uint32_t section = at.SectionIndex;
  uint32_t& placed = PartSize(c, section, part);
  // Anything but text at least at the file's alignment, whatever a
  // (hostile) section header says, so that native code can read it.
  if (part != 2 || minimumAlignment > 1)
    minimumAlignment = std::max(minimumAlignment, kFileAlignment);
  uint32_t alignment = std::max(c->Source->Sections[section].Header.Alignment, minimumAlignment);
  uint64_t offset = (uint64_t(placed) + alignment - 1) & ~uint64_t(alignment - 1);
  uint64_t end = offset + size;
  c->DestBytes += end - placed;
  if (end > kMaxPartSize || c->DestBytes > c->DestLimit) {
    return Fail(c, "converted data would be far larger than the source", section, 0);
  }
  placed = uint32_t(end);
  *out = c->InPlace ? dest_location{section, 0, at.Offset}
                    : dest_location{section, part, uint32_t(offset)};
  return true;
}

dest_location Advance(dest_location at, uint64_t by) {
  at.Offset += uint32_t(by);
  return at;
}

// Records an array count for the fill.
bool WriteDestWord(conversion* c, const dest_location& at, uint32_t value) {
  if (value == 0) return true;  // the fill leaves counts zero
  if (!c->Words.Append(dest_word{at, value})) return Fail(c, "out of memory", at.Section, 0);
  return true;
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
              uint32_t count, const dest_location& dest, uint64_t destSize) {
  uint32_t index = uint32_t(c->Entries.Count);
  if (!c->Entries.Append(conversion_entry{kind, typeKey, count, at.SectionIndex, at.Offset, dest,
                                          uint32_t(destSize)}) ||
      !SetHashedPointerData(c->EntryMap, Key(at.SectionIndex, at.Offset), index) ||
      !c->Work.Append(index)) {
    return Fail(c, "out of memory", at.SectionIndex, at.Offset);
  }
  return true;
}

}  // namespace

bool PlaceType(conversion* c, const file_reference& type, dest_location* out) {
  int found = FindEntry(c, KindType, 0, type, 1, out);
  if (found != 0) return found > 0;
  int64_t index = SummarizeType(c, type, 0);
  if (index < 0) return false;
  uint64_t size = uint64_t(c->Types[size_t(index)].MemberCount + 1) * RecordSize(c->DestPointer);
  return Reserve(c, type, 0, size, out) && AddEntry(c, KindType, 0, type, 1, *out, size);
}

namespace {

bool PlaceString(conversion* c, const file_reference& text, dest_location* out) {
  int found = FindEntry(c, KindString, 0, text, 1, out);
  if (found != 0) return found > 0;
  const unsigned char* start = SourceBytes(c, text.SectionIndex, text.Offset);
  uint32_t available = SourceSectionSize(c, text.SectionIndex) - text.Offset;
  const void* end = std::memchr(start, 0, available);
  if (end == nullptr)
    return Fail(c, "string is not ended inside its section", text.SectionIndex, text.Offset);
  uint64_t size = uint64_t(static_cast<const unsigned char*>(end) - start) + 1;
  if (!Reserve(c, text, 2, size, out)) return false;
  // Strings have nothing to walk; no work item needed.
  uint32_t index = uint32_t(c->Entries.Count);
  if (!c->Entries.Append(conversion_entry{KindString, 0, 1, text.SectionIndex, text.Offset, *out,
                                          uint32_t(size)}) ||
      !AddPointerToHash(c->EntryMap, Key(text.SectionIndex, text.Offset), index)) {
    return Fail(c, "out of memory", text.SectionIndex, text.Offset);
  }
  return true;
}

// Places `count` consecutive objects of `type` found at `at`.
}  // namespace

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
  if (!Reserve(c, at, PartForMarshalling(summary.Marshalling), summary.DestSize * count, out) ||
      !AddEntry(c, KindObjects, typeKey, at, count, *out, summary.DestSize * count)) {
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

namespace {

bool PlacePointerArray(conversion* c, const file_reference& elementType, const file_reference& at,
                       uint32_t count, dest_location* out) {
  uint64_t typeKey = Key(elementType.SectionIndex, elementType.Offset);
  int found = FindEntry(c, KindPointerArray, typeKey, at, count, out);
  if (found != 0) return found > 0;
  if (!SourceRange(c, at.SectionIndex, at.Offset, uint64_t(count) * c->SourcePointer)) {
    return Fail(c, "pointer array runs past the end of its section", at.SectionIndex, at.Offset);
  }
  // Pointer arrays are read as T** by native code: keep them pointer aligned.
  const uint64_t size = uint64_t(count) * c->DestPointer;
  return Reserve(c, at, 2, size, out, c->DestPointer) &&
         AddEntry(c, KindPointerArray, typeKey, at, count, *out, size);
}

// ---- Walking contents -------------------------------------------------------------

// Finds the fix-ups of one stretch of the source in order: one search for
// its start, then a walk forward, since its slots are asked for in rising
// order. A slot before the last one asked for is searched for afresh.
struct fixup_walk {
  uint32_t Section;
  uint32_t Last;
  const file_pointer_fixup* At;
  const file_pointer_fixup* End;
};

fixup_walk BeginFixupWalk(const conversion* c, uint32_t section, uint32_t offset) {
  fixup_walk walk{section, offset, nullptr, nullptr};
  const file_image_section& s = c->Source->Sections[section];
  if (!s.Loaded || s.Fixups == nullptr) return walk;
  walk.End = s.Fixups + s.Header.FixupCount;
  walk.At = std::lower_bound(
      static_cast<const file_pointer_fixup*>(s.Fixups), walk.End, offset,
      [](const file_pointer_fixup& f, uint32_t value) { return f.FromOffset < value; });
  return walk;
}

// SourcePointer for a slot of the walked stretch.
bool WalkPointer(const conversion* c, fixup_walk* walk, uint32_t offset, file_reference* out) {
  if (offset < walk->Last) return SourcePointer(c, walk->Section, offset, out);
  walk->Last = offset;
  while (walk->At != walk->End && walk->At->FromOffset < offset) ++walk->At;
  if (walk->At == walk->End || walk->At->FromOffset != offset) return false;
  *out = file_reference{walk->At->ToSection, walk->At->ToOffset};
  return true;
}

// Reads an element count; a negative count is damage.
bool SourceCount(conversion* c, uint32_t section, uint32_t offset, uint32_t* out) {
  int32_t count = int32_t(SourceWord(c, section, offset));
  if (count < 0) return Fail(c, "negative element count", section, offset);
  *out = uint32_t(count);
  return true;
}

// Converts one object of the summarised type `typeIndex` at source
// (section, offset) into `at`; its slots are found by `walk`.
bool ConvertObject(conversion* c, uint32_t typeIndex, uint32_t section, uint32_t offset,
                   dest_location at, uint32_t depth, fixup_walk* walk) {
  if (depth > kMaxInlineDepth) return Fail(c, "inline types nest too deeply", section, offset);
  const uint32_t memberCount = c->Types[typeIndex].MemberCount;
  const uint32_t firstMember = c->Types[typeIndex].FirstMember;
  const uint32_t sp = c->SourcePointer, dp = c->DestPointer;
  for (uint32_t m = 0; m < memberCount && !c->Failed; ++m) {
    const source_member member = c->Members[firstMember + m];
    file_reference target;
    dest_location placed;
    uint64_t sourceUnit = 0, destUnit = 0;
    if (member.Type == InlineMember) {
      const uint32_t inner = member.InlineType;
      sourceUnit = c->Types[inner].SourceSize;
      destUnit = c->Types[inner].DestSize;
      for (int32_t e = 0; e < member.Width; ++e) {
        if (!ConvertObject(c, inner, section, uint32_t(offset + e * sourceUnit),
                           Advance(at, e * destUnit), depth + 1, walk)) {
          return false;
        }
      }
    } else {
      sourceUnit = uint64_t(GetMemberTypeSizeForPointerSize(member.Type, int32_t(8 * sp)));
      destUnit = uint64_t(GetMemberTypeSizeForPointerSize(member.Type, int32_t(8 * dp)));
      switch (member.Type) {
        case ReferenceMember:
          // A reference without a type (or to the empty type) cannot be followed.
          if (member.HasReference && !IsEmptyType(c, member.Reference) &&
              WalkPointer(c, walk, offset, &target)) {
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
                        WalkPointer(c, walk, offset + 4, &target);
          // An array that cannot be followed is written as {0, null}.
          if (!linked) break;
          if (!WriteDestWord(c, at, count)) return false;
          bool ok = member.Type == ReferenceToArrayMember
                        ? PlaceObjects(c, member.Reference, target, count, &placed)
                        : PlacePointerArray(c, member.Reference, target, count, &placed);
          if (!ok || !AddFixup(c, Advance(at, 4), placed)) return false;
          break;
        }
        case VariantReferenceMember:
          if (WalkPointer(c, walk, offset, &target)) {
            file_reference variantType = target;
            if (!PlaceType(c, variantType, &placed) || !AddFixup(c, at, placed)) return false;
            if (!IsEmptyType(c, variantType) && WalkPointer(c, walk, offset + sp, &target)) {
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
          bool typed = WalkPointer(c, walk, offset, &variantType);
          if (typed && (!PlaceType(c, variantType, &placed) || !AddFixup(c, at, placed))) {
            return false;
          }
          bool linked = typed && count > 0 && !IsEmptyType(c, variantType) &&
                        WalkPointer(c, walk, offset + sp + 4, &target);
          if (linked && (!WriteDestWord(c, Advance(at, dp), count) ||
                         !PlaceObjects(c, variantType, target, count, &placed) ||
                         !AddFixup(c, Advance(at, dp + 4), placed))) {
            return false;
          }
          break;
        }
        case StringMember:
          if (WalkPointer(c, walk, offset, &target)) {
            if (!PlaceString(c, target, &placed) || !AddFixup(c, at, placed)) return false;
          }
          break;
        default:
          break;  // plain values are copied by the fill
      }
    }
    offset += uint32_t(sourceUnit * uint64_t(member.Width));
    at = Advance(at, destUnit * uint64_t(member.Width));
  }
  return !c->Failed;
}

// Places a type definition's name and referenced types (its words are
// copied by the fill).
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
  return true;
}

}  // namespace

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
      if (summary.Bulk) return true;  // nothing to follow: the fill copies them whole
      fixup_walk walk = BeginFixupWalk(c, entry.SourceSection, entry.SourceOffset);
      for (uint32_t i = 0; i < entry.Count; ++i) {
        if (!ConvertObject(c, uint32_t(typeIndex), entry.SourceSection,
                           uint32_t(entry.SourceOffset + i * summary.SourceSize),
                           Advance(entry.Dest, i * summary.DestSize), 0, &walk)) {
          return false;
        }
      }
      return true;
    }
    case KindPointerArray: {
      file_reference type{uint32_t(entry.TypeKey >> 32), uint32_t(entry.TypeKey)};
      if (IsEmptyType(c, type)) return true;
      fixup_walk walk = BeginFixupWalk(c, entry.SourceSection, entry.SourceOffset);
      for (uint32_t i = 0; i < entry.Count; ++i) {
        file_reference target;
        dest_location placed;
        if (!WalkPointer(c, &walk, entry.SourceOffset + i * c->SourcePointer, &target)) {
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
}  // namespace ketrel::platform_detail
