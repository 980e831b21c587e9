// Section compression: the compressor the file builder and the platform
// converter write through, and the decoders for every stored form.

#include "rt/ketrel_compression.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "rt/ketrel_log.h"
#include "rt/ketrel_lorpa.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_tessik.h"

namespace ketrel {

namespace {

bool IsKnownType(uint32_t type) { return type <= kTessik2Compression; }

bool Unrecognized(uint32_t type) {
  KT_LOG_ERROR(Compression, "Unrecognized compression type %d", static_cast<int>(type));
  return false;
}

uint32_t Swap32(uint32_t v) { return __builtin_bswap32(v); }

// Stream headers are written in this machine's byte order, or reversed for
// a file of the other order.
void PutWord(uint8_t* out, uint32_t v, bool byteReversed) {
  if (byteReversed) v = Swap32(v);
  std::memcpy(out, &v, 4);
}
uint32_t GetWord(const uint8_t* in, bool byteReversed) {
  uint32_t v;
  std::memcpy(&v, in, 4);
  return byteReversed ? Swap32(v) : v;
}

// Only zero padding may follow the last stream of a stored block.
bool OnlyPaddingFollows(const uint8_t* bytes, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != 0) {
      KT_LOG_ERROR(Compression, "Compressed data has %d unexpected bytes after its end",
                   static_cast<int>(size));
      return false;
    }
  }
  return true;
}

}  // namespace

uint32_t GetCompressionCapabilities(uint32_t type) {
  if (type == kNoCompression) return kCompressionDecodesArrays;
  if (type == kTessik2Compression) {
    return kCompressionCompressesArrays | kCompressionJoinsStreams | kCompressionDecodesArrays;
  }
  return 0;
}

uint32_t GetCompressionPaddingSize(uint32_t type) {
  return type == kLorpa0Compression || type == kLorpa1Compression ? 4 : 0;
}

uint32_t GetCompressionStreamCount(uint32_t type) {
  return type == kNoCompression || type == kTessik2Compression ? 1 : 3;
}

struct file_compressor {
  uint32_t type = 0;
  uint32_t expandedSize = 0;
  uint32_t streamCount = 0;
  uint32_t streamsDone = 0;
  uint64_t bytesGiven = 0;
  bool byteReversed = false;
  bool failed = false;
  compression_output output;
  // Lorpa1
  lorpa_encoder* lorpa = nullptr;
  lorpa_stream_header headers[3];
  // Tessik
  uint8_t* buffer = nullptr;
  size_t capacity = 0;
  size_t fill = 0;
  void* work = nullptr;
};

namespace {

void FreeCompressor(file_compressor* c) {
  FreeLorpaEncoder(c->lorpa);
  FreeBlock(c->buffer);
  FreeBlock(c->work);
  c->~file_compressor();
  FreeBlock(c);
}

bool Fail(file_compressor* c) {
  c->failed = true;
  return false;
}

}  // namespace

file_compressor* BeginFileCompression(uint32_t expandedSize, uint32_t streamCount, uint32_t type,
                                      bool byteReversed, compression_output output) {
  if (!IsKnownType(type)) {
    Unrecognized(type);
    return nullptr;
  }
  if (type == kLorpa0Compression) return nullptr;  // never written
  if (output.write == nullptr || streamCount < 1 || streamCount > 3 ||
      (type == kTessik2Compression && streamCount != 1)) {
    KT_PARAMETER_CHECK_FAILED(Compression);
    return nullptr;
  }
  void* memory = KT_ALLOCATE(sizeof(file_compressor));
  if (memory == nullptr) return nullptr;
  file_compressor* c = new (memory) file_compressor();
  c->type = type;
  c->expandedSize = expandedSize;
  c->streamCount = streamCount;
  c->byteReversed = byteReversed;
  c->output = output;
  if (type == kLorpa1Compression) {
    c->lorpa = BeginLorpaEncoder((9 * size_t{expandedSize} + 7) / 8 + 36);
    if (c->lorpa == nullptr) {
      FreeCompressor(c);
      return nullptr;
    }
  } else if (type == kTessikCompression || type == kTessik2Compression) {
    c->capacity = TessikBound(expandedSize) + 16 * size_t{streamCount};
    c->buffer = static_cast<uint8_t*>(KT_ALLOCATE(c->capacity));
    c->work = KT_ALLOCATE(TessikWorkMemorySize(kTessikFileLevel, expandedSize));
    if (c->buffer == nullptr || c->work == nullptr) {
      FreeCompressor(c);
      return nullptr;
    }
  }
  return c;
}

