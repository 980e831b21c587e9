// Tessik literal decoding: four Huffman-coded streams, one per quarter of a
// block's literals, decoded side by side.

#include <algorithm>
#include <bit>

#include "rt/ketrel_tessik_block.h"

namespace ketrel::tessik {

namespace {

// The first symbols of the four streams while each has 8 bytes left to
// load from. The streams lie back to back, so each is one bit position from
// the first one's start: a symbol costs a look-up and a shift, 5 symbols
// (55 bits) fit in one load, and the rounds that stay inside every
// stream are counted before they run, not checked one by one. Returns the
// symbols decoded per stream; the readers continue after them.
template <bool kCheck>
size_t DecodeQuartersFast(const huffman_entry* table, bit_reader* readers, uint8_t* const* dst,
                          size_t common, unsigned* bad) {
  constexpr uint64_t kMask = kHuffmanTableSize - 1;
  constexpr uint64_t kRoundBits = 5 * kHuffmanMaxLength;
  // The mark takes the top bit of a load: 56 bits or more are left.
  constexpr uint64_t kMark = uint64_t{1} << 63;
  static_assert(kRoundBits <= 56);
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
      // A 1 above the loaded bits marks where they end: after the round,
      // the zeros above it say how many bits the round used, so no stream
      // adds up its code lengths one by one.
      uint64_t b0 = (LoadLittleEndian64(base + (p0 >> 3)) | kMark) >> (p0 & 7);
      uint64_t b1 = (LoadLittleEndian64(base + (p1 >> 3)) | kMark) >> (p1 & 7);
      uint64_t b2 = (LoadLittleEndian64(base + (p2 >> 3)) | kMark) >> (p2 & 7);
      uint64_t b3 = (LoadLittleEndian64(base + (p3 >> 3)) | kMark) >> (p3 & 7);
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
        d0[j] = e0.symbol;
        d1[j] = e1.symbol;
        d2[j] = e2.symbol;
        d3[j] = e3.symbol;
        if constexpr (kCheck) {
          invalid |= (e0.length == 0) | (e1.length == 0) | (e2.length == 0) | (e3.length == 0);
        }
      }
      p0 = (p0 & ~uint64_t{7}) + static_cast<unsigned>(std::countl_zero(b0));
      p1 = (p1 & ~uint64_t{7}) + static_cast<unsigned>(std::countl_zero(b1));
      p2 = (p2 & ~uint64_t{7}) + static_cast<unsigned>(std::countl_zero(b2));
      p3 = (p3 & ~uint64_t{7}) + static_cast<unsigned>(std::countl_zero(b3));
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

}  // namespace

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

}  // namespace ketrel::tessik
