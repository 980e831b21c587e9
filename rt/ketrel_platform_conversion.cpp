#include "rt/ketrel_platform_conversion.h"

#include <algorithm>
#include <cstring>

#include "rt/ketrel_data_types.h"
#include "rt/ketrel_file_format.h"
#include "rt/ketrel_file_layout.h"
#include "rt/ketrel_growable_array.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_platform_conversion_internal.h"
#include "rt/ketrel_pointer_hash.h"

namespace ketrel {
using namespace platform_detail;

namespace {

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