bool CompressContentsOfMemory(file_compressor* c, uint32_t size, const void* bytes) {
  if (c == nullptr || (bytes == nullptr && size != 0)) {
    KT_PARAMETER_CHECK_FAILED(Compression);
    return c != nullptr && Fail(c);
  }
  if (c->failed) return false;
  if (c->streamsDone >= c->streamCount || c->bytesGiven + size > c->expandedSize) {
    // More data than announced would not fit the buffers sized at Begin.
    KT_PARAMETER_CHECK_FAILED(Compression);
    return Fail(c);
  }
  c->bytesGiven += size;
  switch (c->type) {
    case kNoCompression:
      if (size != 0 && !c->output.write(c->output.user, bytes, size)) return Fail(c);
      break;
    case kLorpa1Compression:
      if (!LorpaEncodeStream(c->lorpa, bytes, size, &c->headers[c->streamsDone])) return Fail(c);
      break;
    default: {
      size_t written = TessikCompress(kTessikFileLevel, bytes, size, c->buffer + c->fill,
                                      c->capacity - c->fill, c->work);
      if (written == 0) {
        KT_LOG_ERROR(Compression, "Tessik compression of %d bytes did not fit its buffer",
                     static_cast<int>(size));
        return Fail(c);
      }
      c->fill += written;
      break;
    }
  }
  ++c->streamsDone;
  return true;
}

bool CompressContentsOfReader(file_compressor* c, uint32_t size, compression_input input) {
  if (c == nullptr || input.read == nullptr) {
    KT_PARAMETER_CHECK_FAILED(Compression);
    return c != nullptr && Fail(c);
  }
  if (c->failed) return false;
  // Lorpa1 gets 8 spare zero bytes behind the data, as its coder may look ahead.
  size_t spare = c->type == kLorpa1Compression ? 8 : 0;
  uint8_t* temporary = static_cast<uint8_t*>(KT_ALLOCATE_CLEARED(size_t{size} + spare));
  if (temporary == nullptr) return Fail(c);
  bool ok = size == 0 || input.read(input.user, 0, size, temporary);
  if (!ok) {
    KT_LOG_ERROR(Compression, "Unable to read %d bytes to compress", static_cast<int>(size));
    Fail(c);
  } else {
    ok = CompressContentsOfMemory(c, size, temporary);
  }
  FreeBlock(temporary);
  return ok;
}

bool EndFileCompression(file_compressor* c, uint32_t* outStoredSize) {
  if (c == nullptr || outStoredSize == nullptr) {
    KT_PARAMETER_CHECK_FAILED(Compression);
    if (c != nullptr) FreeCompressor(c);
    return false;
  }
  bool ok = !c->failed;
  if (ok && c->streamsDone != c->streamCount) {
    KT_LOG_ERROR(Compression, "Compression ended after %d of %d streams",
                 static_cast<int>(c->streamsDone), static_cast<int>(c->streamCount));
    ok = false;
  }
  uint64_t stored = 0;
  if (ok) {
    switch (c->type) {
      case kNoCompression:
        stored = c->bytesGiven;
        break;
      case kLorpa1Compression: {
        const uint8_t* coded;
        size_t codedSize;
        ok = FinishLorpaEncoder(c->lorpa, &coded, &codedSize);
        uint8_t headerArea[3 * kLorpaStreamHeaderSize];
        for (uint32_t i = 0; ok && i < c->streamCount; ++i) {
          PutWord(headerArea + 12 * i, c->headers[i].alphabetSize, c->byteReversed);
          PutWord(headerArea + 12 * i + 4, c->headers[i].increment, c->byteReversed);
          PutWord(headerArea + 12 * i + 8, c->headers[i].limit, c->byteReversed);
        }
        stored = kLorpaStreamHeaderSize * c->streamCount + uint64_t{codedSize};
        ok = ok && stored <= 0xFFFFFFFFu &&
             c->output.write(c->output.user, headerArea, kLorpaStreamHeaderSize * c->streamCount) &&
             (codedSize == 0 || c->output.write(c->output.user, coded, codedSize));
        break;
      }
      default:
        stored = c->fill;
        ok = c->fill == 0 || c->output.write(c->output.user, c->buffer, c->fill);
        break;
    }
  }
  if (ok) *outStoredSize = static_cast<uint32_t>(stored);
  FreeCompressor(c);
  return ok;
}

