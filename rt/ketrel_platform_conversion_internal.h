#pragma once
// The pieces of platform conversion shared by its two files: the
// conversion's state, walking the source object graph into destination
// parts (ketrel_platform_conversion_graph.cpp), and writing the result
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
// Placing into the destination, and converting what was placed.
byte_buffer& Part(conversion* c, uint32_t section, uint32_t part);
bool PlaceType(conversion* c, const file_reference& type, dest_location* out);
bool PlaceObjects(conversion* c, const file_reference& type, const file_reference& at,
                  uint32_t count, dest_location* out);
bool ConvertEntry(conversion* c, uint32_t index);

}  // namespace ketrel::platform_detail
