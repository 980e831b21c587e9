// Tessik decoder, one-shot and incremental: stream and block headers here,
// literals in ketrel_tessik_literals.cpp, sequences in
// ketrel_tessik_sequences.cpp. Every count, length and offset read from the
// stream is checked before it is used, so no input can make it write outside
// the output or read outside the input.

#include <algorithm>
#include <cstring>

#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_tessik_block.h"

namespace ketrel {

namespace tessik {

bool Corrupt(const char* reason) {
  KT_LOG_ERROR(Compression, "Tessik stream is corrupt (%s)", reason);
  return false;
}

}  // namespace tessik

using namespace tessik;

namespace {

block_decoder* NewBlockDecoder() {
  void* memory = KT_ALLOCATE(sizeof(block_decoder));
  if (memory == nullptr) return nullptr;
  // Not value-initialised: every table is built before it is read, and
  // clearing ~160 KB would cost a small stream more than decoding it.
  return new (memory) block_decoder;
}

void FreeBlockDecoder(block_decoder* d) {
  if (d == nullptr) return;
  d->~block_decoder();
  FreeBlock(d);
}

// Decodes a compressed block body into out[pos, pos + blockLength). `out`
// is the stream's output (outSize bytes); matches may reach back to its start.
bool DecodeCompressedBlock(block_decoder& d, const uint8_t* body, size_t bodySize, uint8_t* out,
                           size_t outSize, size_t pos, size_t blockLength) {
  size_t p = 0;
  uint32_t literalCount, sequenceCount;
  if (!GetVarint(body, bodySize, &p, &literalCount) ||
      !GetVarint(body, bodySize, &p, &sequenceCount)) {
    return Corrupt("block counts");
  }
  if (literalCount > blockLength || sequenceCount > blockLength / kMinMatch) {
    return Corrupt("block counts");
  }
  if (p >= bodySize) return Corrupt("literal mode");
  uint8_t mode = body[p++];
  const uint8_t* literals;
  if (mode == 0) {
    if (literalCount > bodySize - p) return Corrupt("literals truncated");
    literals = body + p;
    p += literalCount;
    // Sequences copy literals 16 bytes at a time: they need the slack of
    // the literal buffer behind them.
    if (sequenceCount > 0) {
      std::memcpy(d.literals, literals, literalCount);
      literals = d.literals;
    }
  } else if (mode == 1) {
    uint8_t lengths[256];
    size_t used;
    if (!ReadHuffmanLengths(body + p, bodySize - p, 256, lengths, &used) ||
        !BuildHuffmanDecodeTable(lengths, 256, d.literalTable)) {
      return Corrupt("literal code");
    }
    p += used;
    // A block of literals alone is decoded where it belongs.
    const bool direct = sequenceCount == 0 && literalCount == blockLength;
    uint8_t* target = direct ? out + pos : d.literals;
    if (!DecodeLiteralStreams(d, lengths, body, bodySize, &p, literalCount, target)) return false;
    literals = target;
  } else {
    return Corrupt("literal mode");
  }

  sequence_cursor c{out, outSize, pos, pos + blockLength, literals, 0, literalCount};
  if (sequenceCount > 0) {
    if (!DecodeSequences(d, body, bodySize, p, sequenceCount, c)) return false;
  } else if (p != bodySize) {
    return Corrupt("block size");
  }
  const size_t rest = literalCount - c.lit;
  if (rest != c.blockEnd - c.op) return Corrupt("literal count");
  if (out + c.op != literals + c.lit) std::memcpy(out + c.op, literals + c.lit, rest);
  return true;
}

// Checks a block header against the expanded bytes still to come.
bool ReadBlockHeader(const uint8_t* bytes, size_t remaining, uint32_t* kind, size_t* bodySize,
                     size_t* blockLength) {
  uint32_t header = bytes[0] | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16);
  *kind = header & 3;
  *bodySize = header >> 2;
  *blockLength = std::min(remaining, kTessikBlockSize);
  switch (*kind) {
    case kRawBlock:
      if (*bodySize != *blockLength) return Corrupt("raw block size");
      return true;
    case kRepeatBlock:
      if (*bodySize != 1) return Corrupt("repeat block size");
      return true;
    case kCompressedBlock:
      if (*bodySize == 0 || *bodySize > *blockLength) return Corrupt("compressed block size");
      return true;
    default:
      return Corrupt("block kind");
  }
}

// `d` may be null for raw and repeat blocks.
bool DecodeBlock(block_decoder* d, uint32_t kind, const uint8_t* body, size_t bodySize,
                 uint8_t* out, size_t outSize, size_t pos, size_t blockLength) {
  switch (kind) {
    case kRawBlock:
      std::memcpy(out + pos, body, blockLength);
      return true;
    case kRepeatBlock:
      std::memset(out + pos, body[0], blockLength);
      return true;
    default:
      return DecodeCompressedBlock(*d, body, bodySize, out, outSize, pos, blockLength);
  }
}

}  // namespace