void AbortFileCompression(file_compressor* c) {
  if (c != nullptr) FreeCompressor(c);
}

namespace {

bool DecodeLorpaBlock(bool byteReversed, uint32_t storedSize, const uint8_t* stored,
                      const uint32_t* stops, int streamCount, void* out) {
  size_t headerBytes = kLorpaStreamHeaderSize * streamCount;
  if (storedSize < headerBytes) {
    KT_LOG_ERROR(Compression, "Lorpa1 block of %d bytes is too short for its headers",
                 static_cast<int>(storedSize));
    return false;
  }
  lorpa_stream_header headers[3];
  for (int i = 0; i < streamCount; ++i) {
    headers[i].alphabetSize = GetWord(stored + 12 * i, byteReversed);
    headers[i].increment = GetWord(stored + 12 * i + 4, byteReversed);
    headers[i].limit = GetWord(stored + 12 * i + 8, byteReversed);
  }
  return LorpaDecode(stored + headerBytes, storedSize - headerBytes, headers, stops, streamCount,
                     out);
}

bool CheckBuffers(uint32_t storedSize, const void* stored, uint32_t expandedSize,
                  const void* out) {
  if ((stored == nullptr && storedSize != 0) || (out == nullptr && expandedSize != 0)) {
    KT_PARAMETER_CHECK_FAILED(Compression);
    return false;
  }
  return true;
}

bool CopyStored(uint32_t storedSize, const void* stored, uint32_t expandedSize, void* out) {
  if (storedSize < expandedSize) {
    KT_LOG_ERROR(Compression, "Stored data of %d bytes is shorter than its expanded size %d",
                 static_cast<int>(storedSize), static_cast<int>(expandedSize));
    return false;
  }
  if (expandedSize != 0) std::memcpy(out, stored, expandedSize);
  return true;
}

bool ObsoleteLorpa0() {
  KT_LOG_ERROR(Compression, "Lorpa0 compressed data is obsolete and cannot be decoded");
  return false;
}

}  // namespace

bool DecompressData(uint32_t type, bool byteReversed, uint32_t storedSize, const void* stored,
                    uint32_t stop0, uint32_t stop1, uint32_t expandedSize, void* out) {
  if (!IsKnownType(type)) return Unrecognized(type);
  if (!CheckBuffers(storedSize, stored, expandedSize, out)) return false;
  const uint8_t* in = static_cast<const uint8_t*>(stored);
  uint8_t* dst = static_cast<uint8_t*>(out);
  if ((type == kLorpa1Compression || type == kTessikCompression) &&
      (stop0 > stop1 || stop1 > expandedSize)) {
    KT_LOG_ERROR(Compression, "Section part offsets %d and %d are not ordered within %d bytes",
                 static_cast<int>(stop0), static_cast<int>(stop1),
                 static_cast<int>(expandedSize));
    return false;
  }
  switch (type) {
    case kNoCompression:
      return CopyStored(storedSize, stored, expandedSize, out);
    case kLorpa0Compression:
      return ObsoleteLorpa0();
    case kLorpa1Compression: {
      const uint32_t stops[3] = {stop0, stop1, expandedSize};
      return DecodeLorpaBlock(byteReversed, storedSize, in, stops, 3, out);
    }
    case kTessikCompression: {
      const uint32_t starts[3] = {0, stop0, stop1};
      const uint32_t ends[3] = {stop0, stop1, expandedSize};
      size_t position = 0;
      for (int i = 0; i < 3; ++i) {
        size_t consumed = 0;
        if (!TessikDecompress(in + position, storedSize - position, dst + starts[i],
                              ends[i] - starts[i], &consumed)) {
          return false;
        }
        position += consumed;
      }
      return OnlyPaddingFollows(in + position, storedSize - position);
    }
    default:
      return DecompressDataChunk(type, byteReversed, storedSize, stored, expandedSize, out);
  }
}

bool DecompressDataChunk(uint32_t type, bool byteReversed, uint32_t storedSize,
                         const void* stored, uint32_t expandedSize, void* out) {
  if (!IsKnownType(type)) return Unrecognized(type);
  if (!CheckBuffers(storedSize, stored, expandedSize, out)) return false;
  const uint8_t* in = static_cast<const uint8_t*>(stored);
  switch (type) {
    case kNoCompression:
      return CopyStored(storedSize, stored, expandedSize, out);
    case kLorpa0Compression:
      return ObsoleteLorpa0();
    case kLorpa1Compression:
      return DecodeLorpaBlock(byteReversed, storedSize, in, &expandedSize, 1, out);
    default: {
      size_t consumed = 0;
      return TessikDecompress(in, storedSize, out, expandedSize, &consumed) &&
             OnlyPaddingFollows(in + consumed, storedSize - consumed);
    }
  }
}

