#include "rt/ketrel_crc.h"

#include <array>

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
// of alignment (compilers turn this into one load where that is allowed).
inline uint32_t LoadLittle32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// One slicing-by-8 step: eight bytes folded into `state`.
inline uint32_t Step8(uint32_t state, const unsigned char* p) {
  const uint32_t low = state ^ LoadLittle32(p);
  const uint32_t high = LoadLittle32(p + 4);
  return kTables[7][low & 0xFF] ^ kTables[6][(low >> 8) & 0xFF] ^ kTables[5][(low >> 16) & 0xFF] ^
         kTables[4][low >> 24] ^ kTables[3][high & 0xFF] ^ kTables[2][(high >> 8) & 0xFF] ^
         kTables[1][(high >> 16) & 0xFF] ^ kTables[0][high >> 24];
}

uint32_t UpdateSerial(uint32_t state, const unsigned char* p, size_t size) {
  for (; size >= 8; p += 8, size -= 8) state = Step8(state, p);
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
// reflected order (bit 31 holds x^0). Branch-free: the bits are data.
constexpr uint32_t MultiplyModulo(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (int bit = 31; bit >= 0; --bit) {
    product ^= b & (0u - ((a >> bit) & 1));
    b = (b >> 1) ^ (kPolynomial & (0u - (b & 1)));
  }
  return product;
}

// x^(8 n) modulo the polynomial: multiplying a state by it gives the state
// after n zero bytes.
constexpr uint32_t ZeroBytesOperator(size_t n) {
  uint32_t result = 0x80000000u;  // x^0
  uint32_t power = 0x00800000u;   // x^8
  for (; n != 0; n >>= 1) {
    if (n & 1) result = MultiplyModulo(result, power);
    power = MultiplyModulo(power, power);
  }
  return result;
}

// Large buffers go in blocks of kLanes lanes of kLaneBytes each. One step of
// slicing by 8 waits on the previous step's table look-ups; the lanes' steps
// do not wait on each other, so the processor overlaps them. The lanes' CRCs
// are joined afterwards: the CRC is linear, so the state over A then B is the
// state over A moved past |B| zero bytes, xor B's CRC from a zero state.
constexpr int kLanes = 4;
constexpr size_t kLaneBytes = 8192;
constexpr size_t kBlockBytes = kLanes * kLaneBytes;
constexpr uint32_t kLaneShift = ZeroBytesOperator(kLaneBytes);

uint32_t UpdateBlock(uint32_t state, const unsigned char* p) {
  uint32_t lane0 = state, lane1 = 0, lane2 = 0, lane3 = 0;
  const unsigned char* const end = p + kLaneBytes;
  for (; p != end; p += 8) {
    lane0 = Step8(lane0, p);
    lane1 = Step8(lane1, p + kLaneBytes);
    lane2 = Step8(lane2, p + 2 * kLaneBytes);
    lane3 = Step8(lane3, p + 3 * kLaneBytes);
  }
  state = MultiplyModulo(lane0, kLaneShift) ^ lane1;
  state = MultiplyModulo(state, kLaneShift) ^ lane2;
  return MultiplyModulo(state, kLaneShift) ^ lane3;
}

static_assert(kLanes == 4, "UpdateBlock names its lanes");
// x^32 reduces to the polynomial's other terms.
static_assert(ZeroBytesOperator(4) == kPolynomial);

}  // namespace

uint32_t UpdateCrc32(uint32_t state, const void* bytes, size_t size) {
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  for (; size >= kBlockBytes; p += kBlockBytes, size -= kBlockBytes) state = UpdateBlock(state, p);
  return UpdateSerial(state, p, size);
}

uint32_t ComputeCrc32(const void* bytes, size_t size) {
  return FinishCrc32(UpdateCrc32(kCrc32Initial, bytes, size));
}

}  // namespace ketrel
