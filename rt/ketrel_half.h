#pragma once
// IEEE 754 binary16 ("half") conversions for `Real16Member` values.

#include <cstdint>

namespace ketrel {

// Exact: zeros, subnormals, infinities and NaN payloads are kept.
float HalfToFloat(uint16_t half);

// Rounds the mantissa half up in magnitude; too large becomes infinity, too
// small for a half subnormal becomes signed zero, NaN stays a (quiet or
// signalling) NaN with its upper payload bits.
uint16_t FloatToHalf(float value);

}  // namespace ketrel