bool TessikReadExpandedSize(const void* in, size_t size, uint32_t* outExpandedSize) {
  const uint8_t* bytes = static_cast<const uint8_t*>(in);
  if (in == nullptr || size < kTessikStreamHeaderSize || bytes[0] != kFormatByte) return false;
  *outExpandedSize = bytes[1] | (uint32_t{bytes[2]} << 8) | (uint32_t{bytes[3]} << 16) |
                     (uint32_t{bytes[4]} << 24);
  return true;
}

bool TessikDecompress(const void* in, size_t size, void* out, size_t expandedSize,
                      size_t* outConsumed) {
  uint32_t announced;
  if (!TessikReadExpandedSize(in, size, &announced)) return Corrupt("stream header");
  if (announced != expandedSize) return Corrupt("expanded size");
  if (expandedSize != 0 && out == nullptr) return Corrupt("no output");
  const uint8_t* bytes = static_cast<const uint8_t*>(in);
  uint8_t* dst = static_cast<uint8_t*>(out);
  size_t p = kTessikStreamHeaderSize;
  block_decoder* d = nullptr;
  size_t pos = 0;
  bool ok = true;
  while (ok && pos < expandedSize) {
    uint32_t kind;
    size_t bodySize, blockLength;
    if (size - p < kTessikBlockHeaderSize) {
      ok = Corrupt("truncated");
      break;
    }
    if (!ReadBlockHeader(bytes + p, expandedSize - pos, &kind, &bodySize, &blockLength)) {
      ok = false;
      break;
    }
    p += kTessikBlockHeaderSize;
    if (size - p < bodySize) {
      ok = Corrupt("truncated");
      break;
    }
    if (kind == kCompressedBlock && d == nullptr) {
      d = NewBlockDecoder();
      if (d == nullptr) {
        ok = false;
        break;
      }
    }
    ok = DecodeBlock(d, kind, bytes + p, bodySize, dst, expandedSize, pos, blockLength);
    p += bodySize;
    pos += blockLength;
  }
  FreeBlockDecoder(d);
  if (ok && outConsumed != nullptr) *outConsumed = p;
  return ok;
}

struct tessik_stream_decoder {
  uint8_t* out = nullptr;
  size_t expandedSize = 0;
  size_t position = 0;  // expanded bytes produced
  uint8_t header[kTessikStreamHeaderSize] = {};
  size_t headerFill = 0;
  uint8_t blockHeader[kTessikBlockHeaderSize] = {};
  size_t blockHeaderFill = 0;
  bool inBody = false;
  uint32_t kind = 0;
  size_t bodySize = 0;
  size_t blockLength = 0;
  size_t bodyFill = 0;
  uint8_t* body = nullptr;  // kTessikBlockSize bytes, made when a body is split
  block_decoder* blocks = nullptr;
  bool failed = false;
};

tessik_stream_decoder* BeginTessikStreamDecoder(void* out, size_t expandedSize) {
  if (out == nullptr && expandedSize != 0) {
    KT_PARAMETER_CHECK_FAILED(Compression);
    return nullptr;
  }
  void* memory = KT_ALLOCATE(sizeof(tessik_stream_decoder));
  if (memory == nullptr) return nullptr;
  tessik_stream_decoder* decoder = new (memory) tessik_stream_decoder();
  decoder->out = static_cast<uint8_t*>(out);
  decoder->expandedSize = expandedSize;
  return decoder;
}

