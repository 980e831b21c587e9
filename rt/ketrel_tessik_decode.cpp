// Tessik decoder, one-shot and incremental. Every count, length and offset
// read from the stream is checked before it is used, so no input can make it
// write outside the output or read outside the input.

#include <algorithm>
#include <cstring>

#include "rt/ketrel_huffman.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_tessik.h"
#include "rt/ketrel_tessik_format.h"

namespace ketrel {

using namespace tessik;

namespace {

bool Corrupt(const char* reason) {
  KT_LOG_ERROR(Compression, "Tessik stream is corrupt (%s)", reason);
  return false;
}

// A sequence's token and, when the same bits also hold all of its offset
// code, that code: one look-up where there would be two in a row.
struct sequence_entry {
  uint8_t token;
  uint8_t tokenLength;  // 0: no token code starts with these bits
  uint8_t offsetCode;
  uint8_t bothLength;  // 0: the offset code needs a look-up of its own
};

// The state carried from block to block of one stream.
struct block_decoder {
  uint32_t rep0 = kFirstRep0;
  uint32_t rep1 = kFirstRep1;
  huffman_entry literalTable[kHuffmanTableSize];
  huffman_entry tokenTable[kHuffmanTableSize];
  huffman_entry offsetTable[kHuffmanTableSize];
  sequence_entry sequenceTable[kHuffmanTableSize];
  // 16 spare bytes let literal copies move 16 bytes at a time.
  uint8_t literals[kTessikBlockSize + 16];
};

block_decoder* NewBlockDecoder() {
  void* memory = KT_ALLOCATE(sizeof(block_decoder));
  if (memory == nullptr) return nullptr;
  return new (memory) block_decoder();
}

void FreeBlockDecoder(block_decoder* d) {
  if (d == nullptr) return;
  d->~block_decoder();
  FreeBlock(d);
}

inline void Copy16(uint8_t* dst, const uint8_t* src) { std::memcpy(dst, src, 16); }

// Base and extra bits of both lengths of each sequence token.
struct length_codes {
  uint32_t literalBase;
  uint32_t matchBase;  // kMinMatch included
  uint8_t literalBits;
  uint8_t matchBits;
  uint8_t extraBits;  // both
};

struct length_code_table {
  length_codes entries[256];
  constexpr length_code_table() : entries() {
    for (unsigned t = 0; t < 256; ++t) {
      entries[t] = {LengthBase(t & 15), LengthBase(t >> 4) + kMinMatch,
                    static_cast<uint8_t>(LengthExtraBits(t & 15)),
                    static_cast<uint8_t>(LengthExtraBits(t >> 4)),
                    static_cast<uint8_t>(LengthExtraBits(t & 15) + LengthExtraBits(t >> 4))};
    }
  }
  const length_codes& operator[](unsigned token) const { return entries[token]; }
};
constexpr length_code_table kLengthCodes;

// Copies a match of `length` bytes from `offset` back. `limit` is the end of
// the output buffer: 16-byte steps are used only where they stay inside it.
inline void CopyMatch(uint8_t* op, uint32_t offset, size_t length, const uint8_t* limit) {
  const uint8_t* src = op - offset;
  if (length + 32 <= static_cast<size_t>(limit - op)) {
    if (offset >= 16) {
      // Most matches are shorter than 32 bytes: two fixed copies and a loop
      // that is rarely entered beat a loop whose length keeps changing.
      Copy16(op, src);
      Copy16(op + 16, src + 16);
      for (size_t i = 32; i < length; i += 32) {
        Copy16(op + i, src + i);
        Copy16(op + i + 16, src + i + 16);
      }
      return;
    }
    if (offset >= 8) {
      for (size_t i = 0; i < length; i += 8) std::memcpy(op + i, src + i, 8);
      return;
    }
  }
  if (offset == 1) {
    std::memset(op, src[0], length);
    return;
  }
  for (size_t i = 0; i < length; ++i) op[i] = src[i];
}

// The first symbols of the four streams while each has 8 bytes left to
// load from. The streams lie back to back, so each is one bit position from
// the first one's start: a symbol costs a look-up, a shift and an add, 5
// symbols (55 bits) fit in one load, and the rounds that stay inside every
// stream are counted before they run, not checked one by one. Returns the
// symbols decoded per stream; the readers continue after them.
template <bool kCheck>
size_t DecodeQuartersFast(const huffman_entry* table, bit_reader* readers, uint8_t* const* dst,
                          size_t common, unsigned* bad) {
  constexpr uint64_t kMask = kHuffmanTableSize - 1;
  constexpr uint64_t kRoundBits = 5 * kHuffmanMaxLength;
  const uint8_t* const base = readers[0].data;
  uint64_t pos[4];
  uint64_t last[4];  // the last bit position a load may start at
  for (int k = 0; k < 4; ++k) {
    if (readers[k].size < 8) return 0;
    const uint64_t start = uint64_t(readers[k].data - base);
    pos[k] = start * 8 + readers[k].ConsumedBits();
    last[k] = (start + readers[k].size - 8) * 8;
  }
  uint8_t* d0 = dst[0];
  uint8_t* d1 = dst[1];
  uint8_t* d2 = dst[2];
  uint8_t* d3 = dst[3];
  unsigned invalid = 0;
  size_t i = 0;
  for (;;) {
    uint64_t rounds = (common - i) / 5;
    for (int k = 0; k < 4; ++k) {
      rounds = pos[k] > last[k] ? 0 : std::min(rounds, (last[k] - pos[k]) / kRoundBits + 1);
    }
    if (rounds == 0) break;
    i += 5 * rounds;
    uint64_t p0 = pos[0], p1 = pos[1], p2 = pos[2], p3 = pos[3];
    for (; rounds > 0; --rounds) {
      uint64_t b0 = LoadLittleEndian64(base + (p0 >> 3)) >> (p0 & 7);
      uint64_t b1 = LoadLittleEndian64(base + (p1 >> 3)) >> (p1 & 7);
      uint64_t b2 = LoadLittleEndian64(base + (p2 >> 3)) >> (p2 & 7);
      uint64_t b3 = LoadLittleEndian64(base + (p3 >> 3)) >> (p3 & 7);
#pragma GCC unroll 5
      for (int j = 0; j < 5; ++j) {
        const huffman_entry e0 = table[b0 & kMask];
        const huffman_entry e1 = table[b1 & kMask];
        const huffman_entry e2 = table[b2 & kMask];
        const huffman_entry e3 = table[b3 & kMask];
        b0 >>= e0.length;
        b1 >>= e1.length;
        b2 >>= e2.length;
        b3 >>= e3.length;
        p0 += e0.length;
        p1 += e1.length;
        p2 += e2.length;
        p3 += e3.length;
        d0[j] = e0.symbol;
        d1[j] = e1.symbol;
        d2[j] = e2.symbol;
        d3[j] = e3.symbol;
        if constexpr (kCheck) {
          invalid |= (e0.length == 0) | (e1.length == 0) | (e2.length == 0) | (e3.length == 0);
        }
      }
      d0 += 5;
      d1 += 5;
      d2 += 5;
      d3 += 5;
    }
    pos[0] = p0;
    pos[1] = p1;
    pos[2] = p2;
    pos[3] = p3;
  }
  for (int k = 0; k < 4; ++k) {
    bit_reader& r = readers[k];
    r.position = size_t(pos[k] / 8) - size_t(r.data - base);
    r.accumulator = 0;
    r.bits = 0;
    r.Refill();
    r.Skip(unsigned(pos[k] % 8));
    r.Refill();  // the slower rounds after this one count on 56 bits
  }
  *bad |= invalid;
  return i;
}

// Decodes the four quarters of the literals; false on a pattern no code
// starts with (only looked for when kCheck).
template <bool kCheck>
bool DecodeQuarters(const huffman_entry* table, bit_reader* readers, uint8_t* const* dst,
                    const size_t* counts, size_t literalCount) {
  unsigned bad = 0;  // checked once at the end
  size_t common = literalCount / 4;
  size_t i = DecodeQuartersFast<kCheck>(table, readers, dst, common, &bad);
  // Five symbols per stream per refill: 5 * 11 bits fit in the 56 available.
  for (; i + 5 <= common; i += 5) {
    for (size_t j = i; j < i + 5; ++j) {
      for (int k = 0; k < 4; ++k) {
        huffman_entry e = table[readers[k].Peek(kHuffmanMaxLength)];
        readers[k].Skip(e.length);
        dst[k][j] = e.symbol;
        if constexpr (kCheck) bad |= e.length == 0;
      }
    }
    for (int k = 0; k < 4; ++k) readers[k].Refill();
  }
  for (int k = 0; k < 4; ++k) {
    for (size_t j = i; j < counts[k]; ++j) {
      huffman_entry e = table[readers[k].Peek(kHuffmanMaxLength)];
      readers[k].Skip(e.length);
      dst[k][j] = e.symbol;
      if constexpr (kCheck) bad |= e.length == 0;
      readers[k].Refill();
    }
  }
  return bad == 0;
}

// Decodes the four Huffman streams of a block's literals into `target`,
// with the code of the given lengths (in d.literalTable).
bool DecodeLiteralStreams(block_decoder& d, const uint8_t* lengths, const uint8_t* body,
                          size_t bodySize, size_t* p, size_t literalCount, uint8_t* target) {
  bit_reader readers[4];
  size_t sizes[4];
  uint8_t* dst[4];
  size_t counts[4];
  size_t start = 0;
  for (int k = 0; k < 4; ++k) {
    uint32_t size;
    if (!GetVarint(body, bodySize, p, &size)) return Corrupt("literal bits");
    sizes[k] = size;
    counts[k] = LiteralStreamCount(literalCount, k);
    dst[k] = target + start;
    start += counts[k];
  }
  for (int k = 0; k < 4; ++k) {
    if (sizes[k] > bodySize - *p) return Corrupt("literal bits");
    readers[k].Init(body + *p, sizes[k]);
    *p += sizes[k];
  }
  // A complete code has no pattern that starts no code: its loop need not
  // look for one.
  uint32_t kraft = 0;
  for (int s = 0; s < 256; ++s) {
    if (lengths[s] != 0) kraft += 1u << (kHuffmanMaxLength - lengths[s]);
  }
  bool bad = kraft == (1u << kHuffmanMaxLength)
                 ? !DecodeQuarters<false>(d.literalTable, readers, dst, counts, literalCount)
                 : !DecodeQuarters<true>(d.literalTable, readers, dst, counts, literalCount);
  for (int k = 0; k < 4; ++k) {
    if (readers[k].Overran() || readers[k].ConsumedBytes() != sizes[k]) bad = true;
  }
  if (bad) return Corrupt("literal code");
  return true;
}

// Combines the block's token and offset tables. A token of length L leaves
// kHuffmanMaxLength - L known bits; an offset code no longer than that is
// read from the same look-up (the offset table repeats each code's entry
// for every value of the bits after it).
void BuildSequenceTable(block_decoder& d) {
  for (uint32_t i = 0; i < kHuffmanTableSize; ++i) {
    const huffman_entry token = d.tokenTable[i];
    sequence_entry entry{token.symbol, token.length, 0, 0};
    if (token.length != 0) {
      const huffman_entry offset = d.offsetTable[i >> token.length];
      if (offset.length != 0 && offset.length <= kHuffmanMaxLength - token.length) {
        entry.offsetCode = offset.symbol;
        entry.bothLength = static_cast<uint8_t>(token.length + offset.length);
      }
    }
    d.sequenceTable[i] = entry;
  }
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
  const uint8_t* literalLimit;  // readable memory behind the literals
  if (mode == 0) {
    if (literalCount > bodySize - p) return Corrupt("literals truncated");
    literals = body + p;
    literalLimit = body + bodySize;
    p += literalCount;
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
    literalLimit = direct ? target + literalCount : d.literals + sizeof(d.literals);
  } else {
    return Corrupt("literal mode");
  }

  uint8_t* op = out + pos;
  uint8_t* const blockEnd = op + blockLength;
  uint8_t* const outEnd = out + outSize;
  const uint8_t* lit = literals;
  const uint8_t* const litEnd = literals + literalCount;
  if (sequenceCount > 0) {
    uint8_t tokenLengths[256];
    uint8_t offsetLengths[kOffsetCodes];
    size_t used;
    if (!ReadHuffmanLengths(body + p, bodySize - p, 256, tokenLengths, &used) ||
        !BuildHuffmanDecodeTable(tokenLengths, 256, d.tokenTable)) {
      return Corrupt("sequence code");
    }
    p += used;
    if (!ReadHuffmanLengths(body + p, bodySize - p, kOffsetCodes, offsetLengths, &used) ||
        !BuildHuffmanDecodeTable(offsetLengths, kOffsetCodes, d.offsetTable)) {
      return Corrupt("offset code");
    }
    p += used;
    BuildSequenceTable(d);
    bit_reader reader;
    reader.Init(body + p, bodySize - p);
    uint32_t rep0 = d.rep0, rep1 = d.rep1;
    for (uint32_t i = 0; i < sequenceCount; ++i) {
      const sequence_entry both = d.sequenceTable[reader.Peek(kHuffmanMaxLength)];
      unsigned code = both.offsetCode;
      if (both.bothLength != 0) {
        reader.Skip(both.bothLength);
      } else {
        if (both.tokenLength == 0) return Corrupt("sequence code");
        reader.Skip(both.tokenLength);
        const huffman_entry offsetEntry = d.offsetTable[reader.Peek(kHuffmanMaxLength)];
        reader.Skip(offsetEntry.length);
        if (offsetEntry.length == 0) return Corrupt("sequence code");
        code = offsetEntry.symbol;
      }
      const length_codes& lengths = kLengthCodes[both.token];
      reader.Refill();
      // Both extra fields in one read (at most 40 bits of the 56).
      uint64_t extra = reader.accumulator & ((uint64_t{1} << lengths.extraBits) - 1);
      reader.Skip(lengths.extraBits);
      uint32_t literalLength =
          lengths.literalBase + static_cast<uint32_t>(extra & ((1u << lengths.literalBits) - 1));
      uint32_t matchLength =
          lengths.matchBase + static_cast<uint32_t>(extra >> lengths.literalBits);
      reader.Refill();
      uint32_t offset;
      if (code == 0) {
        offset = rep0;
      } else if (code == 1) {
        offset = rep1;
        rep1 = rep0;
        rep0 = offset;
      } else {
        unsigned bits = code - 2;
        offset = (1u << bits) + reader.Read(bits);
        rep1 = rep0;
        rep0 = offset;
      }
      if (literalLength > static_cast<size_t>(litEnd - lit) ||
          literalLength > static_cast<size_t>(blockEnd - op) ||
          matchLength > static_cast<size_t>(blockEnd - op) - literalLength) {
        return Corrupt("sequence length");
      }
      if (literalLength <= 32 && literalLimit - lit >= 32 && outEnd - op >= 32) {
        Copy16(op, lit);
        Copy16(op + 16, lit + 16);
      } else {
        std::memcpy(op, lit, literalLength);
      }
      op += literalLength;
      lit += literalLength;
      if (offset == 0 || offset > static_cast<size_t>(op - out)) return Corrupt("offset");
      CopyMatch(op, offset, matchLength, outEnd);
      op += matchLength;
    }
    if (reader.Overran() || reader.ConsumedBytes() != bodySize - p) {
      return Corrupt("sequence bits");
    }
    d.rep0 = rep0;
    d.rep1 = rep1;
  } else if (p != bodySize) {
    return Corrupt("block size");
  }
  size_t rest = static_cast<size_t>(litEnd - lit);
  if (rest != static_cast<size_t>(blockEnd - op)) return Corrupt("literal count");
  if (op != lit) std::memcpy(op, lit, rest);
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
