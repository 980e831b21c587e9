#include "rt/ketrel_file_builder.h"

#include <algorithm>
#include <cstring>

#include "rt/ketrel_compression.h"
#include "rt/ketrel_file_format.h"
#include "rt/ketrel_file_layout.h"
#include "rt/ketrel_file_reader.h"
#include "rt/ketrel_growable_array.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_platform_conversion.h"
#include "rt/posix/posix_ketrel_file_writer.h"

namespace ketrel {
namespace {

constexpr uint32_t kPartCount = 3;
constexpr uint32_t kNativePointerBytes = 8;

struct builder_block {
  uint32_t Offset;
  uint32_t Size;
};

struct builder_fixup {
  file_location From;
  file_location To;
};

struct builder_marshalling {
  uint32_t Count;
  file_location Type;
  file_location Object;
};

struct builder_section {
  uint32_t Compression;
  uint32_t Alignment;
  file_writer* Parts[kPartCount];
  uint32_t PartSize[kPartCount];
  // Blocks of each part in the order added (so by offset), to check that a
  // fix-up slot lies inside its block.
  growable_array<builder_block> Blocks[kPartCount];
  growable_array<builder_fixup> Fixups;
  growable_array<builder_marshalling> Marshallings;
};

}  // namespace

struct file_builder {
  uint32_t TypeTag;
  file_magic_record Magic;
  file_platform Platform;
  uint32_t FileAlignment;
  uint32_t SectionCount;
  builder_section* Sections;
  file_location RootType;
  file_location RootObject;
  bool Ok;               // cleared by the first failed write
  bool ParameterFailed;  // any bad argument fails the end
  bool ExcludeTypeTree;
};

namespace {

bool Check(file_builder* builder, bool condition) {
  if (condition) return true;
  KT_PARAMETER_CHECK_FAILED(FileBuilder);
  builder->ParameterFailed = true;
  return false;
}

// Frees the sections' bytes and records; the sections themselves stay.
void ReleaseSectionData(file_builder* builder) {
  for (uint32_t s = 0; s < builder->SectionCount && builder->Sections != nullptr; ++s) {
    builder_section& section = builder->Sections[s];
    for (uint32_t p = 0; p < kPartCount; ++p) {
      DeleteFileWriter(section.Parts[p]);
      section.Parts[p] = nullptr;
      section.Blocks[p].Free();
    }
    section.Fixups.Free();
    section.Marshallings.Free();
  }
}

void FreeBuilder(file_builder* builder) {
  if (builder == nullptr) return;
  ReleaseSectionData(builder);
  for (uint32_t s = 0; s < builder->SectionCount && builder->Sections != nullptr; ++s) {
    builder->Sections[s].~builder_section();
  }
  FreeBlock(builder->Sections);
  FreeBlock(builder);
}

uint32_t PartForMarshalling(uint32_t marshalling) {
  if (marshalling == 0 || marshalling == 4) return 0;
  if (marshalling == 2) return 1;
  return 2;
}

bool LocationInRange(const file_builder* builder, const file_location& location) {
  return location.SectionIndex < builder->SectionCount && location.PartIndex < kPartCount &&
         location.Offset <= builder->Sections[location.SectionIndex].PartSize[location.PartIndex];
}

// The block of the part that contains `offset`, or null.
const builder_block* FindBlock(const builder_section& section, uint32_t part, uint32_t offset) {
  const growable_array<builder_block>& blocks = section.Blocks[part];
  const builder_block* found = std::upper_bound(
      blocks.begin(), blocks.end(), offset,
      [](uint32_t value, const builder_block& block) { return value < block.Offset; });
  if (found == blocks.begin()) return nullptr;
  --found;
  return offset < found->Offset + uint64_t(found->Size) ||
                 (found->Size == 0 && offset == found->Offset)
             ? found
             : nullptr;
}

bool WriteZeros(file_writer* writer, uint32_t count) {
  static const unsigned char kZeros[64] = {};
  while (count > 0) {
    uint32_t chunk = count < sizeof(kZeros) ? count : uint32_t(sizeof(kZeros));
    if (!WriteToWriter(writer, chunk, kZeros)) return false;
    count -= chunk;
  }
  return true;
}

}  // namespace

file_builder* BeginFileInMemory(uint32_t sectionCount, uint32_t fileTypeTag,
                                const file_magic_record& magicRecord, int32_t blockSize) {
  file_platform platform;
  if (!KT_CHECK_PARAMETER(FileBuilder, sectionCount >= 1 && sectionCount <= kMaxBuilderSections &&
                                           blockSize > 1 &&
                                           GetMagicRecordPlatform(magicRecord, &platform))) {
    return nullptr;
  }
  file_builder* builder = static_cast<file_builder*>(KT_ALLOCATE_CLEARED(sizeof(file_builder)));
  if (builder == nullptr) return nullptr;
  builder->Sections =
      static_cast<builder_section*>(KT_ALLOCATE_CLEARED(sizeof(builder_section) * sectionCount));
  if (builder->Sections == nullptr) {
    FreeBlock(builder);
    return nullptr;
  }
  builder->TypeTag = fileTypeTag;
  builder->Magic = magicRecord;
  builder->Platform = platform;
  builder->FileAlignment = kFileAlignment;
  builder->SectionCount = sectionCount;
  builder->Ok = true;
  for (uint32_t s = 0; s < sectionCount; ++s) {
    builder_section& section = *new (&builder->Sections[s]) builder_section();
    section.Alignment = 4;
    for (uint32_t p = 0; p < kPartCount; ++p) {
      section.Parts[p] = CreateMemoryFileWriter(blockSize, size_t(blockSize));
      if (section.Parts[p] == nullptr) {
        FreeBuilder(builder);
        return nullptr;
      }
    }
  }
  return builder;
}

file_builder* BeginFile(uint32_t sectionCount, uint32_t fileTypeTag,
                        const file_magic_record& magicRecord, const char* temporaryDirectory) {
  (void)temporaryDirectory;  // everything is built in memory
  return BeginFileInMemory(sectionCount, fileTypeTag, magicRecord, kDefaultFileBlockSize);
}

void SetFileSectionFormat(file_builder* builder, uint32_t section, uint32_t compression,
                          uint32_t alignment) {
  if (builder == nullptr) return;
  // A zero or non-power-of-two alignment could never be honoured by padding.
  if (!Check(builder, section < builder->SectionCount && compression < kCompressionTypeCount &&
                          IsPowerOfTwo(alignment))) {
    return;
  }
  if (compression == kLorpa0Compression) {
    KT_LOG_WARNING(FileBuilder,
                   "Substituting Lorpa1 compression for obsolete Lorpa0 compression\n");
    compression = kLorpa1Compression;
  }
  builder->Sections[section].Compression = compression;
  builder->Sections[section].Alignment = alignment;
}

bool AddFileObject(file_builder* builder, uint32_t section, uint32_t marshalling, uint32_t size,
                   const void* bytes, file_location* outLocation) {
  if (builder == nullptr) return false;
  if (!Check(builder, section < builder->SectionCount && (bytes != nullptr || size == 0))) {
    if (outLocation != nullptr) *outLocation = file_location{};
    return false;
  }
  builder_section& target = builder->Sections[section];
  uint32_t part = PartForMarshalling(marshalling);
  file_location location{section, part, target.PartSize[part]};
  if (outLocation != nullptr) *outLocation = location;
  if (!builder->Ok) return false;

  uint64_t end = uint64_t(location.Offset) + size;
  uint32_t padding = GetPaddingForAlignment(end, target.Alignment);
  if (end + padding > UINT32_MAX) {
    KT_LOG_ERROR(FileBuilder, "Section %u would pass 4 GB", section);
    builder->Ok = false;
    return false;
  }
  if (!WriteToWriter(target.Parts[part], size, bytes) || !WriteZeros(target.Parts[part], padding) ||
      !target.Blocks[part].Append(builder_block{location.Offset, size})) {
    KT_LOG_ERROR(FileBuilder, "Unable to add a block of %u bytes to section %u", size, section);
    builder->Ok = false;
    return false;
  }
  target.PartSize[part] = uint32_t(end + padding);
  return true;
}

void AddFilePointerFixup(file_builder* builder, const file_location& from, uint32_t offsetInBlock,
                         const file_location& to) {
  if (builder == nullptr) return;
  if (!Check(builder, from.SectionIndex < builder->SectionCount && from.PartIndex < kPartCount &&
                          to.SectionIndex < builder->SectionCount && to.PartIndex < kPartCount)) {
    return;
  }
  file_location slot{from.SectionIndex, from.PartIndex, from.Offset + offsetInBlock};
  if (builder->Ok) {
    const builder_section& section = builder->Sections[from.SectionIndex];
    const builder_block* block = FindBlock(section, from.PartIndex, from.Offset);
    // The slot must be a whole pointer inside the block it was computed from;
    // a slot outside would overwrite a neighbour when the pointer is cleared.
    bool slotInBlock =
        block != nullptr && offsetInBlock <= UINT32_MAX - from.Offset &&
        uint64_t(slot.Offset) + kNativePointerBytes <= uint64_t(block->Offset) + block->Size;
    if (!Check(builder, slotInBlock && LocationInRange(builder, to))) return;
  }
  if (!builder->Sections[from.SectionIndex].Fixups.Append(builder_fixup{slot, to})) {
    builder->Ok = false;
  }
}

void AddFileMarshallingFixup(file_builder* builder, const file_location& typeLocation,
                             const file_location& objectLocation, uint32_t count) {
  if (builder == nullptr) return;
  if (!Check(builder, typeLocation.SectionIndex < builder->SectionCount &&
                          typeLocation.PartIndex < kPartCount &&
                          objectLocation.SectionIndex < builder->SectionCount &&
                          objectLocation.PartIndex < kPartCount)) {
    return;
  }
  builder_section& section = builder->Sections[objectLocation.SectionIndex];
  if (!section.Marshallings.Append(builder_marshalling{count, typeLocation, objectLocation})) {
    builder->Ok = false;
  }
}

void OffsetFileLocation(file_builder* builder, const file_location& location, uint32_t offset,
                        file_location* outLocation) {
  if (builder == nullptr) return;
  if (!Check(builder, outLocation != nullptr && offset <= UINT32_MAX - location.Offset)) return;
  *outLocation = location;
  outLocation->Offset += offset;
}

void SetFileRoot(file_builder* builder, const file_location& typeLocation,
                 const file_location& objectLocation) {
  if (builder == nullptr) return;
  if (!Check(builder,
             LocationInRange(builder, typeLocation) && LocationInRange(builder, objectLocation))) {
    return;
  }
  builder->RootType = typeLocation;
  builder->RootObject = objectLocation;
}

bool IsFileBuilderNative(const file_builder* builder) {
  return builder != nullptr && builder->Platform == kNativePlatform;
}

void SetFileBuilderExcludeTypeTree(file_builder* builder, bool exclude) {
  if (builder != nullptr) builder->ExcludeTypeTree = exclude;
}

void AbortFile(file_builder* builder) { FreeBuilder(builder); }

namespace {

// Offsets of the three parts in a section's expanded data.
struct part_bases {
  uint32_t Base[kPartCount];
};

file_reference ToReference(const part_bases* bases, const file_location& location) {
  return file_reference{location.SectionIndex,
                        bases[location.SectionIndex].Base[location.PartIndex] + location.Offset};
}

// Joins a section's parts into its expanded data, clears its pointer slots
// and stores its data and arrays.
bool StoreBuilderSection(file_builder* builder, uint32_t index, const part_bases* bases,
                         stored_section* out) {
  builder_section& section = builder->Sections[index];
  file_section_header& header = out->Header;
  header.Compression = section.Compression;
  header.Alignment = section.Alignment;
  header.First16BitOffset = bases[index].Base[1];
  header.First8BitOffset = bases[index].Base[2];
  uint64_t expanded = uint64_t(header.First8BitOffset) + section.PartSize[2];
  expanded += GetPaddingForAlignment(expanded, builder->FileAlignment);
  if (expanded > UINT32_MAX) {
    KT_LOG_ERROR(FileBuilder, "Section %u would pass 4 GB", index);
    return false;
  }
  header.ExpandedDataSize = uint32_t(expanded);

  unsigned char* data = static_cast<unsigned char*>(KT_ALLOCATE(expanded + 1));
  if (data == nullptr) {
    KT_LOG_ERROR(FileBuilder, "Failed to allocate uncompressed data buffer");
    return false;
  }
  // The parts fill the buffer; only what lies between and after them is cleared, not the
  // whole section first.
  for (uint32_t p = 0; p < kPartCount; ++p) {
    size_t size = 0;
    const void* bytes = GetMemoryWriterBytes(section.Parts[p], &size);
    size_t begin = bases[index].Base[p];
    size_t end = p + 1 < kPartCount ? bases[index].Base[p + 1] : size_t(expanded) + 1;
    size = std::min(size, end - begin);
    if (size > 0) std::memcpy(data + begin, bytes, size);
    std::memset(data + begin + size, 0, end - begin - size);
    DeleteFileWriter(section.Parts[p]);
    section.Parts[p] = nullptr;
  }

  // Pointer slots hold zero in the file; the fix-up gives the target.
  growable_array<file_pointer_fixup> fixups;
  bool ok = fixups.Reserve(section.Fixups.Count);
  for (size_t i = 0; ok && i < section.Fixups.Count; ++i) {
    file_reference from = ToReference(bases, section.Fixups[i].From);
    file_reference to = ToReference(bases, section.Fixups[i].To);
    std::memset(data + from.Offset, 0, kNativePointerBytes);
    fixups.Append(file_pointer_fixup{from.Offset, to.SectionIndex, to.Offset});
  }
  // Sorting by slot lets readers find a slot's target by binary search; the
  // full key keeps the order of equal slots deterministic. std::sort stays
  // O(n log n) on input that is already sorted, the common case.
  std::sort(fixups.begin(), fixups.end(),
            [](const file_pointer_fixup& a, const file_pointer_fixup& b) {
              if (a.FromOffset != b.FromOffset) return a.FromOffset < b.FromOffset;
              if (a.ToSection != b.ToSection) return a.ToSection < b.ToSection;
              return a.ToOffset < b.ToOffset;
            });
  header.FixupCount = uint32_t(fixups.Count);

  growable_array<file_mixed_marshalling_fixup> marshallings;
  ok = ok && marshallings.Reserve(section.Marshallings.Count);
  for (size_t i = 0; ok && i < section.Marshallings.Count; ++i) {
    const builder_marshalling& entry = section.Marshallings[i];
    file_reference type = ToReference(bases, entry.Type);
    file_reference object = ToReference(bases, entry.Object);
    marshallings.Append(
        file_mixed_marshalling_fixup{entry.Count, object.Offset, type.SectionIndex, type.Offset});
  }
  header.MarshallingCount = uint32_t(marshallings.Count);

  ok = ok && StoreSectionData(out, data, false);
  FreeBlock(data);
  if (ok && !StoreRecordArray(header.Compression, fixups.Items,
                              uint32_t(fixups.Count * sizeof(file_pointer_fixup)), false,
                              &out->Fixups, &out->FixupBytes)) {
    KT_LOG_ERROR(FileBuilder, "Unable to write compressed fixup data");
    ok = false;
  }
  if (ok && !StoreRecordArray(header.Compression, marshallings.Items,
                              uint32_t(marshallings.Count * sizeof(file_mixed_marshalling_fixup)),
                              false, &out->Marshallings, &out->MarshallingBytes)) {
    KT_LOG_ERROR(FileBuilder, "Unable to write compressed mixed marshalling data");
    ok = false;
  }
  return ok;
}

// Writes the native file; the builder's sections are consumed.
bool WriteNativeFile(file_builder* builder, file_writer* writer) {
  const uint32_t count = builder->SectionCount;
  part_bases* bases = KT_ALLOCATE_ARRAY(part_bases, count);
  stored_section* stored =
      static_cast<stored_section*>(KT_ALLOCATE_CLEARED(sizeof(stored_section) * count));
  bool ok = bases != nullptr && stored != nullptr;
  for (uint32_t s = 0; ok && s < count; ++s) {
    const builder_section& section = builder->Sections[s];
    bases[s].Base[0] = 0;
    bases[s].Base[1] = section.PartSize[0];
    uint64_t third = uint64_t(section.PartSize[0]) + section.PartSize[1];
    if (third + section.PartSize[2] > UINT32_MAX) {
      KT_LOG_ERROR(FileBuilder, "Section %u would pass 4 GB", s);
      ok = false;
    }
    bases[s].Base[2] = uint32_t(third);
  }
  for (uint32_t s = 0; ok && s < count; ++s)
    ok = StoreBuilderSection(builder, s, bases, stored + s);
  if (ok) {
    stored_file_layout layout{};
    std::memcpy(layout.MagicValue, kPlatformMagic[kNativePlatform], sizeof(layout.MagicValue));
    layout.Header.Version = kFileVersion;
    layout.Header.RootObjectTypeDefinition = ToReference(bases, builder->RootType);
    layout.Header.RootObject = ToReference(bases, builder->RootObject);
    layout.Header.TypeTag = builder->TypeTag;
    layout.BigEndian = false;
    layout.RoundDataSize = true;
    layout.FileAlignment = builder->FileAlignment;
    ok = WriteStoredFile(writer, &layout, count, stored);
  }
  for (uint32_t s = 0; stored != nullptr && s < count; ++s) FreeStoredSection(stored + s);
  FreeBlock(stored);
  FreeBlock(bases);
  return ok;
}

bool EndIntoWriter(file_builder* builder, file_writer* writer) {
  if (builder->ParameterFailed) {
    KT_LOG_ERROR(FileBuilder, "File not written: an earlier builder call was rejected");
    return false;
  }
  if (!builder->Ok) {
    KT_LOG_ERROR(FileBuilder, "File not written: a block could not be added");
    return false;
  }
  if (builder->Platform == kNativePlatform) return WriteNativeFile(builder, writer);

  // Another platform: write the native file uncompressed into memory, then
  // convert it with the sections' chosen compression.
  uint32_t compression[kMaxBuilderSections];
  for (uint32_t s = 0; s < builder->SectionCount; ++s) {
    compression[s] = builder->Sections[s].Compression;
    builder->Sections[s].Compression = kNoCompression;
  }
  file_writer* memory = CreateMemoryFileWriter(kDefaultFileBlockSize, kDefaultFileBlockSize);
  bool ok = memory != nullptr && WriteNativeFile(builder, memory);
  // The converter takes the native file's buffer itself: no second copy of the whole file.
  void* bytes = nullptr;
  size_t size = 0;
  ok = ok && StealMemoryWriterBuffer(memory, &bytes, &size);
  DeleteFileWriter(memory);
  // The native file holds everything now: its parts go before the
  // conversion, whose buffers then reuse their memory.
  ReleaseSectionData(builder);
  builder->Ok = false;
  ok = ok &&
       PlatformConvertBytesToWriter(bytes, size, writer, builder->Magic, builder->FileAlignment,
                                    builder->SectionCount, compression);
  for (uint32_t s = 0; s < builder->SectionCount; ++s) {
    builder->Sections[s].Compression = compression[s];
  }
  return ok;
}

}  // namespace

bool EndFileToWriter(file_builder* builder, file_writer* writer) {
  if (!KT_CHECK_PARAMETER(FileBuilder, builder != nullptr && writer != nullptr)) {
    FreeBuilder(builder);
    return false;
  }
  bool ok = EndIntoWriter(builder, writer);
  FreeBuilder(builder);
  return ok;
}

bool EndFile(file_builder* builder, const char* fileName) {
  if (builder == nullptr) return false;
  file_writer* writer = CreateFileWriter(fileName);
  if (writer == nullptr) {
    FreeBuilder(builder);
    return false;
  }
  bool ok = EndIntoWriter(builder, writer);
  FreeBuilder(builder);
  // Only a complete file replaces the target; otherwise the temporary file
  // is removed when the writer is destroyed.
  ok = ok && FinishFileWriter(writer);
  DeleteFileWriter(writer);
  return ok;
}

}  // namespace ketrel