namespace {

bool FinishBlock(tessik_stream_decoder* s, const uint8_t* body) {
  if (s->kind == kCompressedBlock && s->blocks == nullptr) {
    s->blocks = NewBlockDecoder();
    if (s->blocks == nullptr) return false;
  }
  if (!DecodeBlock(s->blocks, s->kind, body, s->bodySize, s->out, s->expandedSize, s->position,
                   s->blockLength)) {
    return false;
  }
  s->position += s->blockLength;
  s->inBody = false;
  s->bodyFill = 0;
  return true;
}

bool Feed(tessik_stream_decoder* s, const uint8_t* bytes, size_t size) {
  while (size > 0) {
    if (s->headerFill < kTessikStreamHeaderSize) {
      size_t take = std::min(size, kTessikStreamHeaderSize - s->headerFill);
      std::memcpy(s->header + s->headerFill, bytes, take);
      s->headerFill += take;
      bytes += take;
      size -= take;
      if (s->headerFill == kTessikStreamHeaderSize) {
        uint32_t announced;
        if (!TessikReadExpandedSize(s->header, kTessikStreamHeaderSize, &announced)) {
          return Corrupt("stream header");
        }
        if (announced != s->expandedSize) return Corrupt("expanded size");
      }
      continue;
    }
    if (s->position == s->expandedSize) {
      // Only zero padding may follow a finished stream.
      for (size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) return Corrupt("data after the end of the stream");
      }
      return true;
    }
    if (!s->inBody) {
      size_t take = std::min(size, kTessikBlockHeaderSize - s->blockHeaderFill);
      std::memcpy(s->blockHeader + s->blockHeaderFill, bytes, take);
      s->blockHeaderFill += take;
      bytes += take;
      size -= take;
      if (s->blockHeaderFill == kTessikBlockHeaderSize) {
        if (!ReadBlockHeader(s->blockHeader, s->expandedSize - s->position, &s->kind, &s->bodySize,
                             &s->blockLength)) {
          return false;
        }
        s->blockHeaderFill = 0;
        s->inBody = true;
      }
      continue;
    }
    if (s->bodyFill == 0 && size >= s->bodySize) {
      // The whole body is in this piece: decode it in place.
      const uint8_t* body = bytes;
      bytes += s->bodySize;
      size -= s->bodySize;
      if (!FinishBlock(s, body)) return false;
      continue;
    }
    if (s->body == nullptr) {
      s->body = static_cast<uint8_t*>(KT_ALLOCATE(kTessikBlockSize));
      if (s->body == nullptr) return false;
    }
    size_t take = std::min(size, s->bodySize - s->bodyFill);
    std::memcpy(s->body + s->bodyFill, bytes, take);
    s->bodyFill += take;
    bytes += take;
    size -= take;
    if (s->bodyFill == s->bodySize && !FinishBlock(s, s->body)) return false;
  }
  return true;
}

}  // namespace

bool FeedTessikStreamDecoder(tessik_stream_decoder* decoder, const void* bytes, size_t size) {
  if (decoder == nullptr || (bytes == nullptr && size != 0)) {
    KT_PARAMETER_CHECK_FAILED(Compression);
    return false;
  }
  if (decoder->failed) return false;
  if (!Feed(decoder, static_cast<const uint8_t*>(bytes), size)) decoder->failed = true;
  return !decoder->failed;
}

bool EndTessikStreamDecoder(tessik_stream_decoder* decoder) {
  if (decoder == nullptr) return false;
  bool ok = !decoder->failed && decoder->headerFill == kTessikStreamHeaderSize &&
            decoder->position == decoder->expandedSize && !decoder->inBody &&
            decoder->blockHeaderFill == 0;
  if (!decoder->failed && !ok) Corrupt("the stream ended early");
  FreeBlockDecoder(decoder->blocks);
  FreeBlock(decoder->body);
  decoder->~tessik_stream_decoder();
  FreeBlock(decoder);
  return ok;
}

}  // namespace ketrel
