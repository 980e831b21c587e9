#include "rt/ketrel_half.h"

#include <cstring>

namespace ketrel {

float HalfToFloat(uint16_t half) {
  const uint32_t sign = uint32_t{half & 0x8000u} << 16;
  uint32_t exponent = (half >> 10) & 0x1Fu;
  uint32_t mantissa = half & 0x3FFu;
  uint32_t bits;
  if (exponent == 0x1F) {
    bits = sign | 0x7F800000u | (mantissa << 13);
  } else if (exponent != 0) {
    bits = sign | ((exponent + 127 - 15) << 23) | (mantissa << 13);
  } else if (mantissa == 0) {
    bits = sign;
  } else {
    // Subnormal half: shift the leading one into the implicit position.
    int32_t e = 127 - 15 + 1;
    while ((mantissa & 0x400u) == 0) {
      mantissa <<= 1;
      --e;
    }
    bits = sign | (static_cast<uint32_t>(e) << 23) | ((mantissa & 0x3FFu) << 13);
  }
  float result;
  std::memcpy(&result, &bits, sizeof(result));
  return result;
}

uint16_t FloatToHalf(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  const uint16_t sign = static_cast<uint16_t>((bits >> 16) & 0x8000u);
  const int32_t exponent = static_cast<int32_t>((bits >> 23) & 0xFFu);
  uint32_t mantissa = bits & 0x7FFFFFu;
  if (exponent == 0xFF) {
    if (mantissa == 0) return sign | 0x7C00u;
    // Keep the payload's upper bits; a payload only in the dropped bits must
    // still read as NaN, not infinity.
    uint32_t payload = mantissa >> 13;
    if (payload == 0) payload = 1;
    return static_cast<uint16_t>(sign | 0x7C00u | payload);
  }
  int32_t e = exponent - 127 + 15;
  if (e >= 0x1F) return sign | 0x7C00u;
  if (e <= 0) {
    if (e < -10) return sign;
    // Half subnormal: value = m x 2^-24 with the implicit one made explicit.
    const uint32_t full = mantissa | 0x800000u;
    const int32_t shift = 14 - e;
    const uint32_t m = (full + (1u << (shift - 1))) >> shift;
    return static_cast<uint16_t>(sign | m);  // m may carry into the smallest normal
  }
  mantissa += 0x1000u;
  if (mantissa & 0x800000u) {
    mantissa = 0;
    if (++e >= 0x1F) return sign | 0x7C00u;
  }
  return static_cast<uint16_t>(sign | (static_cast<uint32_t>(e) << 10) | (mantissa >> 13));
}

}  // namespace ketrel
