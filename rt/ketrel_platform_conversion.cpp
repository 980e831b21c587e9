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

void FreeConversion(conversion* c) {
  FreeBlock(c->PartSizes);
  DeletePointerHash(c->EntryMap);
  DeletePointerHash(c->TypeMap);
  c->Fixups.Free();
  c->Words.Free();
  c->Marshallings.Free();
  c->Entries.Free();
  c->Work.Free();
  c->Types.Free();
  c->Runs.Free();
  c->Members.Free();
}

// Walks the source from its root, placing every piece; false (logged) on any
// fault of the source. The root's places are returned.
bool WalkConversion(conversion* c, const file_image* source, const platform_info& dest,
                    bool inPlace, dest_location* destRootType, dest_location* destRootObject) {
  c->Source = source;
  c->SourcePointer = source->Platform.PointerBytes;
  c->DestPointer = dest.PointerBytes;
  c->SourceReversed = source->ByteReversed;
  c->DestReversed = dest.BigEndian;
  c->Swap = c->SourceReversed != c->DestReversed;
  c->InPlace = inPlace;
  uint64_t sourceBytes = 0;
  for (uint32_t s = 0; s < source->SectionCount; ++s) {
    sourceBytes += source->Sections[s].Header.ExpandedDataSize;
  }
  // Wider pointers at most double a block; anything beyond is a hostile file
  // that references overlapping places to multiply its size.
  c->DestLimit = 4 * sourceBytes + 65536;
  c->PartSizes = static_cast<uint32_t*>(
      KT_ALLOCATE_CLEARED(sizeof(uint32_t) * kPartCount * (source->SectionCount + 1)));
  c->EntryMap = NewPointerHash();
  c->TypeMap = NewPointerHash();
  if (c->PartSizes == nullptr || c->EntryMap == nullptr || c->TypeMap == nullptr) {
    KT_LOG_ERROR(Platform, "PlatformConversion unable to initialize conversion state");
    return false;
  }
  const file_reference rootType = source->Header.RootObjectTypeDefinition;
  const file_reference rootObject = source->Header.RootObject;
  if (!SourceRange(c, rootType.SectionIndex, rootType.Offset, 4) ||
      !SourceRange(c, rootObject.SectionIndex, rootObject.Offset, 0)) {
    KT_LOG_ERROR(Platform, "PlatformConversion: root object lies outside its section");
    return false;
  }
  if (IsEmptyType(c, rootType)) {
    KT_LOG_ERROR(Platform,
                 "PlatformConversion: Cannot convert Raw File types (empty type as root "
                 "object type detected)");
    return false;
  }
  bool ok = PlaceObjects(c, rootType, rootObject, 1, destRootObject) &&
            PlaceType(c, rootType, destRootType);
  for (size_t next = 0; ok && next < c->Work.Count; ++next) ok = ConvertEntry(c, c->Work[next]);
  if (!ok) KT_LOG_ERROR(Platform, "PlatformConversion: Initial tree traversal failed");
  return ok;
}

// Where each section's parts go once joined; false past 4 GB.
bool LayOut(conversion* c, uint32_t fileAlignment, flat_section* flat) {
  for (uint32_t s = 0; s < c->Source->SectionCount; ++s) {
    if (c->InPlace) {
      flat[s] = flat_section{{0, 0, 0}, c->Source->Sections[s].Header.ExpandedDataSize};
      continue;
    }
    uint32_t alignment = PartAlignment(c, s, fileAlignment);
    uint64_t running = 0;
    for (uint32_t p = 0; p < kPartCount; ++p) {
      flat[s].Base[p] = uint32_t(running);
      running += PartSize(c, s, p);
      running = (running + alignment - 1) & ~uint64_t(alignment - 1);
      if (running > UINT32_MAX) return false;
    }
    flat[s].Size = uint32_t(running);
  }
  return true;
}

// Allocates each joined section (its size + 16 spare bytes, all written by
// the fill) and fills them; false (logged) when memory runs out.
bool AllocateAndFill(conversion* c, const flat_section* flat, unsigned char** data) {
  for (uint32_t s = 0; s < c->Source->SectionCount; ++s) {
    data[s] = static_cast<unsigned char*>(KT_ALLOCATE(size_t(flat[s].Size) + 16));
    if (data[s] == nullptr) {
      KT_LOG_ERROR(Platform, "PlatformConversion: unable to allocate a section of %u bytes",
                   flat[s].Size);
      return false;
    }
  }
  if (!FillDestination(c, flat, data)) {
    KT_LOG_ERROR(Platform, "PlatformConversion: out of memory");
    return false;
  }
  return true;
}

