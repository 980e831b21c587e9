#include "rt/ketrel_file_reader.h"

#include <algorithm>
#include <cstring>

#include "rt/ketrel_compression.h"
#include "rt/ketrel_crc.h"
#include "rt/ketrel_file_format.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_platform_conversion.h"

namespace ketrel {

// ---- Readers ---------------------------------------------------------------

namespace {

struct memory_reader {
  file_reader Base;
  const unsigned char* Bytes;
};

void DestroyMemoryReader(file_reader* reader) { FreeBlock(reader); }

bool ReadMemory(file_reader* reader, uint64_t offset, size_t size, void* out) {
  memory_reader* memory = reinterpret_cast<memory_reader*>(reader);
  if (offset > reader->Size || size > reader->Size - offset) return false;
  if (size > 0) std::memcpy(out, memory->Bytes + offset, size);
  return true;
}

}  // namespace

file_reader* CreateMemoryFileReader(const void* bytes, size_t size) {
  if (!KT_CHECK_PARAMETER(FileReader, bytes != nullptr || size == 0)) return nullptr;
  memory_reader* reader = static_cast<memory_reader*>(KT_ALLOCATE_CLEARED(sizeof(memory_reader)));
  if (reader == nullptr) return nullptr;
  reader->Base.Destroy = DestroyMemoryReader;
  reader->Base.Read = ReadMemory;
  reader->Base.Size = size;
  reader->Bytes = static_cast<const unsigned char*>(bytes);
  return &reader->Base;
}

void DeleteFileReader(file_reader* reader) {
  if (reader != nullptr) reader->Destroy(reader);
}

bool ReadAllFromReader(file_reader* reader, void** outBytes, size_t* outSize) {
  if (!KT_CHECK_PARAMETER(FileReader,
                          reader != nullptr && outBytes != nullptr && outSize != nullptr)) {
    return false;
  }
  *outBytes = nullptr;
  *outSize = 0;
  if (reader->Size > SIZE_MAX - 1) return false;
  void* bytes = KT_ALLOCATE(size_t(reader->Size) + 1);
  if (bytes == nullptr) return false;
  if (!reader->Read(reader, 0, size_t(reader->Size), bytes)) {
    KT_LOG_ERROR(FileReader, "Unable to read %llu bytes of file",
                 static_cast<unsigned long long>(reader->Size));
    FreeBlock(bytes);
    return false;
  }
  *outBytes = bytes;
  *outSize = size_t(reader->Size);
  return true;
}

// ---- Opening -------------------------------------------------------------------

namespace {

constexpr uint32_t kMaxReadSections = 256;
// Far above any exported section, low enough that a hostile header cannot
// make a reader allocate without bound.
constexpr uint32_t kMaxExpandedSectionSize = 1u << 30;
constexpr uint32_t kMaxSectionAlignment = 1u << 16;

uint32_t ReadWord(const unsigned char* bytes, bool reversed) {
  uint32_t word;
  std::memcpy(&word, bytes, 4);
  return reversed ? ByteSwap32(word) : word;
}

void ReadWords(const unsigned char* bytes, size_t size, bool reversed, void* out) {
  std::memcpy(out, bytes, size);
  if (reversed) {
    uint32_t* words = static_cast<uint32_t*>(out);
    for (size_t i = 0; i < size / 4; ++i) words[i] = ByteSwap32(words[i]);
  }
}

bool InFile(const file_image* image, uint64_t offset, uint64_t size) {
  return offset <= image->Header.TotalSize && size <= image->Header.TotalSize - offset;
}

// Checks one section's numbers against the file; logs what is wrong.
bool CheckSectionHeader(const file_image* image, uint32_t index) {
  const file_section_header& s = image->Sections[index].Header;
  const char* problem = nullptr;
  if (s.Compression >= kCompressionTypeCount) {
    KT_LOG_ERROR(FileReader, "Unrecognized compression type %d", int(s.Compression));
    return false;
  }
  if (s.DataSize > 0 &&
      (s.DataOffset < image->HeaderSize || !InFile(image, s.DataOffset, s.DataSize))) {
    problem = "its data lies outside the file";
  } else if (s.ExpandedDataSize > kMaxExpandedSectionSize) {
    problem = "its expanded size is too large";
  } else if (s.ExpandedDataSize > 0 && s.DataSize == 0) {
    problem = "it has an expanded size but no data";
  } else if (s.Compression == kNoCompression && s.DataSize < s.ExpandedDataSize) {
    problem = "its uncompressed data is shorter than its expanded size";
  } else if (s.First16BitOffset > s.First8BitOffset || s.First8BitOffset > s.ExpandedDataSize) {
    problem = "its part offsets are out of order";
  } else if (!IsPowerOfTwo(s.Alignment) || s.Alignment > kMaxSectionAlignment) {
    problem = "its alignment is not a power of two up to 65536";
  } else if (s.FixupCount > s.ExpandedDataSize || s.MarshallingCount > s.ExpandedDataSize) {
    // Every slot and every record names a distinct byte of the section.
    problem = "it has more fix-ups or marshalling records than bytes";
  } else if ((s.FixupCount > 0 && !InFile(image, s.FixupOffset, 4)) ||
             (s.MarshallingCount > 0 && !InFile(image, s.MarshallingOffset, 4))) {
    problem = "its arrays lie outside the file";
  }
  if (problem != nullptr) {
    KT_LOG_ERROR(FileReader, "Section %u is damaged: %s", index, problem);
    return false;
  }
  return true;
}

}  // namespace

bool OpenFileImage(const void* bytes, size_t size, file_image* image) {
  if (!KT_CHECK_PARAMETER(FileReader, image != nullptr && (bytes != nullptr || size == 0))) {
    return false;
  }
  std::memset(image, 0, sizeof(*image));
  image->Bytes = static_cast<const unsigned char*>(bytes);
  image->Size = size;
  const unsigned char* b = image->Bytes;
  if (size < kMagicRecordSize) {
    KT_LOG_ERROR(FileReader, "Unable to read magic value");
    return false;
  }
  file_platform platform;
  if (!RecognizeMagic(b, &platform)) {
    KT_LOG_WARNING(FileReader,
                   "Magic value (0x%x, 0x%x, 0x%x, 0x%x) doesn't match any known file format",
                   ReadWord(b, false), ReadWord(b + 4, false), ReadWord(b + 8, false),
                   ReadWord(b + 12, false));
    KT_LOG_ERROR(FileReader, "File is not a Ketrel file");
    return false;
  }
  image->Platform = GetPlatformInfo(platform);
  image->ByteReversed = image->Platform.BigEndian;  // this machine is little endian
  image->OlderMagic =
      ReadWord(b, false) == kOlderMagic32Little[0] || ReadWord(b, true) == kOlderMagic32Little[0];
  std::memcpy(image->MagicValue, kPlatformMagic[platform], sizeof(image->MagicValue));
  const bool reversed = image->ByteReversed;
  image->HeaderSize = ReadWord(b + 16, reversed);
  image->HeaderFormat = ReadWord(b + 20, reversed);
  if (image->HeaderFormat != 0) {
    KT_LOG_ERROR(FileReader, "File has an unrecognized header format (%d)",
                 int(image->HeaderFormat));
    return false;
  }
  if (size < kFileOpeningSize || image->HeaderSize < kFileOpeningSize || image->HeaderSize > size) {
    KT_LOG_ERROR(FileReader, "Unable to read file header");
    return false;
  }
  ReadWords(b + kMagicRecordSize, kFileHeaderSize, reversed, &image->Header);
  file_header& header = image->Header;
  // An older, shorter header: its fields from SectionArrayOffset on are not
  // header fields but the start of the table.
  uint32_t tableOffset = header.SectionArrayOffset;
  if (tableOffset < 20 || uint64_t(tableOffset) + kMagicRecordSize > image->HeaderSize) {
    KT_LOG_ERROR(FileReader, "Unable to read file header");
    return false;
  }
  if (tableOffset < kFileHeaderSize) {
    std::memset(reinterpret_cast<unsigned char*>(&header) + tableOffset, 0,
                kFileHeaderSize - tableOffset);
  }
  uint32_t tableBytes = image->HeaderSize - kMagicRecordSize - tableOffset;
  uint32_t count = header.SectionArrayCount;
  if (tableBytes % kSectionHeaderSize != 0 || tableBytes / kSectionHeaderSize != count ||
      count > kMaxReadSections) {
    KT_LOG_ERROR(FileReader, "Unable to read file header");
    return false;
  }
  if (header.Version != kFileVersion) {
    KT_LOG_WARNING(FileReader, "File is file format revision %d (current version is %d)",
                   int(header.Version), int(kFileVersion));
  }
  if (header.TotalSize < image->HeaderSize || header.TotalSize > size) {
    KT_LOG_ERROR(FileReader,
                 "File is truncated or damaged: its header gives %u bytes, %zu are present",
                 header.TotalSize, size);
    return false;
  }
  image->SectionCount = count;
  image->Sections = static_cast<file_image_section*>(
      KT_ALLOCATE_CLEARED(sizeof(file_image_section) * (count > 0 ? count : 1)));
  if (image->Sections == nullptr) return false;
  const unsigned char* table = b + kMagicRecordSize + tableOffset;
  for (uint32_t i = 0; i < count; ++i) {
    ReadWords(table + kSectionHeaderSize * i, kSectionHeaderSize, reversed,
              &image->Sections[i].Header);
    if (!CheckSectionHeader(image, i)) {
      CloseFileImage(image);
      return false;
    }
  }
  return true;
}

uint32_t ComputeFileImageCrc(const file_image* image) {
  if (image == nullptr || image->Header.TotalSize < kFileOpeningSize) return 0;
  return ComputeCrc32(image->Bytes + kFileOpeningSize, image->Header.TotalSize - kFileOpeningSize);
}

namespace {

// Loads a stored fix-up or marshalling array of `records` records into a
// fresh block, in this machine's byte order.
void* LoadRecordArray(const file_image* image, uint32_t compression, uint32_t offset,
                      uint32_t records, uint32_t recordSize) {
  uint64_t bytes = uint64_t(records) * recordSize;
  void* out = KT_ALLOCATE(bytes > 0 ? size_t(bytes) : 1);
  if (out == nullptr) return nullptr;
  bool ok;
  if (compression == kTessik2Compression) {
    uint32_t stored = 0;
    ok = DecompressFileArray(compression, image->ByteReversed, image->Header.TotalSize - offset,
                             image->Bytes + offset, uint32_t(bytes), out, &stored);
  } else {
    ok = InFile(image, offset, bytes);
    if (ok) std::memcpy(out, image->Bytes + offset, size_t(bytes));
  }
  if (!ok) {
    FreeBlock(out);
    return nullptr;
  }
  // Records are words in the file's order, whether stored raw or compressed.
  if (image->ByteReversed) {
    uint32_t* words = static_cast<uint32_t*>(out);
    for (uint64_t i = 0; i < bytes / 4; ++i) words[i] = ByteSwap32(words[i]);
  }
  return out;
}

}  // namespace

bool LoadFileImageSection(file_image* image, uint32_t index) {
  if (!KT_CHECK_PARAMETER(FileReader, image != nullptr && index < image->SectionCount)) {
    return false;
  }
  file_image_section& section = image->Sections[index];
  if (section.Loaded) {
    KT_LOG_WARNING(FileReader, "Ignored request to read already populated file section %d",
                   int(index));
    return true;
  }
  const file_section_header& h = section.Header;
  // 16 spare zero bytes let readers of the last object never run past the block.
  // A stored section is copied whole, and a Tessik stream fills every byte of
  // its blocks or fails, so only the spare bytes need clearing; other coders
  // get a cleared block.
  const bool filled = h.ExpandedDataSize > 0 &&
                      (h.Compression == kNoCompression || h.Compression == kTessikCompression ||
                       h.Compression == kTessik2Compression);
  section.Data =
      static_cast<unsigned char*>(filled ? KT_ALLOCATE(size_t(h.ExpandedDataSize) + 16)
                                         : KT_ALLOCATE_CLEARED(size_t(h.ExpandedDataSize) + 16));
  if (section.Data == nullptr) return false;
  if (filled) std::memset(section.Data + h.ExpandedDataSize, 0, 16);
  bool ok = true;
  if (h.ExpandedDataSize > 0) {
    const unsigned char* stored = image->Bytes + h.DataOffset;
    if (h.Compression == kNoCompression) {
      std::memcpy(section.Data, stored, h.ExpandedDataSize);
    } else {
      ok = DecompressData(h.Compression, image->ByteReversed, h.DataSize, stored,
                          h.First16BitOffset, h.First8BitOffset, h.ExpandedDataSize, section.Data);
    }
    if (!ok) KT_LOG_ERROR(FileReader, "Unable to decompress section %u", index);
  }
  if (ok && h.FixupCount > 0) {
    section.Fixups = static_cast<file_pointer_fixup*>(
        LoadRecordArray(image, h.Compression, h.FixupOffset, h.FixupCount, kFixupRecordSize));
    ok = section.Fixups != nullptr;
    if (!ok) KT_LOG_ERROR(FileReader, "Unable to read the fix-ups of section %u", index);
  }
  if (ok && h.MarshallingCount > 0) {
    section.Marshallings = static_cast<file_mixed_marshalling_fixup*>(LoadRecordArray(
        image, h.Compression, h.MarshallingOffset, h.MarshallingCount, kMarshallingRecordSize));
    ok = section.Marshallings != nullptr;
    if (!ok)
      KT_LOG_ERROR(FileReader, "Unable to read the marshalling records of section %u", index);
  }
  if (ok) {
    // Sorted on load so that a slot's fix-up is found by binary search.
    std::stable_sort(section.Fixups, section.Fixups + h.FixupCount,
                     [](const file_pointer_fixup& a, const file_pointer_fixup& b) {
                       return a.FromOffset < b.FromOffset;
                     });
    const uint32_t pointerBytes = image->Platform.PointerBytes;
    for (uint32_t i = 0; ok && i < h.FixupCount; ++i) {
      const file_pointer_fixup& f = section.Fixups[i];
      ok = uint64_t(f.FromOffset) + pointerBytes <= h.ExpandedDataSize &&
           f.ToSection < image->SectionCount &&
           f.ToOffset < image->Sections[f.ToSection].Header.ExpandedDataSize &&
           (i == 0 || section.Fixups[i - 1].FromOffset != f.FromOffset);
      if (!ok) KT_LOG_ERROR(FileReader, "Section %u has a damaged pointer fix-up (%u)", index, i);
    }
    for (uint32_t i = 0; ok && i < h.MarshallingCount; ++i) {
      const file_mixed_marshalling_fixup& m = section.Marshallings[i];
      ok = m.Offset < h.ExpandedDataSize && m.TypeSection < image->SectionCount &&
           m.TypeOffset < image->Sections[m.TypeSection].Header.ExpandedDataSize;
      if (!ok)
        KT_LOG_ERROR(FileReader, "Section %u has a damaged marshalling record (%u)", index, i);
    }
  }
  if (!ok) {
    FreeBlock(section.Data);
    FreeBlock(section.Fixups);
    FreeBlock(section.Marshallings);
    section.Data = nullptr;
    section.Fixups = nullptr;
    section.Marshallings = nullptr;
    return false;
  }
  section.Loaded = true;
  return true;
}

bool LoadAllFileImageSections(file_image* image) {
  if (!KT_CHECK_PARAMETER(FileReader, image != nullptr)) return false;
  for (uint32_t i = 0; i < image->SectionCount; ++i) {
    if (!image->Sections[i].Loaded && !LoadFileImageSection(image, i)) return false;
  }
  return true;
}

void CloseFileImage(file_image* image) {
  if (image == nullptr) return;
  for (uint32_t i = 0; image->Sections != nullptr && i < image->SectionCount; ++i) {
    FreeBlock(image->Sections[i].Data);
    FreeBlock(image->Sections[i].Fixups);
    FreeBlock(image->Sections[i].Marshallings);
  }
  FreeBlock(image->Sections);
  FreeBlock(image->OwnedBytes);
  std::memset(image, 0, sizeof(*image));
}

const file_pointer_fixup* FindFileFixup(const file_image* image, uint32_t section,
                                        uint32_t offset) {
  if (image == nullptr || section >= image->SectionCount) return nullptr;
  const file_image_section& s = image->Sections[section];
  if (!s.Loaded || s.Fixups == nullptr) return nullptr;
  const file_pointer_fixup* end = s.Fixups + s.Header.FixupCount;
  const file_pointer_fixup* found = std::lower_bound(
      static_cast<const file_pointer_fixup*>(s.Fixups), end, offset,
      [](const file_pointer_fixup& f, uint32_t value) { return f.FromOffset < value; });
  return found != end && found->FromOffset == offset ? found : nullptr;
}

// ---- Whole files as native objects ------------------------------------------------

void FreeFile(ketrel_file* file) {
  if (file == nullptr) return;
  for (uint32_t i = 0; file->SectionData != nullptr && i < file->SectionCount; ++i) {
    FreeBlock(file->SectionData[i]);
  }
  FreeBlock(file->SectionData);
  FreeBlock(file->Sections);
  FreeBlock(file);
}

namespace {

bool IsEmptyRootType(const file_image* image) {
  const file_reference& root = image->Header.RootObjectTypeDefinition;
  if (root.SectionIndex >= image->SectionCount) return false;
  const file_image_section& s = image->Sections[root.SectionIndex];
  if (uint64_t(root.Offset) + 4 > s.Header.ExpandedDataSize) return false;
  return ReadWord(s.Data + root.Offset, image->ByteReversed) == EndMember;
}

bool InSection(const file_image* image, const file_reference& reference) {
  return reference.SectionIndex < image->SectionCount &&
         reference.Offset < image->Sections[reference.SectionIndex].Header.ExpandedDataSize;
}

// The root object and its type are top-level blocks, which writers place at
// the section alignment. The header lies outside the CRC, so this is what
// catches a damaged root reference before it is followed.
bool IsPlausibleRoot(const file_image* image, const file_reference& reference) {
  return InSection(image, reference) &&
         reference.Offset % image->Sections[reference.SectionIndex].Header.Alignment == 0;
}

// Takes the sections of a loaded native image and writes every pointer.
ketrel_file* FixUpNativeImage(file_image* image, file_platform sourcePlatform,
                              const file_header& sourceHeader) {
  const file_header& header = image->Header;
  if (!InSection(image, header.RootObjectTypeDefinition) || !InSection(image, header.RootObject)) {
    KT_LOG_ERROR(FileReader, "File's root object lies outside its sections");
    return nullptr;
  }
  ketrel_file* file = static_cast<ketrel_file*>(KT_ALLOCATE_CLEARED(sizeof(ketrel_file)));
  if (file == nullptr) return nullptr;
  const uint32_t count = image->SectionCount;
  file->Header = sourceHeader;
  file->SourcePlatform = sourcePlatform;
  file->SectionCount = count;
  file->Sections = KT_ALLOCATE_ARRAY(file_section_header, count > 0 ? count : 1);
  file->SectionData =
      static_cast<unsigned char**>(KT_ALLOCATE_CLEARED(sizeof(void*) * (count + 1)));
  if (file->Sections == nullptr || file->SectionData == nullptr) {
    FreeFile(file);
    return nullptr;
  }
  for (uint32_t i = 0; i < count; ++i) {
    file->Sections[i] = image->Sections[i].Header;
    file->SectionData[i] = image->Sections[i].Data;
    image->Sections[i].Data = nullptr;  // now the file's
  }
  for (uint32_t i = 0; i < count; ++i) {
    const file_image_section& s = image->Sections[i];
    for (uint32_t f = 0; f < s.Header.FixupCount; ++f) {
      const file_pointer_fixup& fixup = s.Fixups[f];
      void* target = file->SectionData[fixup.ToSection] + fixup.ToOffset;
      std::memcpy(file->SectionData[i] + fixup.FromOffset, &target, sizeof(target));
    }
  }
  file->RootType = reinterpret_cast<data_type_definition*>(
      file->SectionData[header.RootObjectTypeDefinition.SectionIndex] +
      header.RootObjectTypeDefinition.Offset);
  file->RootObject = file->SectionData[header.RootObject.SectionIndex] + header.RootObject.Offset;
  return file;
}

}  // namespace

ketrel_file* ReadEntireFileFromMemory(const void* bytes, size_t size) {
  file_image source;
  if (!OpenFileImage(bytes, size, &source)) return nullptr;
  uint32_t crc = ComputeFileImageCrc(&source);
  if (crc != source.Header.CRC) {
    KT_LOG_ERROR(FileReader, "File CRC does not match (header 0x%08x, contents 0x%08x)",
                 source.Header.CRC, crc);
    CloseFileImage(&source);
    return nullptr;
  }
  if (!LoadAllFileImageSections(&source)) {
    CloseFileImage(&source);
    return nullptr;
  }
  if (!IsPlausibleRoot(&source, source.Header.RootObjectTypeDefinition) ||
      !IsPlausibleRoot(&source, source.Header.RootObject)) {
    KT_LOG_ERROR(FileReader, "File's root reference is damaged");
    CloseFileImage(&source);
    return nullptr;
  }
  const file_platform platform = source.Platform.Platform;
  const file_header sourceHeader = source.Header;
  ketrel_file* file = nullptr;
  if (IsEmptyRootType(&source)) {
    if (platform == kNativePlatform) {
      file = FixUpNativeImage(&source, platform, sourceHeader);
    } else {
      KT_LOG_ERROR(FileReader,
                   "Cannot read a raw file (empty root type) of another platform: it has no "
                   "type tree to convert it by");
    }
    CloseFileImage(&source);
    return file;
  }
  // Every typed file, native or not, goes through the converter's walk: it
  // checks the whole graph through the file's own types, so the objects
  // handed out can be followed without further checks. A native file is
  // then fixed up where it lies; any other is converted straight from its
  // loaded sections into the native blocks.
  file = PlatformConvertImageToNative(&source);
  CloseFileImage(&source);
  return file;
}

ketrel_file* ReadEntireFileFromReader(file_reader* reader) {
  void* bytes = nullptr;
  size_t size = 0;
  if (!ReadAllFromReader(reader, &bytes, &size)) return nullptr;
  ketrel_file* file = ReadEntireFileFromMemory(bytes, size);
  FreeBlock(bytes);
  return file;
}

}  // namespace ketrel
