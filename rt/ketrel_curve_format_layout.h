#pragma once
// Internal to the curve format modules: how each format lays out its record
// and arrays, and the small readers and writers they share. Not for callers
// outside ketrel_curve_formats.cpp and ketrel_curve_encode.cpp.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "rt/ketrel_curve_formats.h"

namespace ketrel::curve_format_internal {

// How each format stores its numbers. `Stored` numbers per control point,
// coded in `CodeBytes` bytes (4 = float); M (knots and controls) or Q (D4n
// controls) is `CodeMax`; arrays are described by their count and pointer
// offsets inside the packed record.
struct format_layout {
  data_type_definition* Type;
  const char* Name;
  int32_t RecordSize;
  int32_t FixedDimension;  // 0 for Da formats
  int32_t Stored;          // per control; 0 = the dimension
  int32_t CodeBytes;       // 0 for the plain float formats
  int32_t CodeMax;
  int32_t ArrayCount;
  int32_t CountOffset[2];
  int32_t PointerOffset[2];
  int32_t ElementSize[2];
};

extern const format_layout kLayouts[kCurveFormatCount];

// Unaligned-safe access to the count and pointer fields of packed records.
inline int32_t ReadInt32(const void* record, int32_t offset) {
  int32_t value;
  std::memcpy(&value, static_cast<const char*>(record) + offset, sizeof(value));
  return value;
}
inline void* ReadPointer(const void* record, int32_t offset) {
  void* value;
  std::memcpy(&value, static_cast<const char*>(record) + offset, sizeof(value));
  return value;
}
inline void WriteInt32(void* record, int32_t offset, int32_t value) {
  std::memcpy(static_cast<char*>(record) + offset, &value, sizeof(value));
}
inline void WritePointer(void* record, int32_t offset, void* value) {
  std::memcpy(static_cast<char*>(record) + offset, &value, sizeof(value));
}

inline bool IsPacked(int32_t format) { return kLayouts[format].CodeBytes != 0; }
inline bool HasTruncatedKnotScale(int32_t format) {
  return IsPacked(format) && format != CurveFormatD4nK16uC15u && format != CurveFormatD4nK8uC7u &&
         format != CurveFormatD3I1K32fC32f;
}
// M of the knot codes: 65535 or 255 (0 for float knots).
inline int32_t KnotCodeMax(int32_t format) {
  switch (kLayouts[format].CodeBytes) {
    case 2:
      return 65535;
    case 1:
      return 255;
    default:
      return 0;
  }
}

inline float FloatFromBits(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}
inline uint32_t BitsFromFloat(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

// The scale of a format's knot codes for a curve whose last knot is `last`:
// M / last (1 when that is not a finite positive number). Formats that store
// the scale in 16 bits keep its upper half (`truncated`), so it never exceeds
// M / last and the last code never passes M. The halving is done with frexp
// and ldexp, not by masking the low bits: GCC 12 drops a conditional mask of
// a float's low bits at -O1 and above, and optimised builds then wrote other
// knot codes than debug builds. The scale is at least 255 / FLT_MAX, never
// subnormal, so the two agree.
inline float KnotScaleFor(int32_t format, float last, uint16_t* truncated) {
  const int32_t limit = KnotCodeMax(format);
  float scale = (std::isfinite(last) && last > 0.0f) ? static_cast<float>(limit) / last : 1.0f;
  if (!std::isfinite(scale)) scale = 1.0f;
  if (HasTruncatedKnotScale(format)) {
    int exponent = 0;
    const float mantissa = std::frexp(scale, &exponent);  // [0.5, 1): 8 significant bits kept
    scale = std::ldexp(std::floor(mantissa * 256.0f) / 256.0f, exponent);
    if (truncated != nullptr) *truncated = static_cast<uint16_t>(BitsFromFloat(scale) >> 16);
  }
  return scale;
}

// A knot scale is usable when it is finite and positive; anything else (a
// hostile or degenerate record) decodes every knot to 0.
inline float InverseOfScale(float scale) {
  return (std::isfinite(scale) && scale > 0.0f) ? 1.0f / scale : 0.0f;
}

inline int32_t StoredCount(int32_t format, int32_t dimension) {
  return kLayouts[format].Stored != 0 ? kLayouts[format].Stored : dimension;
}

// Element count of each array for K knots of dimension d.
inline void ArrayCounts(int32_t format, int32_t dimension, int32_t knotCount, int64_t* counts) {
  int64_t k = knotCount;
  switch (format) {
    case CurveFormatDaKeyframes32f:
      counts[0] = k * dimension;
      break;
    case CurveFormatDaK32fC32f:
      counts[0] = k;
      counts[1] = k * dimension;
      break;
    case CurveFormatDaConstant32f:
      counts[0] = dimension;
      break;
    case CurveFormatDaK16uC16u:
    case CurveFormatDaK8uC8u:
      counts[0] = 2 * int64_t{dimension};
      counts[1] = k * (dimension + 1);
      break;
    default:
      counts[0] = k * (1 + StoredCount(format, dimension));
      break;
  }
}

inline size_t AlignUp(size_t value, size_t alignment) {
  return (value + alignment - 1) & ~(alignment - 1);
}

inline uint32_t CodeAt(const curve_data_view& view, int64_t index) {
  if (view.CodeBytes == 2) return static_cast<const uint16_t*>(view.Codes)[index];
  return static_cast<const uint8_t*>(view.Codes)[index];
}

inline void StoreCode(void* codes, int32_t bytes, int64_t index, uint32_t code) {
  if (bytes == 2)
    static_cast<uint16_t*>(codes)[index] = static_cast<uint16_t>(code);
  else
    static_cast<uint8_t*>(codes)[index] = static_cast<uint8_t>(code);
}

}  // namespace ketrel::curve_format_internal
