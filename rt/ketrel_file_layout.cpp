#include "rt/ketrel_file_layout.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "rt/ketrel_compression.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"

namespace ketrel {

void FreeStoredSection(stored_section* section) {
  if (section == nullptr) return;
  FreeBlock(section->Data);
  FreeBlock(section->Fixups);
  FreeBlock(section->Marshallings);
  section->Data = section->Fixups = section->Marshallings = nullptr;
  section->DataBytes = section->FixupBytes = section->MarshallingBytes = 0;
}

namespace {

bool WriteToMemory(void* user, const void* bytes, size_t size) {
  return WriteToWriter(static_cast<file_writer*>(user), size, bytes);
}

// Runs `streamCount` streams through a compressor into a fresh buffer.
bool CompressStreams(uint32_t type, bool bigEndian, uint32_t expandedSize, uint32_t streamCount,
                     const void* const* streams, const uint32_t* sizes, void** outStored,
                     uint32_t* outStoredSize) {
  *outStored = nullptr;
  *outStoredSize = 0;
  // Compressed output rarely exceeds the input; start there to avoid growth.
  file_writer* memory = CreateMemoryFileWriter(-1, expandedSize + 64);
  if (memory == nullptr) return false;
  bool ok = true;
  uint32_t storedSize = 0;
  if (type == kNoCompression) {
    for (uint32_t i = 0; ok && i < streamCount; ++i)
      ok = WriteToWriter(memory, sizes[i], streams[i]);
    storedSize = expandedSize;
  } else {
    file_compressor* compressor = BeginFileCompression(expandedSize, streamCount, type, bigEndian,
                                                       compression_output{WriteToMemory, memory});
    ok = compressor != nullptr;
    for (uint32_t i = 0; ok && i < streamCount; ++i) {
      ok = CompressContentsOfMemory(compressor, sizes[i], streams[i]);
    }
    if (compressor != nullptr) ok = EndFileCompression(compressor, &storedSize) && ok;
  }
  void* bytes = nullptr;
  size_t size = 0;
  ok = StealMemoryWriterBuffer(memory, &bytes, &size) && ok;
  DeleteFileWriter(memory);
  if (!ok || size != storedSize) {
    FreeBlock(bytes);
    return false;
  }
  *outStored = bytes;
  *outStoredSize = storedSize;
  return true;
}

}  // namespace

bool StoreSectionData(stored_section* section, const void* expanded, bool bigEndian) {
  file_section_header& header = section->Header;
  if (header.ExpandedDataSize == 0) {
    section->DataBytes = 0;
    return true;
  }
  if (header.Compression >= kCompressionTypeCount || header.Compression == kLorpa0Compression) {
    KT_LOG_ERROR(Compression, "Unrecognized compression type %d", int(header.Compression));
    return false;
  }
  const unsigned char* bytes = static_cast<const unsigned char*>(expanded);
  bool joined = header.Compression == kNoCompression || header.Compression == kTessik2Compression;
  const void* streams[3];
  uint32_t sizes[3];
  uint32_t count = 1;
  if (joined) {
    streams[0] = bytes;
    sizes[0] = header.ExpandedDataSize;
  } else {
    count = 3;
    streams[0] = bytes;
    sizes[0] = header.First16BitOffset;
    streams[1] = bytes + header.First16BitOffset;
    sizes[1] = header.First8BitOffset - header.First16BitOffset;
    streams[2] = bytes + header.First8BitOffset;
    sizes[2] = header.ExpandedDataSize - header.First8BitOffset;
  }
  if (!CompressStreams(header.Compression, bigEndian, header.ExpandedDataSize, count, streams,
                       sizes, &section->Data, &section->DataBytes)) {
    KT_LOG_ERROR(FileBuilder, "Unable to compress section data (compression type %u)",
                 header.Compression);
    return false;
  }
  return true;
}

bool StoreRecordArray(uint32_t compression, const void* records, uint32_t size, bool bigEndian,
                      void** outStored, uint32_t* outStoredSize) {
  *outStored = nullptr;
  *outStoredSize = 0;
  if (size == 0) return true;
  if (compression != kTessik2Compression) {
    void* copy = KT_ALLOCATE(size);
    if (copy == nullptr) return false;
    std::memcpy(copy, records, size);
    *outStored = copy;
    *outStoredSize = size;
    return true;
  }
  void* stream = nullptr;
  uint32_t streamSize = 0;
  const void* streams[1] = {records};
  if (!CompressStreams(compression, bigEndian, size, 1, streams, &size, &stream, &streamSize)) {
    return false;
  }
  unsigned char* stored = static_cast<unsigned char*>(KT_ALLOCATE(size_t(streamSize) + 4));
  if (stored == nullptr) {
    FreeBlock(stream);
    return false;
  }
  // The size word is in the file's byte order, like every other word.
  uint32_t word = bigEndian ? ByteSwap32(streamSize) : streamSize;
  std::memcpy(stored, &word, 4);
  std::memcpy(stored + 4, stream, streamSize);
  FreeBlock(stream);
  *outStored = stored;
  *outStoredSize = streamSize + 4;
  return true;
}

namespace {

uint64_t RoundUp(uint64_t value, uint32_t alignment) {
  return (value + alignment - 1) & ~uint64_t(alignment - 1);
}

bool WriteWords(file_writer* writer, const void* words, size_t bytes, bool bigEndian) {
  if (!bigEndian) return WriteToWriter(writer, bytes, words);
  uint32_t swapped[32];
  const unsigned char* source = static_cast<const unsigned char*>(words);
  while (bytes > 0) {
    size_t chunk = bytes < sizeof(swapped) ? bytes : sizeof(swapped);
    std::memcpy(swapped, source, chunk);
    for (size_t i = 0; i < chunk / 4; ++i) swapped[i] = ByteSwap32(swapped[i]);
    if (!WriteToWriter(writer, chunk, swapped)) return false;
    source += chunk;
    bytes -= chunk;
  }
  return true;
}

bool WritePiece(file_writer* writer, uint32_t alignment, const void* bytes, uint32_t size) {
  if (AlignWriter(writer, alignment) < 0) return false;
  return size == 0 || WriteToWriter(writer, size, bytes);
}

}  // namespace

bool WriteStoredFile(file_writer* writer, stored_file_layout* layout, uint32_t sectionCount,
                     stored_section* sections) {
  const uint32_t alignment = layout->FileAlignment;
  const uint32_t headerSize = kFileOpeningSize + kSectionHeaderSize * sectionCount;
  uint64_t running = RoundUp(headerSize, alignment);
  for (uint32_t i = 0; i < sectionCount; ++i) {
    file_section_header& header = sections[i].Header;
    header.DataOffset = uint32_t(running);
    uint32_t stored = sections[i].DataBytes;
    header.DataSize = layout->RoundDataSize ? uint32_t(RoundUp(stored, alignment)) : stored;
    running = RoundUp(running + stored, alignment);
  }
  for (uint32_t i = 0; i < sectionCount; ++i) {
    file_section_header& header = sections[i].Header;
    header.FixupOffset = uint32_t(running);
    running = RoundUp(running + sections[i].FixupBytes, alignment);
    header.MarshallingOffset = uint32_t(running);
    running = RoundUp(running + sections[i].MarshallingBytes, alignment);
  }
  if (running > UINT32_MAX) {
    KT_LOG_ERROR(FileBuilder, "File would be larger than 4 GB (%llu bytes)",
                 static_cast<unsigned long long>(running));
    return false;
  }

  int64_t start = GetWriterPosition(writer);
  if (start < 0 || SeekWriter(writer, start + kFileOpeningSize, SeekFromStart) < 0) return false;
  BeginWriterCrc(writer);
  bool ok = true;
  for (uint32_t i = 0; ok && i < sectionCount; ++i) {
    ok = WriteWords(writer, &sections[i].Header, kSectionHeaderSize, layout->BigEndian);
  }
  for (uint32_t i = 0; ok && i < sectionCount; ++i) {
    ok = WritePiece(writer, alignment, sections[i].Data, sections[i].DataBytes);
  }
  for (uint32_t i = 0; ok && i < sectionCount; ++i) {
    ok = WritePiece(writer, alignment, sections[i].Fixups, sections[i].FixupBytes) &&
         WritePiece(writer, alignment, sections[i].Marshallings, sections[i].MarshallingBytes);
  }
  ok = ok && AlignWriter(writer, alignment) >= 0;
  uint32_t crc = EndWriterCrc(writer);
  int64_t end = GetWriterPosition(writer);
  if (!ok || end < 0 || uint64_t(end - start) != running) {
    if (ok) KT_LOG_ERROR(FileBuilder, "Written file size does not match its layout");
    return false;
  }

  file_magic_record magic{};
  std::memcpy(magic.MagicValue, layout->MagicValue, sizeof(magic.MagicValue));
  magic.HeaderSize = headerSize;
  file_header& header = layout->Header;
  header.TotalSize = uint32_t(running);
  header.CRC = crc;
  header.SectionArrayOffset = kFileHeaderSize;
  header.SectionArrayCount = sectionCount;
  return SeekWriter(writer, start, SeekFromStart) >= 0 &&
         WriteWords(writer, &magic, sizeof(magic), layout->BigEndian) &&
         WriteWords(writer, &header, sizeof(header), layout->BigEndian) &&
         SeekWriter(writer, end, SeekFromStart) >= 0;
}

bool StoreSectionsData(stored_section* sections, const void* const* expanded, uint32_t count,
                       bool bigEndian) {
  // Below this much data a second thread costs more than it saves.
  constexpr uint64_t kShareAbove = uint64_t(256) << 10;
  uint64_t total = 0;
  for (uint32_t s = 0; s < count; ++s) total += sections[s].Header.ExpandedDataSize;
  // Largest first, each section to whichever thread has less so far.
  std::vector<bool> helperTakes(count, false);
  bool share = total > kShareAbove && std::thread::hardware_concurrency() >= 2;
  if (share) {
    std::vector<uint32_t> order(count);
    for (uint32_t s = 0; s < count; ++s) order[s] = s;
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
      return sections[a].Header.ExpandedDataSize > sections[b].Header.ExpandedDataSize;
    });
    uint64_t load[2] = {0, 0};  // [0] this thread, [1] the helper
    for (uint32_t s : order) {
      int to = load[1] < load[0] ? 1 : 0;
      helperTakes[s] = to == 1;
      load[to] += sections[s].Header.ExpandedDataSize;
    }
  }
  std::vector<char> stored(count, 0);
  auto run = [&](bool helper) {
    for (uint32_t s = 0; s < count; ++s) {
      if (helperTakes[s] == helper)
        stored[s] = StoreSectionData(&sections[s], expanded[s], bigEndian);
    }
  };
  std::thread helper;
  if (share) {
    try {
      helper = std::thread(run, true);
    } catch (const std::system_error&) {
      // No thread to be had: this one does all of it.
      helperTakes.assign(count, false);
    }
  }
  run(false);
  if (helper.joinable()) helper.join();
  bool ok = true;
  for (uint32_t s = 0; s < count; ++s) ok = ok && stored[s];
  return ok;
}

}  // namespace ketrel
