#include "rt/ketrel_crc.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace ketrel {
namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;

// Eight tables so that eight bytes are folded in per step ("slicing by 8").
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr CrcTables MakeTables() {
  CrcTables tables{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
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

// Bytes are combined in file order, independent of the machine's order and
// of alignment (compilers turn these into plain loads where that is allowed).
inline uint32_t LoadLittle32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint64_t LoadLittle64(const unsigned char* p) {
  if constexpr (std::endian::native == std::endian::little) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
  } else {
    return uint64_t(LoadLittle32(p)) | uint64_t(LoadLittle32(p + 4)) << 32;
  }
}

inline void StoreLittle64(uint64_t word, unsigned char* p) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(word >> (8 * i));
}

uint32_t UpdateSerial(uint32_t state, const unsigned char* p, size_t size) {
  for (; size >= 8; p += 8, size -= 8) {
    state ^= LoadLittle32(p);
    state = kTables[7][state & 0xFF] ^ kTables[6][(state >> 8) & 0xFF] ^
            kTables[5][(state >> 16) & 0xFF] ^ kTables[4][state >> 24] ^ kTables[3][p[4]] ^
            kTables[2][p[5]] ^ kTables[1][p[6]] ^ kTables[0][p[7]];
  }
  if (size >= 4) {
    state ^= LoadLittle32(p);
    state = kTables[3][state & 0xFF] ^ kTables[2][(state >> 8) & 0xFF] ^
            kTables[1][(state >> 16) & 0xFF] ^ kTables[0][state >> 24];
    p += 4;
    size -= 4;
  }
  while (size-- > 0) state = (state >> 8) ^ kTables[0][(state ^ *p++) & 0xFF];
  return state;
}

// Product of two polynomials modulo the CRC polynomial, both in the CRC's
// reflected order (bit 31 holds x^0).
constexpr uint32_t MultiplyModulo(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (int bit = 31; bit >= 0; --bit) {
    product ^= b & (0u - ((a >> bit) & 1));
    b = (b >> 1) ^ (kPolynomial & (0u - (b & 1)));
  }
  return product;
}

// x^(64 n) modulo the CRC polynomial: what n 8-byte words of zeros multiply
// a state by.
constexpr uint32_t WordsOperator(size_t n) {
  uint32_t result = 0x80000000u;               // x^0
  uint32_t power = 0x00000001u;                // x^31
  power = MultiplyModulo(power, 0x00000001u);  // x^62
  power = MultiplyModulo(power, 0x20000000u);  // x^64
  for (; n != 0; n >>= 1) {
    if (n & 1) result = MultiplyModulo(result, power);
    power = MultiplyModulo(power, power);
  }
  return result;
}

// Large buffers: the CRC is the remainder of the message (with the starting
// state added to its first bytes) divided by the polynomial, and that does
// not change when multiples of the polynomial are added. With y = x^64,
// 1 + y^89 + y^117 + y^155 + y^300 is such a multiple, so a word's bits can
// be moved 145, 183, 211 and 300 words further on (xor) and the word itself
// cleared, without changing the remainder. Doing that to every word but the
// last 300 leaves zeros and then 300 words whose CRC from a zero state is the
// buffer's: four xors a word in place of eight table look-ups in a chain.
// Pulled rather than pushed: word t takes in the cleared words t - 300,
// t - 211, t - 183 and t - 145, which leaves the loop free of carried
// dependencies shorter than 145 words, so compilers vectorise it.
constexpr size_t kFoldSpan = 300;
constexpr size_t kFoldTaps[] = {300, 211, 183, 145};
static_assert((WordsOperator(0) ^ WordsOperator(kFoldSpan - kFoldTaps[1]) ^
               WordsOperator(kFoldSpan - kFoldTaps[2]) ^ WordsOperator(kFoldSpan - kFoldTaps[3]) ^
               WordsOperator(kFoldSpan)) == 0,
              "1 + y^89 + y^117 + y^155 + y^300 is a multiple of the CRC polynomial");
// Folding pays from a few remainders' worth of words on.
constexpr size_t kFoldMinimumWords = 2 * kFoldSpan;
// Words folded between moves of the history to the front of the buffer.
constexpr size_t kFoldRun = 1024;
static_assert(kFoldRun >= kFoldSpan, "the last words are laid out where a run was");

uint32_t UpdateFolded(uint32_t state, const unsigned char* p, size_t words) {
  // The last kFoldSpan folded words, then this run's: word t of a run is at
  // kFoldSpan + t, its taps at kFoldSpan + t - tap (never below zero).
  uint64_t history[kFoldSpan + kFoldRun] = {};
  // The starting state joins the first word: it is word 0's only tap.
  history[0] = state;
  const size_t foldedWords = words - kFoldSpan;
  for (size_t done = 0; done < foldedWords;) {
    const size_t run = std::min(kFoldRun, foldedWords - done);
    const unsigned char* q = p + 8 * done;
    for (size_t t = 0; t < run; ++t) {
      history[kFoldSpan + t] = LoadLittle64(q + 8 * t) ^ history[kFoldSpan + t - kFoldTaps[0]] ^
                               history[kFoldSpan + t - kFoldTaps[1]] ^
                               history[kFoldSpan + t - kFoldTaps[2]] ^
                               history[kFoldSpan + t - kFoldTaps[3]];
    }
    done += run;
    std::memmove(history, history + run, kFoldSpan * sizeof(uint64_t));
  }
  // The last kFoldSpan words with what the folded words moved into them,
  // laid out as bytes again where the run was (their taps lie before it).
  const unsigned char* q = p + 8 * foldedWords;
  unsigned char* rest = reinterpret_cast<unsigned char*>(history + kFoldSpan);
  for (size_t t = 0; t < kFoldSpan; ++t) {
    uint64_t word = LoadLittle64(q + 8 * t);
    for (size_t tap : kFoldTaps)
      if (t < tap) word ^= history[kFoldSpan + t - tap];
    StoreLittle64(word, rest + 8 * t);
  }
  return UpdateSerial(0, rest, 8 * kFoldSpan);
}

}  // namespace

uint32_t UpdateCrc32(uint32_t state, const void* bytes, size_t size) {
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  if (size / 8 >= kFoldMinimumWords) {
    state = UpdateFolded(state, p, size / 8);
    p += size & ~size_t{7};
    size &= 7;
  }
  return UpdateSerial(state, p, size);
}

uint32_t ComputeCrc32(const void* bytes, size_t size) {
  return FinishCrc32(UpdateCrc32(kCrc32Initial, bytes, size));
}

}  // namespace ketrel
