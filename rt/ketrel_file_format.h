#pragma once
// The KT2 file's on-disk records. Every field is an unsigned 32-bit word in
// the byte order of the file's platform; in memory these records always hold
// values in this machine's order (readers swap on load, writers on store).
//
//   0              magic record (32 bytes)
//   32             header (72 bytes)
//   104            section table, N x 44 bytes
//   104 + 44 N     section data of sections 0..N-1, each at a multiple of 4
//   ...            per section: its pointer fix-up array, then its
//                  mixed-marshalling array, each at a multiple of 4
// Zero bytes fill every gap. The header's CRC covers bytes 104..end.

#include <cstdint>

namespace ketrel {

inline constexpr uint32_t kFileVersion = 7;
inline constexpr uint32_t kFileAlignment = 4;
inline constexpr uint32_t kMagicRecordSize = 32;
inline constexpr uint32_t kFileHeaderSize = 72;
inline constexpr uint32_t kFileOpeningSize = kMagicRecordSize + kFileHeaderSize;  // 104
inline constexpr uint32_t kSectionHeaderSize = 44;
inline constexpr uint32_t kFixupRecordSize = 12;
inline constexpr uint32_t kMarshallingRecordSize = 16;
inline constexpr uint32_t kMaxBuilderSections = 31;
inline constexpr uint32_t kStandardSectionCount = 8;

// Section and object alignments are powers of two.
constexpr bool IsPowerOfTwo(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

// Section compression types (see rt/ketrel_compression.h).
inline constexpr uint32_t kCompressionTypeCount = 5;

struct file_magic_record {
  uint32_t MagicValue[4];
  uint32_t HeaderSize;    // 104 + 44 N: bytes from the file start to the end of the table
  uint32_t HeaderFormat;  // 0; readers reject anything else
  uint32_t Reserved[2];
};
static_assert(sizeof(file_magic_record) == kMagicRecordSize);

// Where something lies in a finished file: an offset into a section's
// expanded (decompressed) data.
struct file_reference {
  uint32_t SectionIndex;
  uint32_t Offset;
};

struct file_header {
  uint32_t Version;             // 7
  uint32_t TotalSize;           // bytes of the whole file
  uint32_t CRC;                 // CRC-32 of bytes 104..TotalSize
  uint32_t SectionArrayOffset;  // 72: the table's offset from the start of the header
  uint32_t SectionArrayCount;   // N
  file_reference RootObjectTypeDefinition;
  file_reference RootObject;
  uint32_t TypeTag;
  uint32_t ExtraTags[4];
  uint32_t Reserved[4];
};
static_assert(sizeof(file_header) == kFileHeaderSize);

struct file_section_header {
  uint32_t Compression;
  uint32_t DataOffset;        // file offset of the stored data
  uint32_t DataSize;          // stored bytes; 0 for an empty section
  uint32_t ExpandedDataSize;  // bytes after decompression, end padding included
  uint32_t Alignment;         // alignment of the objects inside the section
  uint32_t First16BitOffset;  // where the 16-bit part begins (= size of the 32-bit part)
  uint32_t First8BitOffset;   // where the byte part begins
  uint32_t FixupOffset;
  uint32_t FixupCount;
  uint32_t MarshallingOffset;
  uint32_t MarshallingCount;
};
static_assert(sizeof(file_section_header) == kSectionHeaderSize);

// A pointer slot of this section and what it points to.
struct file_pointer_fixup {
  uint32_t FromOffset;
  uint32_t ToSection;
  uint32_t ToOffset;
};
static_assert(sizeof(file_pointer_fixup) == kFixupRecordSize);

// `Count` consecutive objects at `Offset` whose type (at TypeSection,
// TypeOffset) mixes swap units, so they are swapped member by member.
struct file_mixed_marshalling_fixup {
  uint32_t Count;
  uint32_t Offset;
  uint32_t TypeSection;
  uint32_t TypeOffset;
};
static_assert(sizeof(file_mixed_marshalling_fixup) == kMarshallingRecordSize);

// ---- Platforms and magic values --------------------------------------------

enum file_platform : uint32_t {
  Platform32Little = 0,
  Platform32Big = 1,
  Platform64Little = 2,  // this machine's own layout
  Platform64Big = 3,
  PlatformCount = 4,
};

inline constexpr file_platform kNativePlatform = Platform64Little;

// The four magic values, as four words, indexed by file_platform.
extern const uint32_t kPlatformMagic[PlatformCount][4];
// The older 32-bit little-endian magic, still recognised on read.
extern const uint32_t kOlderMagic32Little[4];

struct platform_info {
  file_platform Platform;
  uint32_t PointerBytes;  // 4 or 8
  bool BigEndian;
};

platform_info GetPlatformInfo(file_platform platform);
const char* GetPlatformName(file_platform platform);  // e.g. "32-bit, big endian"

// Recognises the 16 bytes of a magic value as stored at the start of a file:
// they are read as four little-endian words and compared with every row, as
// they are and with each word byte-reversed. False when nothing matches.
bool RecognizeMagic(const unsigned char bytes[16], file_platform* outPlatform);
// Which platform a builder's magic record asks for (the same recognition);
// false for an unknown magic.
bool GetMagicRecordPlatform(const file_magic_record& record, file_platform* outPlatform);
// A magic record for `platform`, with HeaderSize and HeaderFormat 0 (the
// builder fills in HeaderSize when it writes).
file_magic_record MakeMagicRecord(file_platform platform);

// "0 - StandardMainSection" ... "7 - StandardUnloadedSection", and
// "(non-standard section)" for any other index.
const char* GetStandardSectionName(uint32_t index);

inline uint32_t ByteSwap32(uint32_t value) { return __builtin_bswap32(value); }
inline uint16_t ByteSwap16(uint16_t value) { return __builtin_bswap16(value); }

}  // namespace ketrel
