#pragma once
// Internal to the Tessik coder: the pieces of its block format that the
// encoder (ketrel_tessik.cpp) and the decoder (ketrel_tessik_decode.cpp)
// must agree on.
//
// A compressed block body:
//   varint literal count, varint sequence count
//   literal mode byte: 0 raw bytes, 1 Huffman: code lengths, four varint
//     stream sizes, four bit streams coding the four quarters of the
//     literals (LiteralStreamCount each)
//   when there are sequences: token code lengths (256 symbols), offset code
//     lengths (kTessikOffsetCodes symbols), then the sequence bit stream to
//     the end of the body, per sequence: token (literal length code in the
//     low nibble, match length code in the high one), offset code, literal
//     length extra bits, match length extra bits, offset extra bits.
// Offset code 0 repeats the last offset, 1 the one before (and swaps them),
// 2 + k an offset in [2^k, 2^(k+1)) with k extra bits.

#include <bit>
#include <cstddef>
#include <cstdint>

namespace ketrel::tessik {

inline constexpr uint8_t kFormatByte = 0x54;
enum BlockKind : uint32_t { kRawBlock = 0, kRepeatBlock = 1, kCompressedBlock = 2 };
inline constexpr uint32_t kMinMatch = 4;
inline constexpr int kOffsetCodes = 2 + 32;
inline constexpr uint32_t kFirstRep0 = 1;
inline constexpr uint32_t kFirstRep1 = 4;
// Bits of a length beyond 1023 (code 15).
inline constexpr unsigned kLongLengthBits = 20;
inline constexpr uint32_t kMaxSequences = 131072 / kMinMatch + 1;

// Literals in Huffman stream k (0..3) of a block with `count` literals.
inline size_t LiteralStreamCount(size_t count, int k) {
  return count / 4 + (static_cast<size_t>(k) < count % 4 ? 1 : 0);
}

inline unsigned FloorLog2(uint32_t v) { return 31u - static_cast<unsigned>(std::countl_zero(v)); }

// Length codes for literal lengths and match lengths (minus kMinMatch):
// 0..7 themselves, 8..14 the ranges [2^(c-5), 2^(c-4)), 15 everything from
// 1024 with kLongLengthBits extra bits.
inline unsigned LengthCode(uint32_t v) {
  if (v < 8) return v;
  if (v < 1024) return 5 + FloorLog2(v);
  return 15;
}
constexpr unsigned LengthExtraBits(unsigned code) {
  if (code < 8) return 0;
  if (code < 15) return code - 5;
  return kLongLengthBits;
}
constexpr uint32_t LengthBase(unsigned code) {
  if (code < 8) return code;
  if (code < 15) return 1u << (code - 5);
  return 1024;
}

inline size_t PutVarint(uint8_t* out, uint32_t v) {
  size_t n = 0;
  while (v >= 0x80) {
    out[n++] = static_cast<uint8_t>(v | 0x80);
    v >>= 7;
  }
  out[n++] = static_cast<uint8_t>(v);
  return n;
}

// False on truncation or more than 5 bytes.
inline bool GetVarint(const uint8_t* in, size_t size, size_t* position, uint32_t* value) {
  uint64_t v = 0;
  for (unsigned shift = 0; shift < 35; shift += 7) {
    if (*position >= size) return false;
    uint8_t byte = in[(*position)++];
    v |= uint64_t{byte & 0x7Fu} << shift;
    if ((byte & 0x80) == 0) {
      if (v > 0xFFFFFFFFu) return false;
      *value = static_cast<uint32_t>(v);
      return true;
    }
  }
  return false;
}

}  // namespace ketrel::tessik
