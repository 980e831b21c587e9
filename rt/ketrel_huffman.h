#pragma once
// Length-limited canonical Huffman codes and the LSB-first bit writer and
// reader that the Tessik coder's blocks are made of.
//
// Code lengths travel as a nibble stream: a nibble 1..15 is a length, a
// nibble 0 followed by a nibble r stands for r + 1 unused symbols.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ketrel {

inline constexpr int kHuffmanMaxLength = 11;
inline constexpr size_t kHuffmanTableSize = size_t{1} << kHuffmanMaxLength;

// One entry of a decoding table indexed by the next kHuffmanMaxLength bits.
// length 0 marks bit patterns that no code starts with (a corrupt stream).
struct huffman_entry {
  uint8_t symbol;
  uint8_t length;
};

// Fills lengths[0..count) (count <= 256) with code lengths of at most
// kHuffmanMaxLength for the given frequencies; unused symbols get 0. A single
// used symbol gets length 1. Returns the number of used symbols.
int BuildHuffmanLengths(const uint32_t* frequencies, int count, uint8_t* lengths);

// Canonical codes for the lengths, bit-reversed for an LSB-first writer.
void BuildHuffmanCodes(const uint8_t* lengths, int count, uint16_t* codes);

// Writes the lengths as nibbles into out (capacity bytes); returns the bytes
// written, or 0 when they do not fit.
size_t WriteHuffmanLengths(const uint8_t* lengths, int count, uint8_t* out, size_t capacity);

// Reads `count` lengths; false on a malformed or truncated description or a
// length above kHuffmanMaxLength. `outConsumed` receives the bytes read.
bool ReadHuffmanLengths(const uint8_t* in, size_t size, int count, uint8_t* lengths,
                        size_t* outConsumed);

// Builds the decoding table (kHuffmanTableSize entries). False when the
// lengths over-subscribe the code space or no symbol is used.
bool BuildHuffmanDecodeTable(const uint8_t* lengths, int count, huffman_entry* table);

inline uint64_t LoadLittleEndian64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

// LSB-first bit writer over a caller's buffer. Overflow is sticky and
// checked once at the end.
struct bit_writer {
  uint8_t* out = nullptr;
  size_t capacity = 0;
  size_t position = 0;
  uint64_t accumulator = 0;
  unsigned bits = 0;
  bool overflow = false;

  // n <= 32.
  void Put(uint64_t value, unsigned n) {
    accumulator |= value << bits;
    bits += n;
    if (bits >= 32) {
      if (position + 4 <= capacity) {
        uint32_t word = static_cast<uint32_t>(accumulator);
        for (int i = 0; i < 4; ++i) out[position + i] = static_cast<uint8_t>(word >> (8 * i));
        position += 4;
      } else {
        overflow = true;
      }
      accumulator >>= 32;
      bits -= 32;
    }
  }
  // Writes the last partial byte; returns false after an overflow.
  bool Finish() {
    while (bits > 0) {
      if (position >= capacity) return false;
      out[position++] = static_cast<uint8_t>(accumulator);
      accumulator >>= 8;
      bits = bits > 8 ? bits - 8 : 0;
    }
    return !overflow;
  }
};

// LSB-first bit reader. Bits past the end of the data read as zero; the
// caller checks Overran() once its counted loop is done, so a truncated or
// corrupt stream can never make it read outside [data, data + size).
struct bit_reader {
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t position = 0;  // bytes taken into the accumulator, may pass size
  uint64_t accumulator = 0;
  unsigned bits = 0;

  void Init(const uint8_t* d, size_t n) {
    data = d;
    size = n;
    position = 0;
    accumulator = 0;
    bits = 0;
    Refill();
  }
  // Afterwards at least 56 bits are available.
  void Refill() {
    if (position + 8 <= size) {
      accumulator |= LoadLittleEndian64(data + position) << bits;
      size_t taken = (63 - bits) >> 3;
      position += taken;
      bits += static_cast<unsigned>(taken * 8);
    } else {
      while (bits <= 55) {
        uint64_t byte = position < size ? data[position] : 0;
        accumulator |= byte << bits;
        ++position;
        bits += 8;
      }
    }
  }
  uint32_t Peek(unsigned n) const {
    return static_cast<uint32_t>(accumulator & ((uint64_t{1} << n) - 1));
  }
  void Skip(unsigned n) {
    accumulator >>= n;
    bits -= n;
  }
  // n <= 32, and at most the bits available since the last refill.
  uint32_t Read(unsigned n) {
    uint32_t v = Peek(n);
    Skip(n);
    return v;
  }
  size_t ConsumedBits() const { return position * 8 - bits; }
  bool Overran() const { return ConsumedBits() > size * 8; }
  // Bytes used, counting a last partial byte.
  size_t ConsumedBytes() const { return (ConsumedBits() + 7) / 8; }
};

}  // namespace ketrel
