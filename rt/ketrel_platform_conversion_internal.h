#pragma once
// The pieces of platform conversion shared by its files. A conversion runs
// in two passes: walking the source object graph places every piece into a
// destination part and records each pointer and array count
// (ketrel_platform_conversion_graph.cpp); once every part's size is known,
// the destination sections are allocated at their final size and filled
// from the source in one copy (ketrel_platform_conversion_fill.cpp). The
// result is written as a file or handed out as native objects
// (ketrel_platform_conversion.cpp).
#include <cstdint>

#include "rt/ketrel_file_layout.h"
#include "rt/ketrel_file_reader.h"
#include "rt/ketrel_growable_array.h"
#include "rt/ketrel_pointer_hash.h"

namespace ketrel::platform_detail {

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

// An array count, written where the walk found its array could be followed
// (everything else in a pointer-bearing member stays zero).
struct dest_word {
  dest_location At;
  uint32_t Value;
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
  uint32_t DestSize;  // bytes
};

enum type_state : uint32_t { TypeInProgress, TypeDone };

// A stretch of a pointer-free object with one swap unit (1: bytes, copied as
// they are; 2 or 4: words swapped when the byte orders differ).
struct swap_run {
  uint32_t Offset;
  uint32_t Size;
  uint32_t Unit;
};

// Pointer-free types whose layout needs more stretches than this are
// converted member by member instead.
constexpr uint32_t kMaxSwapRuns = 32;

// One member record of a source type, read once per type.
struct source_member {
  uint32_t Type;
  int32_t Width;  // 1 for width 0
  bool HasReference;
  file_reference Reference;
  uint32_t InlineType;  // inline members: the summary of Reference
};

struct type_summary {
  type_state State;
  uint32_t MemberCount;
  uint64_t SourceSize;
  uint64_t DestSize;
  uint32_t Marshalling;
  uint32_t InlineDepth;  // levels of inline members below this type
  // A pointer-free type converts whole arrays at once by its swap runs.
  bool Bulk;
  uint32_t FirstRun;  // in conversion::Runs
  uint32_t RunCount;
  uint32_t FirstMember;  // in conversion::Members
};

struct conversion {
  const file_image* Source;
  uint32_t SourcePointer;  // bytes
  uint32_t DestPointer;
  bool SourceReversed;  // source words are byte-reversed relative to this machine
  bool DestReversed;
  bool Swap;  // the two orders differ
  // Every destination place is the source place itself: a native image is
  // checked and fixed up where it lies (parts and bases stay zero).
  bool InPlace;
  uint64_t DestBytes;   // total placed so far
  uint64_t DestLimit;   // a converted file cannot legitimately be much larger
  uint32_t* PartSizes;  // SectionCount x 3: bytes placed
  growable_array<dest_fixup> Fixups;
  growable_array<dest_word> Words;
  growable_array<dest_marshalling> Marshallings;
  growable_array<conversion_entry> Entries;
  growable_array<uint32_t> Work;  // entries whose contents still need converting
  growable_array<type_summary> Types;
  growable_array<swap_run> Runs;
  growable_array<source_member> Members;
  pointer_hash* EntryMap;  // source place -> entry index
  pointer_hash* TypeMap;   // source type place -> type summary index
  bool Failed;
};

inline uint64_t Key(uint32_t section, uint32_t offset) { return uint64_t(section) << 32 | offset; }

// Logs the first failure of a conversion; false.
bool Fail(conversion* c, const char* what, uint32_t section, uint32_t offset);
// Reading the source.
bool SourceRange(const conversion* c, uint32_t section, uint64_t offset, uint64_t size);
bool IsEmptyType(const conversion* c, const file_reference& type);
// Placing into the destination, and walking what was placed.
uint32_t& PartSize(conversion* c, uint32_t section, uint32_t part);
bool PlaceType(conversion* c, const file_reference& type, dest_location* out);
bool PlaceObjects(conversion* c, const file_reference& type, const file_reference& at,
                  uint32_t count, dest_location* out);
bool ConvertEntry(conversion* c, uint32_t index);
// Field offsets of a member record for a pointer size P: Type 0, Name 4,
// ReferenceType 4 + P, ArrayWidth 4 + 2P, Extra 8 + 2P, reserved 20 + 2P.
inline uint32_t RecordSize(uint32_t pointerBytes) { return 20 + 3 * pointerBytes; }
uint32_t SourceWord(const conversion* c, uint32_t section, uint32_t offset);

// Where each destination section's parts start, and its whole size.
struct flat_section {
  uint32_t Base[kPartCount];
  uint32_t Size;
};

// The destination after the walk: every section's bytes in `data` (each
// flat[s].Size bytes + 16, written here in full: contents, zero padding and
// the 16 spare zero bytes), array counts included but no pointers. In place,
// `data` is the source's own sections and only pointer-bearing members and
// type records are rewritten.
// False when memory runs out.
bool FillDestination(conversion* c, const flat_section* flat, unsigned char* const* data);
// For the in-place walk: true when no piece that is rewritten overlaps
// another piece in a way that would change what that one reads.
bool PiecesAreSeparate(conversion* c);

}  // namespace ketrel::platform_detail
