// Filling the destination of a walked conversion: every placed piece copied
// from the source once, straight into its final place, with the padding
// between pieces cleared and nothing cleared twice. Arrays of pointer-free
// types are copied whole and swapped by the runs their type summary records.
#include <algorithm>
#include <cstring>

#include "rt/ketrel_data_types.h"
#include "rt/ketrel_file_format.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_platform_conversion_internal.h"

namespace ketrel::platform_detail {
namespace {

// Reverses the bytes of each whole `unit` (2 or 4) in place; bytes are left as they are.
void SwapWords(unsigned char* dest, uint64_t bytes, uint32_t unit) {
  if (unit < 2) return;
  if (unit == 4) {
    for (uint64_t i = 0; i + 4 <= bytes; i += 4) {
      uint32_t word;
      std::memcpy(&word, dest + i, 4);
      word = ByteSwap32(word);
      std::memcpy(dest + i, &word, 4);
    }
    return;
  }
  // Any other unit swaps the first two bytes of each, as it always has.
  for (uint64_t i = 0; i + unit <= bytes; i += unit) {
    uint16_t half;
    std::memcpy(&half, dest + i, 2);
    half = ByteSwap16(half);
    std::memcpy(dest + i, &half, 2);
  }
}

// In place the source and destination are the same bytes: nothing to copy.
void CopyBytes(unsigned char* dest, const unsigned char* source, uint64_t bytes) {
  if (dest != source) std::memcpy(dest, source, size_t(bytes));
}

const unsigned char* SourceAt(const conversion* c, const conversion_entry& entry) {
  return c->Source->Sections[entry.SourceSection].Data + entry.SourceOffset;
}

unsigned char* DestAt(const flat_section* flat, unsigned char* const* data,
                      const dest_location& at) {
  return data[at.Section] + flat[at.Section].Base[at.Part] + at.Offset;
}

// `count` objects of a pointer-free type at once: one copy, then one swap
// loop over the whole array when a single unit fills the type, or the type's
// runs element by element.
void FillPlainObjects(const conversion* c, const type_summary& summary, uint32_t count,
                      const unsigned char* source, unsigned char* dest) {
  const uint64_t size = summary.SourceSize;
  const uint64_t total = size * count;
  CopyBytes(dest, source, total);
  if (!c->Swap) return;
  const swap_run* runs = c->Runs.Items + summary.FirstRun;
  if (summary.RunCount == 1 && runs[0].Size == size && size % runs[0].Unit == 0) {
    SwapWords(dest, total, runs[0].Unit);
    return;
  }
  for (uint64_t i = 0; i < count; ++i) {
    unsigned char* element = dest + i * size;
    for (uint32_t r = 0; r < summary.RunCount; ++r) {
      SwapWords(element + runs[r].Offset, runs[r].Size, runs[r].Unit);
    }
  }
}

// One object member by member: plain values copied and swapped by their
// marshalling unit, pointer-bearing members (and values with nothing to
// copy) cleared for the recorded counts and pointers. The walk has checked
// the type and its nesting.
void FillObject(const conversion* c, uint32_t typeIndex, const unsigned char* source,
                unsigned char* dest) {
  const type_summary& summary = c->Types[typeIndex];
  const int32_t sourceBits = int32_t(8 * c->SourcePointer);
  const int32_t destBits = int32_t(8 * c->DestPointer);
  for (uint32_t m = 0; m < summary.MemberCount; ++m) {
    const source_member& member = c->Members[summary.FirstMember + m];
    const uint64_t width = uint64_t(member.Width);
    if (member.Type == InlineMember) {
      const type_summary& inner = c->Types[member.InlineType];
      if (inner.Bulk) {
        FillPlainObjects(c, inner, uint32_t(width), source, dest);
      } else {
        for (uint64_t e = 0; e < width; ++e) {
          FillObject(c, member.InlineType, source + e * inner.SourceSize,
                     dest + e * inner.DestSize);
        }
      }
      source += inner.SourceSize * width;
      dest += inner.DestSize * width;
      continue;
    }
    const uint64_t sourceBytes =
        uint64_t(GetMemberTypeSizeForPointerSize(member.Type, sourceBits)) * width;
    const uint64_t destBytes =
        uint64_t(GetMemberTypeSizeForPointerSize(member.Type, destBits)) * width;
    const member_type_traits* traits = GetMemberTypeTraits(member.Type);
    const uint32_t unit =
        traits != nullptr && !traits->PointerBearing ? uint32_t(traits->Info.Marshalling) : 0;
    if (unit != 0 && sourceBytes == destBytes) {
      CopyBytes(dest, source, sourceBytes);
      if (c->Swap) SwapWords(dest, sourceBytes, unit);
    } else if (destBytes > 0) {
      std::memset(dest, 0, size_t(destBytes));
    }
    source += sourceBytes;
    dest += destBytes;
  }
}

// A type definition's records: Type, ArrayWidth and Extra (which belongs to
// the type's owner) carried over; the name and referenced type are pointers
// and the reserved field stays null; the end record is all zero.
void FillType(const conversion* c, const conversion_entry& entry, uint32_t memberCount,
              unsigned char* dest) {
  const uint32_t sp = c->SourcePointer, dp = c->DestPointer;
  const unsigned char* source = SourceAt(c, entry);
  for (uint32_t m = 0; m < memberCount; ++m) {
    const unsigned char* from = source + uint64_t(m) * RecordSize(sp);
    unsigned char* to = dest + uint64_t(m) * RecordSize(dp);
    uint32_t words[5];  // read before writing: in place they are the same bytes
    std::memcpy(&words[0], from, 4);
    std::memcpy(&words[1], from + 4 + 2 * sp, 16);
    if (c->Swap) {
      for (uint32_t& word : words) word = ByteSwap32(word);
    }
    std::memset(to, 0, RecordSize(dp));
    std::memcpy(to, &words[0], 4);
    std::memcpy(to + 4 + 2 * dp, &words[1], 16);
  }
  std::memset(dest + uint64_t(memberCount) * RecordSize(dp), 0, RecordSize(dp));
}

uint32_t SummaryOf(const conversion* c, uint64_t typeKey) {
  uint64_t index = 0;
  GetHashedPointerData(c->TypeMap, typeKey, &index);  // every placed type was summarised
  return uint32_t(index);
}

void FillEntry(const conversion* c, const conversion_entry& entry, unsigned char* dest) {
  switch (entry.Kind) {
    case KindType:
      FillType(c, entry,
               c->Types[SummaryOf(c, Key(entry.SourceSection, entry.SourceOffset))].MemberCount,
               dest);
      return;
    case KindString:
      CopyBytes(dest, SourceAt(c, entry), entry.DestSize);
      return;
    case KindPointerArray:
      std::memset(dest, 0, entry.DestSize);
      return;
    case KindObjects: {
      const uint32_t typeIndex = SummaryOf(c, entry.TypeKey);
      const type_summary& summary = c->Types[typeIndex];
      const unsigned char* source = SourceAt(c, entry);
      if (summary.Bulk) {
        FillPlainObjects(c, summary, entry.Count, source, dest);
        return;
      }
      for (uint32_t i = 0; i < entry.Count; ++i) {
        FillObject(c, typeIndex, source + uint64_t(i) * summary.SourceSize,
                   dest + uint64_t(i) * summary.DestSize);
      }
      return;
    }
  }
}

}  // namespace

bool FillDestination(conversion* c, const flat_section* flat, unsigned char* const* data) {
  const uint32_t sections = c->Source->SectionCount;
  // Pieces of one part are placed at rising offsets, in the order of the
  // entries: what lies between two of them is padding.
  growable_array<uint32_t> filled;
  if (!filled.Reserve(size_t(sections) * kPartCount)) return false;
  uint32_t* filledTo = filled.Items;
  std::fill(filledTo, filledTo + size_t(sections) * kPartCount, 0u);
  for (const conversion_entry& entry : c->Entries) {
    unsigned char* dest = DestAt(flat, data, entry.Dest);
    if (!c->InPlace) {
      uint32_t& done = filledTo[entry.Dest.Section * kPartCount + entry.Dest.Part];
      if (entry.Dest.Offset > done) {
        std::memset(dest - (entry.Dest.Offset - done), 0, entry.Dest.Offset - done);
      }
      done = std::max(done, entry.Dest.Offset + entry.DestSize);
    }
    FillEntry(c, entry, dest);
  }
  if (!c->InPlace) {
    for (uint32_t s = 0; s < sections; ++s) {
      for (uint32_t p = 0; p < kPartCount; ++p) {
        const uint32_t from = flat[s].Base[p] + filledTo[s * kPartCount + p];
        const uint32_t to = p + 1 < kPartCount ? flat[s].Base[p + 1] : flat[s].Size;
        if (to > from) std::memset(data[s] + from, 0, to - from);
      }
      std::memset(data[s] + flat[s].Size, 0, 16);
    }
  }
  for (const dest_word& word : c->Words) {
    uint32_t value = c->DestReversed ? ByteSwap32(word.Value) : word.Value;
    std::memcpy(DestAt(flat, data, word.At), &value, 4);
  }
  return true;
}

namespace {

// Whether filling `entry` in place rewrites any of its bytes.
bool Rewritten(const conversion* c, const conversion_entry& entry) {
  if (entry.Kind == KindString) return false;
  if (entry.Kind == KindObjects) return !c->Types[SummaryOf(c, entry.TypeKey)].Bulk;
  return true;
}

// Two overlapping pieces read the same bytes alike: the same kind and type,
// with elements that line up.
bool Compatible(const conversion* c, const conversion_entry& a, const conversion_entry& b) {
  if (a.Kind != b.Kind || a.TypeKey != b.TypeKey) return false;
  const uint32_t apart = b.SourceOffset - a.SourceOffset;
  switch (a.Kind) {
    case KindObjects:
      return apart % c->Types[SummaryOf(c, a.TypeKey)].SourceSize == 0;
    case KindPointerArray:
      return apart % c->SourcePointer == 0;
    case KindString:
      return true;
    case KindType:
      return apart == 0;
  }
  return false;
}

// The alignment native code reads a piece with where it lies: pointer
// arrays, type records and objects with pointers at pointer alignment;
// pointer-free objects at their element size's (up to 4, as a copy places
// them); strings anywhere.
uint32_t NeededAlignment(const conversion* c, const conversion_entry& entry) {
  switch (entry.Kind) {
    case KindString:
      return 1;
    case KindObjects: {
      const type_summary& type = c->Types[SummaryOf(c, entry.TypeKey)];
      if (!type.Bulk) return c->DestPointer;
      uint32_t alignment = 1;
      while (alignment < kFileAlignment && type.DestSize % (2 * alignment) == 0) alignment *= 2;
      return alignment;
    }
    default:
      return c->DestPointer;
  }
}

}  // namespace

bool PiecesAreSeparate(conversion* c) {
  growable_array<uint32_t> order;
  if (!order.Reserve(c->Entries.Count)) return false;
  // A hostile file can put any piece anywhere: one that native code could
  // not read where it lies is copied instead, as for another platform.
  for (uint32_t s = 0; s < c->Source->SectionCount; ++s) {
    if (reinterpret_cast<uintptr_t>(c->Source->Sections[s].Data) % c->DestPointer != 0)
      return false;
  }
  for (uint32_t i = 0; i < c->Entries.Count; ++i) {
    const conversion_entry& entry = c->Entries[i];
    if (entry.SourceOffset % NeededAlignment(c, entry) != 0) return false;
    order.Append(i);
  }
  const conversion_entry* entries = c->Entries.Items;
  std::sort(order.begin(), order.end(), [entries](uint32_t a, uint32_t b) {
    if (entries[a].SourceSection != entries[b].SourceSection)
      return entries[a].SourceSection < entries[b].SourceSection;
    if (entries[a].SourceOffset != entries[b].SourceOffset)
      return entries[a].SourceOffset < entries[b].SourceOffset;
    return a < b;
  });
  // Runs of overlapping pieces: fine when none is rewritten, or when all
  // are compatible with the first (and so with each other).
  const conversion_entry* head = nullptr;
  uint64_t end = 0;
  bool rewritten = false, compatible = true;
  for (uint32_t index : order) {
    const conversion_entry& entry = entries[index];
    if (head == nullptr || entry.SourceSection != head->SourceSection ||
        entry.SourceOffset >= end) {
      if (rewritten && !compatible) return false;
      head = &entry;
      end = uint64_t(entry.SourceOffset) + entry.DestSize;
      rewritten = Rewritten(c, entry);
      compatible = true;
      continue;
    }
    end = std::max(end, uint64_t(entry.SourceOffset) + entry.DestSize);
    rewritten = rewritten || Rewritten(c, entry);
    compatible = compatible && Compatible(c, *head, entry);
  }
  return !(rewritten && !compatible);
}

}  // namespace ketrel::platform_detail