bool DecompressFileArray(uint32_t type, bool byteReversed, uint32_t availableSize,
                         const void* stored, uint32_t expandedSize, void* out,
                         uint32_t* outStoredSize) {
  if (!IsKnownType(type)) return Unrecognized(type);
  if (!CheckBuffers(availableSize, stored, expandedSize, out)) return false;
  const uint8_t* in = static_cast<const uint8_t*>(stored);
  uint32_t used = expandedSize;
  if (type != kTessik2Compression) {
    if (!CopyStored(availableSize, stored, expandedSize, out)) return false;
  } else {
    if (availableSize < 4) {
      KT_LOG_ERROR(Compression, "Compressed array has no stored size");
      return false;
    }
    uint32_t streamSize = GetWord(in, byteReversed);
    if (streamSize > availableSize - 4) {
      KT_LOG_ERROR(Compression, "Compressed array of %d bytes does not fit the %d bytes left",
                   static_cast<int>(streamSize), static_cast<int>(availableSize - 4));
      return false;
    }
    if (!DecompressDataChunk(type, byteReversed, streamSize, in + 4, expandedSize, out)) {
      return false;
    }
    used = 4 + streamSize;
  }
  if (outStoredSize != nullptr) *outStoredSize = used;
  return true;
}

struct file_decompressor {
  uint32_t type = 0;
  uint8_t* out = nullptr;
  uint32_t expandedSize = 0;
  uint32_t written = 0;  // type 0
  bool failed = false;
  tessik_stream_decoder* tessik = nullptr;
};

file_decompressor* BeginFileDecompression(uint32_t type, uint32_t expandedSize, void* out) {
  if (type != kNoCompression && type != kTessik2Compression) {
    if (!IsKnownType(type)) {
      Unrecognized(type);
    } else {
      KT_LOG_ERROR(Compression, "Compression type %d cannot be decoded incrementally",
                   static_cast<int>(type));
    }
    return nullptr;
  }
  if (out == nullptr && expandedSize != 0) {
    KT_PARAMETER_CHECK_FAILED(Compression);
    return nullptr;
  }
  void* memory = KT_ALLOCATE(sizeof(file_decompressor));
  if (memory == nullptr) return nullptr;
  file_decompressor* d = new (memory) file_decompressor();
  d->type = type;
  d->out = static_cast<uint8_t*>(out);
  d->expandedSize = expandedSize;
  if (type == kTessik2Compression) {
    d->tessik = BeginTessikStreamDecoder(out, expandedSize);
    if (d->tessik == nullptr) {
      d->~file_decompressor();
      FreeBlock(d);
      return nullptr;
    }
  }
  return d;
}

bool DecompressFileChunk(file_decompressor* d, uint32_t size, const void* bytes) {
  if (d == nullptr || (bytes == nullptr && size != 0)) {
    KT_PARAMETER_CHECK_FAILED(Compression);
    return false;
  }
  if (d->failed) return false;
  if (d->type == kTessik2Compression) {
    d->failed = !FeedTessikStreamDecoder(d->tessik, bytes, size);
    return !d->failed;
  }
  if (size > d->expandedSize - d->written) {
    KT_LOG_ERROR(Compression, "Stored data is longer than its expanded size %d",
                 static_cast<int>(d->expandedSize));
    d->failed = true;
    return false;
  }
  if (size != 0) std::memcpy(d->out + d->written, bytes, size);
  d->written += size;
  return true;
}

bool EndFileDecompression(file_decompressor* d) {
  if (d == nullptr) return false;
  bool ok;
  if (d->type == kTessik2Compression) {
    ok = EndTessikStreamDecoder(d->tessik) && !d->failed;
  } else {
    ok = !d->failed && d->written == d->expandedSize;
    if (!d->failed && !ok) {
      KT_LOG_ERROR(Compression, "Stored data ended after %d of %d bytes",
                   static_cast<int>(d->written), static_cast<int>(d->expandedSize));
    }
  }
  d->~file_decompressor();
  FreeBlock(d);
  return ok;
}

}  // namespace ketrel
