// One knot and one control point of each curve format, as a function of its
// own: the format is a compile-time constant there, so its code width, the
// layout of its stored numbers and its quaternion packing are fixed, and a
// player that picks the functions once per curve steps through it without
// looking at the format again.
#include <cmath>
#include <cstring>
#include <iterator>

#include "rt/ketrel_curve_formats.h"

namespace ketrel {
namespace {

// Bytes per code of the packed formats; 4 for float codes, 0 for none.
constexpr int32_t CodeBytesOf(int32_t format) {
  switch (format) {
    case CurveFormatDaK16uC16u:
    case CurveFormatD4nK16uC15u:
    case CurveFormatD3K16uC16u:
    case CurveFormatD9I1K16uC16u:
    case CurveFormatD9I3K16uC16u:
    case CurveFormatD3I1K16uC16u:
      return 2;
    case CurveFormatDaK8uC8u:
    case CurveFormatD4nK8uC7u:
    case CurveFormatD3K8uC8u:
    case CurveFormatD9I1K8uC8u:
    case CurveFormatD9I3K8uC8u:
    case CurveFormatD3I1K8uC8u:
      return 1;
    case CurveFormatD3I1K32fC32f:
      return 4;
    default:
      return 0;
  }
}

template <int32_t F>
inline uint32_t Code(const curve_data_view& view, int64_t index) {
  if constexpr (CodeBytesOf(F) == 2) {
    return static_cast<const uint16_t*>(view.Codes)[index];
  } else {
    return static_cast<const uint8_t*>(view.Codes)[index];
  }
}

template <int32_t F>
float KnotOf(const curve_data_view& view, int32_t index) {
  if constexpr (F == CurveFormatDaK32fC32f) {
    return view.Knots[index];
  } else if constexpr (F == CurveFormatD3I1K32fC32f) {
    return static_cast<const float*>(view.Codes)[index];
  } else if constexpr (F == CurveFormatDaKeyframes32f) {
    return static_cast<float>(index);
  } else if constexpr (F == CurveFormatDaSampledBits) {
    return static_cast<float>(index) * view.KnotScale;
  } else if constexpr (CodeBytesOf(F) == 0) {
    return 0.0f;
  } else {
    return static_cast<float>(Code<F>(view, index)) * view.KnotInverse;
  }
}

// D4n: three components coded, the largest (dropped) rebuilt from them.
template <int32_t F>
void QuaternionOf(const curve_data_view& view, int64_t base, float* q) {
  constexpr uint32_t mask = F == CurveFormatD4nK16uC15u ? 32767 : 127;  // the low bits of each code
  constexpr uint32_t top = mask + 1;
  const uint32_t c0 = Code<F>(view, base), c1 = Code<F>(view, base + 1),
                 c2 = Code<F>(view, base + 2);
  const int32_t dropped = ((c1 & top) ? 2 : 0) + ((c2 & top) ? 1 : 0);
  const float inverse = mask == 32767 ? 3.051851e-5f : 0.007874016f;
  const uint32_t codes[3] = {c0 & mask, c1 & mask, c2 & mask};
  float sum = 0.0f;
  for (int32_t s = 0; s < 3; ++s) {
    const int32_t k = (dropped + 1 + s) & 3;
    q[k] = static_cast<float>(codes[s]) * view.Scales[k] * inverse + view.Offsets[k];
    sum += q[k] * q[k];
  }
  // Rounding (or a hostile record) can push the sum past 1; never take the
  // root of a negative number.
  const float rest = 1.0f - sum;
  q[dropped] = rest > 0.0f ? std::sqrt(rest) : 0.0f;
  if (c0 & top) q[dropped] = -q[dropped];
}

template <int32_t F>
void ControlOf(const curve_data_view& view, int32_t index, float* out) {
  const int32_t d = view.Dimension;
  if constexpr (F == CurveFormatDaKeyframes32f || F == CurveFormatDaK32fC32f) {
    std::memcpy(out, view.Controls + int64_t{index} * d, sizeof(float) * d);
  } else if constexpr (F == CurveFormatDaConstant32f || F == CurveFormatD3Constant32f ||
                       F == CurveFormatD4Constant32f) {
    std::memcpy(out, view.Controls, sizeof(float) * d);
  } else if constexpr (CodeBytesOf(F) == 0) {
    // The identity and sampled keys have no control points here (their
    // values come from the identity and the key stream).
    for (int32_t j = 0; j < d; ++j) out[j] = 0.0f;
  } else {
    const int64_t base = view.KnotCount + int64_t{index} * view.Stored;
    if constexpr (F == CurveFormatD4nK16uC15u || F == CurveFormatD4nK8uC7u) {
      QuaternionOf<F>(view, base, out);
    } else if constexpr (F == CurveFormatD3I1K32fC32f || F == CurveFormatD3I1K16uC16u ||
                         F == CurveFormatD3I1K8uC8u) {
      float u;
      if constexpr (F == CurveFormatD3I1K32fC32f) {
        u = static_cast<const float*>(view.Codes)[base];
      } else {
        u = static_cast<float>(Code<F>(view, base));
      }
      for (int32_t j = 0; j < 3; ++j) out[j] = u * view.Scales[j] + view.Offsets[j];
    } else if constexpr (F == CurveFormatD9I1K16uC16u || F == CurveFormatD9I1K8uC8u ||
                         F == CurveFormatD9I3K16uC16u || F == CurveFormatD9I3K8uC8u) {
      constexpr bool one = F == CurveFormatD9I1K16uC16u || F == CurveFormatD9I1K8uC8u;
      for (int32_t j = 0; j < 9; ++j) out[j] = 0.0f;
      for (int32_t s = 0; s < 3; ++s) {
        const int32_t stored = one ? 0 : s;
        out[4 * s] = static_cast<float>(Code<F>(view, base + stored)) * view.Scales[stored] +
                     view.Offsets[stored];
      }
    } else {  // Da and D3 codes, one per component
      for (int32_t j = 0; j < d; ++j) {
        out[j] = static_cast<float>(Code<F>(view, base + j)) * view.Scales[j] + view.Offsets[j];
      }
    }
  }
}

template <int32_t... F>
struct decoder_tables {
  static constexpr control_decoder Controls[] = {ControlOf<F>...};
  static constexpr knot_decoder Knots[] = {KnotOf<F>...};
};
using all_formats =
    decoder_tables<0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19>;
static_assert(std::size(all_formats::Controls) == kCurveFormatCount);

}  // namespace

control_decoder GetControlDecoder(int32_t format) {
  if (format < 0 || format >= kCurveFormatCount || format == CurveFormatDaIdentity ||
      format == CurveFormatDaSampledBits)
    return nullptr;
  return all_formats::Controls[format];
}

knot_decoder GetKnotDecoder(int32_t format) {
  if (format < 0 || format >= kCurveFormatCount || format == CurveFormatDaIdentity) return nullptr;
  return all_formats::Knots[format];
}

}  // namespace ketrel
