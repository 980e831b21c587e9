#pragma once
// Reading KT2 files. Every byte of a file is treated as hostile: the opening,
// every section extent, every array and every fix-up is checked against the
// buffer before use, and a file becomes an object graph only after the
// platform converter has walked it through its own type definitions (which
// checks every object, string, array and type against its section).
//
// Three levels:
//   file_reader   where the bytes come from (memory here, files in rt/posix)
//   file_image    a whole file in memory with its opening parsed and, once
//                 loaded, each section expanded with its sorted fix-ups and
//                 marshalling records (values in this machine's order; the
//                 section data itself is left in the file's byte order)
//   ketrel_file   the file as native objects with pointers fixed up: what a
//                 tool or test walks

#include <cstddef>
#include <cstdint>

#include "rt/ketrel_data_types.h"
#include "rt/ketrel_file_format.h"

namespace ketrel {

struct file_reader {
  void (*Destroy)(file_reader* reader);
  // Reads exactly `size` bytes at `offset`; false when they are not all there.
  bool (*Read)(file_reader* reader, uint64_t offset, size_t size, void* out);
  uint64_t Size;
};

// A reader over caller-owned bytes that must outlive it.
file_reader* CreateMemoryFileReader(const void* bytes, size_t size);
// Accepts null.
void DeleteFileReader(file_reader* reader);
// Reads the reader's whole content into one block the caller frees.
bool ReadAllFromReader(file_reader* reader, void** outBytes, size_t* outSize);

struct file_image_section {
  file_section_header Header;  // this machine's order
  unsigned char* Data;         // ExpandedDataSize bytes + 16 zero bytes; file's byte order
  file_pointer_fixup* Fixups;  // FixupCount records sorted by FromOffset
  file_mixed_marshalling_fixup* Marshallings;
  bool Loaded;
};

struct file_image {
  platform_info Platform;
  bool ByteReversed;       // the file's byte order differs from this machine's
  bool OlderMagic;         // the older 32-bit magic value
  uint32_t MagicValue[4];  // as recognised, this machine's order
  uint32_t HeaderSize;
  uint32_t HeaderFormat;
  file_header Header;
  uint32_t SectionCount;
  file_image_section* Sections;
  const unsigned char* Bytes;  // the file; not owned unless OwnedBytes is set
  size_t Size;
  void* OwnedBytes;
};

// Parses the opening of a file held in memory: magic ("Unable to read magic
// value", "File is not a Ketrel file"), header format, header and section
// table ("Unable to read file header"), the version (a warning), the total
// size against the bytes present, and every section's extents against the
// file. Nothing is decompressed. On failure the image is closed.
bool OpenFileImage(const void* bytes, size_t size, file_image* image);
// The CRC-32 of bytes 104..TotalSize of an opened image.
uint32_t ComputeFileImageCrc(const file_image* image);
// Expands one section and loads its arrays, checking every fix-up (slot
// inside the section, target inside its section, no slot twice) and every
// marshalling record. A section already loaded is left alone with the warning
// "Ignored request to read already populated file section %d".
bool LoadFileImageSection(file_image* image, uint32_t index);
bool LoadAllFileImageSections(file_image* image);
// Frees what the image owns. Accepts an image that failed to open.
void CloseFileImage(file_image* image);

// Reads a pointer-sized slot of a loaded section: the fix-up at the slot, or
// null when it has none.
const file_pointer_fixup* FindFileFixup(const file_image* image, uint32_t section, uint32_t offset);

// A whole file as native objects.
struct ketrel_file {
  file_header Header;  // as read (this machine's order)
  file_platform SourcePlatform;
  uint32_t SectionCount;
  file_section_header* Sections;  // of the native image the objects live in
  unsigned char** SectionData;
  data_type_definition* RootType;
  void* RootObject;
};

// Reads a file of any of the four platforms: checks the opening, the CRC and
// every section, converts it to this machine's layout (which validates the
// object graph) and applies the pointer fix-ups. Null (logged) on any fault.
// A file whose root type is empty ("raw" file) is loaded only when it is
// native; its objects are then not validated beyond the fix-ups.
ketrel_file* ReadEntireFileFromMemory(const void* bytes, size_t size);
ketrel_file* ReadEntireFileFromReader(file_reader* reader);
// Accepts null.
void FreeFile(ketrel_file* file);

}  // namespace ketrel
