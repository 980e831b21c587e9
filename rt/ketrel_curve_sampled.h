#pragma once
// The key stream of DaSampledBits curves: one quantized key per sample,
// coded as differences in segments of 64 keys, each component of each
// segment at the width or Rice parameter that suits it. Motion capture
// jitters from sample to sample, so a tight tolerance needs a key at nearly
// every sample; what such a key costs is then the bits of its change, not a
// whole control point.
//
// A component's key is float(code) * step + base, computed the same way by
// encoder and decoder (this module is built without contracted multiply-adds
// so every platform rounds alike), with 0 <= code < 2^24 and a step no finer
// than four float roundings of the keys' magnitude: a key decodes within half
// a step of its value, plus one rounding. The stream (bytes, so no platform
// swaps it):
//   d bytes          code width B of each component (at most 24)
//   4 bytes/segment  bit offset of the segment in the bit stream (little endian)
//   bit stream       per segment, first a header per component, a mode (2 bits):
//                    0: the first key's code (B bits); every key equals it.
//                    1: a Rice flag (1), a width or Rice parameter k (5), the
//                       first code (B); its keys follow as first differences.
//                    2: as 1 plus a width w1 (5) before the first code; its
//                       keys follow as the first difference (w1 bits), then
//                       second differences.
//                    3: a sign bit; the component is rebuilt as
//                       +-sqrt(1 - sum of the others' squares) (keys of unit
//                       length, such as quaternions, leave out one component
//                       per segment, the one farthest from 0).
//                    Then the keys 1.. of the segment in order, each with the
//                    zigzag difference of every component of mode 1 or 2 in
//                    component order, so a reader stops at the key it needs.
//                    A difference is at the fixed width, or a Rice code: the
//                    quotient z >> k in unary (at most 16 ones, then a zero)
//                    and the k low bits; 16 ones are followed by z in 29 bits.
// Bits are read least significant first. Every reader checks the stream's
// length: a hostile record decodes to false, never past its bytes.

#include <cstddef>
#include <cstdint>

namespace ketrel {

inline constexpr int32_t kSampledSegmentLength = 64;
inline constexpr int32_t kSampledMaxDimension = 15;
inline constexpr int64_t kSampledCodeLimit = int64_t{1} << 24;

// Segments of `count` keys, counted without overflow for any count.
inline int32_t SampledSegmentCount(int32_t count) {
  return count > 0 ? static_cast<int32_t>((int64_t{count} + kSampledSegmentLength - 1) /
                                          kSampledSegmentLength)
                   : 0;
}

// The base of each component's codes: its smallest value over the keys
// (count >= 1).
void SampledBases(int32_t dimension, int32_t count, const float* values, float* bases);

// The code of a value (round to nearest, relative to the base) and the value
// a code decodes to.
int64_t SampledCode(float value, float step, float base);
float SampledValue(int64_t code, float step, float base);

// The keys as a stream at these steps decodes them, without writing it
// (count * dimension floats); false when a key cannot be coded.
bool SampledKeys(int32_t dimension, int32_t count, const float* values, const float* steps,
                 const float* bases, float* keys);

// Bytes of the stream for `count` keys of `dimension` (1..15) floats; 0 when
// a step is not positive and finite or too fine for the keys' magnitude, a
// value is not finite, or a code would reach kSampledCodeLimit.
size_t SampledStreamSize(int32_t dimension, int32_t count, const float* values, const float* steps,
                         const float* bases);
// Writes exactly SampledStreamSize bytes; false when that size is 0 or differs.
bool WriteSampledStream(int32_t dimension, int32_t count, const float* values, const float* steps,
                        const float* bases, uint8_t* out, size_t bytes);
// Keys first..first+n-1 (n * dimension floats). False when the stream does not
// hold them.
bool ReadSampledKeys(const uint8_t* stream, int64_t bytes, int32_t dimension, int32_t count,
                     const float* steps, const float* bases, int32_t first, int32_t n, float* out);

// A reader's place in one stream: the codes of the key it read last and
// where that key's differences end, so that keys asked for in order cost one
// key's differences each instead of a walk from their segment's start (a
// player stepping through a clip). Caller-owned; a cursor made for another
// stream, or one holding a later key or another segment, starts over.
struct sampled_key_cursor {
  const uint8_t* Stream = nullptr;
  int32_t Key = -1;  // the key whose codes are held; -1: none
  int32_t Derived = -1;
  bool Negative = false;
  uint64_t Position = 0;  // bits into the segments' bit stream
  uint8_t Modes[kSampledMaxDimension] = {};
  uint8_t Parameters[kSampledMaxDimension] = {};
  uint8_t FirstWidths[kSampledMaxDimension] = {};
  bool Rice[kSampledMaxDimension] = {};
  int64_t Codes[kSampledMaxDimension] = {};
  int64_t Previous[kSampledMaxDimension] = {};
};

// Key `index` (dimension floats) through `cursor`, which then holds it.
// False, with the cursor reset, when the stream does not hold the key.
bool ReadSampledKeyAt(const uint8_t* stream, int64_t bytes, int32_t dimension, int32_t count,
                      const float* steps, const float* bases, int32_t index,
                      sampled_key_cursor* cursor, float* out);

}  // namespace ketrel
