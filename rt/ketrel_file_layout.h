#pragma once
// Storing and laying out finished sections: the part shared by the file
// builder (which lays out a native file) and the platform converter (which
// lays out a file for any platform). A section arrives as its expanded bytes
// plus fix-up and marshalling records; it leaves as stored (possibly
// compressed) data and stored arrays, and WriteStoredFile writes the magic
// record, header, section table, data and arrays with the CRC over bytes
// 104..end.

#include <cstdint>

#include "rt/ketrel_file_format.h"
#include "rt/ketrel_file_writer.h"

namespace ketrel {

struct stored_section {
  // Compression, ExpandedDataSize, Alignment, First16BitOffset,
  // First8BitOffset, FixupCount and MarshallingCount are the caller's; the
  // offsets and DataSize are filled in by the layout.
  file_section_header Header;
  void* Data;  // owned; DataBytes of stored section data
  uint32_t DataBytes;
  void* Fixups;  // owned; the stored fix-up array (raw or compressed)
  uint32_t FixupBytes;
  void* Marshallings;  // owned; the stored marshalling array
  uint32_t MarshallingBytes;
};

void FreeStoredSection(stored_section* section);

// Compresses `expanded` (Header.ExpandedDataSize bytes) with the section's
// compression into section->Data. Types 0 and 4 take the expanded data as one
// stream; the others take the three parts as three streams. `bigEndian` is
// the byte order of the file being written. Logs and fails on an unknown
// type or a compressor failure.
bool StoreSectionData(stored_section* section, const void* expanded, bool bigEndian);
// StoreSectionData for `count` sections, two at a time when the machine has
// a second core and there is enough data to share; the stored bytes are the
// same either way. False when any section failed (each failure is logged).
bool StoreSectionsData(stored_section* sections, const void* const* expanded, uint32_t count,
                       bool bigEndian);

// Stores `size` bytes of records (already in the file's byte order) as a
// section's fix-up or marshalling array: raw, or for a Tessik2 section a
// uint32 stored size (file order) followed by one Tessik2 stream.
bool StoreRecordArray(uint32_t compression, const void* records, uint32_t size, bool bigEndian,
                      void** outStored, uint32_t* outStoredSize);

struct stored_file_layout {
  uint32_t MagicValue[4];  // the platform's magic words, this machine's order
  file_header Header;      // TotalSize, CRC, SectionArrayOffset, SectionArrayCount are set here
  bool BigEndian;
  // The builder rounds DataSize up to the file alignment; a converted file
  // records the compressor's exact size.
  bool RoundDataSize;
  uint32_t FileAlignment;  // a power of two, at least 4
};

// Lays out and writes the whole file at the writer's current position P0,
// leaving the writer at its end. Fills in the sections' offsets and sizes.
// False when any write fails or the file would pass 4 GB.
bool WriteStoredFile(file_writer* writer, stored_file_layout* layout, uint32_t sectionCount,
                     stored_section* sections);

}  // namespace ketrel