uint32_t FlatOffset(const flat_section* flat, const dest_location& at) {
  return flat[at.Section].Base[at.Part] + at.Offset;
}

template <typename T>
void ReverseWords(T* records, size_t count) {
  uint32_t* words = reinterpret_cast<uint32_t*>(records);
  for (size_t i = 0; i < count * sizeof(T) / 4; ++i) words[i] = ByteSwap32(words[i]);
}

// Builds the arrays of the filled sections, compresses and writes the file.
// Takes over `data` (the filled sections).
bool WriteConverted(conversion* c, file_writer* writer, platform_info dest,
                    const flat_section* flat, unsigned char** data, const file_reference& rootType,
                    const file_reference& rootObject, uint32_t fileAlignment, uint32_t sectionCount,
                    const uint32_t* compression) {
  const file_image* source = c->Source;
  const uint32_t count = source->SectionCount;
  stored_section* stored =
      static_cast<stored_section*>(KT_ALLOCATE_CLEARED(sizeof(stored_section) * (count + 1)));
  bool ok = stored != nullptr;
  growable_array<file_pointer_fixup> fixups;
  growable_array<file_mixed_marshalling_fixup> marshallings;
  for (uint32_t s = 0; ok && s < count; ++s) {
    file_section_header& header = stored[s].Header;
    header.Compression = s < sectionCount && compression != nullptr
                             ? compression[s]
                             : source->Sections[s].Header.Compression;
    header.Alignment = source->Sections[s].Header.Alignment;
    header.First16BitOffset = flat[s].Base[1];
    header.First8BitOffset = flat[s].Base[2];
    header.ExpandedDataSize = flat[s].Size;
    fixups.Count = 0;
    for (const dest_fixup& f : c->Fixups) {
      if (f.From.Section != s) continue;
      ok = ok && fixups.Append(file_pointer_fixup{FlatOffset(flat, f.From), f.To.Section,
                                                  FlatOffset(flat, f.To)});
    }
    std::sort(fixups.begin(), fixups.end(),
              [](const file_pointer_fixup& a, const file_pointer_fixup& b) {
                return a.FromOffset < b.FromOffset;
              });
    marshallings.Count = 0;
    for (const dest_marshalling& m : c->Marshallings) {
      if (m.Object.Section != s) continue;
      ok =
          ok && marshallings.Append(file_mixed_marshalling_fixup{
                    m.Count, FlatOffset(flat, m.Object), m.Type.Section, FlatOffset(flat, m.Type)});
    }
    header.FixupCount = uint32_t(fixups.Count);
    header.MarshallingCount = uint32_t(marshallings.Count);
    if (dest.BigEndian) {
      ReverseWords(fixups.Items, fixups.Count);
      ReverseWords(marshallings.Items, marshallings.Count);
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
  ok = ok &&
       StoreSectionsData(stored, reinterpret_cast<const void* const*>(data), count, dest.BigEndian);
  for (uint32_t s = 0; s < count; ++s) {
    FreeBlock(data[s]);
    data[s] = nullptr;
  }
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
  return ok;
}

// The sections' blocks and their layout for one conversion.
struct destination {
  flat_section* Flat = nullptr;
  unsigned char** Data = nullptr;
  uint32_t Count = 0;

  bool Allocate(uint32_t count) {
    Count = count;
    Flat = KT_ALLOCATE_ARRAY(flat_section, count + 1);
    Data = static_cast<unsigned char**>(KT_ALLOCATE_CLEARED(sizeof(void*) * (count + 1)));
    return Flat != nullptr && Data != nullptr;
  }
  ~destination() {
    for (uint32_t s = 0; Data != nullptr && s < Count; ++s) FreeBlock(Data[s]);
    FreeBlock(Data);
    FreeBlock(Flat);
  }
};

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
  dest_location destRootType{}, destRootObject{};
  destination out;
  bool ok = WalkConversion(&c, source, dest, false, &destRootType, &destRootObject) &&
            out.Allocate(source->SectionCount) && LayOut(&c, fileAlignment, out.Flat) &&
            AllocateAndFill(&c, out.Flat, out.Data);
  if (ok) {
    const file_reference rootType{destRootType.Section, FlatOffset(out.Flat, destRootType)};
    const file_reference rootObject{destRootObject.Section, FlatOffset(out.Flat, destRootObject)};
    ok = WriteConverted(&c, destWriter, dest, out.Flat, out.Data, rootType, rootObject,
                        fileAlignment, sectionCount, compressionTypes);
    if (!ok)
      KT_LOG_ERROR(Platform, "PlatformConversion: Failed to write flattened sections and fixups");
  }
  FreeConversion(&c);
  return ok;
}

ketrel_file* PlatformConvertImageToNative(file_image* source) {
  if (!KT_CHECK_PARAMETER(Platform, source != nullptr)) return nullptr;
  for (uint32_t s = 0; s < source->SectionCount; ++s) {
    if (!source->Sections[s].Loaded) {
      KT_PARAMETER_CHECK_FAILED(Platform);
      return nullptr;
    }
  }
  const platform_info native = GetPlatformInfo(kNativePlatform);
  const uint32_t count = source->SectionCount;
  conversion inPlaceWalk{}, copyingWalk{};
  conversion* c = &copyingWalk;
  dest_location rootType{}, rootObject{};
  // A native image is checked and fixed up where it lies, unless pieces of
  // it overlap in a way that rewriting one would change another: those get
  // copies of their own, as for any other platform.
  bool inPlace = source->Platform.Platform == kNativePlatform;
  bool ok = true;
  if (inPlace) {
    ok = WalkConversion(&inPlaceWalk, source, native, true, &rootType, &rootObject);
    inPlace = ok && PiecesAreSeparate(&inPlaceWalk);
    if (inPlace) c = &inPlaceWalk;
    FreeConversion(inPlace ? &copyingWalk : &inPlaceWalk);
  }
  if (ok && !inPlace) ok = WalkConversion(c, source, native, false, &rootType, &rootObject);
  destination out;
  ok = ok && out.Allocate(count) && LayOut(c, kFileAlignment, out.Flat);
  if (ok && inPlace) {
    for (uint32_t s = 0; s < count; ++s) out.Data[s] = source->Sections[s].Data;
    ok = FillDestination(c, out.Flat, out.Data);
    if (ok) {
      for (uint32_t s = 0; s < count; ++s) source->Sections[s].Data = nullptr;  // now the file's
    } else {
      for (uint32_t s = 0; s < count; ++s) out.Data[s] = nullptr;
    }
  } else if (ok) {
    ok = AllocateAndFill(c, out.Flat, out.Data);
  }
  ketrel_file* file =
      ok ? static_cast<ketrel_file*>(KT_ALLOCATE_CLEARED(sizeof(ketrel_file))) : nullptr;
  if (file != nullptr) {
    file->Header = source->Header;
    file->SourcePlatform = source->Platform.Platform;
    file->SectionCount = count;
    file->Sections = KT_ALLOCATE_ARRAY(file_section_header, count + 1);
    if (file->Sections == nullptr) {
      FreeFile(file);
      file = nullptr;
    }
  }
  if (file != nullptr) {
    for (const dest_fixup& f : c->Fixups) {
      void* target = out.Data[f.To.Section] + FlatOffset(out.Flat, f.To);
      std::memcpy(out.Data[f.From.Section] + FlatOffset(out.Flat, f.From), &target, sizeof(target));
    }
    for (uint32_t s = 0; s < count; ++s) {
      file_section_header header = source->Sections[s].Header;
      if (!inPlace) {
        header = file_section_header{};
        header.Alignment = source->Sections[s].Header.Alignment;
        header.First16BitOffset = out.Flat[s].Base[1];
        header.First8BitOffset = out.Flat[s].Base[2];
        header.ExpandedDataSize = header.DataSize = out.Flat[s].Size;
      }
      file->Sections[s] = header;
    }
    file->RootType = reinterpret_cast<data_type_definition*>(out.Data[rootType.Section] +
                                                             FlatOffset(out.Flat, rootType));
    file->RootObject = out.Data[rootObject.Section] + FlatOffset(out.Flat, rootObject);
    file->SectionData = out.Data;  // now the file's
    out.Data = nullptr;
  }
  FreeConversion(c);
  return file;
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
