#include "rt/ketrel_crc.h"

#include <array>
#include <cstring>

namespace ketrel {
namespace {

// Eight tables so that eight bytes are folded in per step ("slicing by 8").
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr CrcTables MakeTables() {
  CrcTables tables{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    tables[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i) {
    for (int t = 1; t < 8; ++t) {
      uint32_t previous = tables[t - 1][i];
      tables[t][i] = (previous >> 8) ^ tables[0][previous & 0xFF];
    }
  }
  return tables;
}

constexpr CrcTables kTables = MakeTables();

}  // namespace

uint32_t UpdateCrc32(uint32_t state, const void* bytes, size_t size) {
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  while (size >= 8) {
    // Bytes are combined in file order, independent of the machine's order.
    uint32_t low =
        uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    state ^= low;
    state = kTables[7][state & 0xFF] ^ kTables[6][(state >> 8) & 0xFF] ^
            kTables[5][(state >> 16) & 0xFF] ^ kTables[4][state >> 24] ^ kTables[3][p[4]] ^
            kTables[2][p[5]] ^ kTables[1][p[6]] ^ kTables[0][p[7]];
    p += 8;
    size -= 8;
  }
  while (size >= 4) {
    // Bytes are combined in file order, independent of the machine's order.
    uint32_t word =
        uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    state ^= word;
    state = kTables[3][state & 0xFF] ^ kTables[2][(state >> 8) & 0xFF] ^
            kTables[1][(state >> 16) & 0xFF] ^ kTables[0][state >> 24];
    p += 4;
    size -= 4;
  }
  while (size-- > 0) state = (state >> 8) ^ kTables[0][(state ^ *p++) & 0xFF];
  return state;
}

uint32_t ComputeCrc32(const void* bytes, size_t size) {
  return FinishCrc32(UpdateCrc32(kCrc32Initial, bytes, size));
}

}  // namespace ketrel
