// Converting one curve to another basis: decode every control point,
// convert it exactly, then find the cheapest encoding that keeps it within
// the tolerance, starting with the curve's own format.
#include <cmath>
#include <cstring>
#include <utility>

#include "rt/ketrel_curve.h"
#include "rt/ketrel_curve_sampled.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_transform_internal.h"

namespace ketrel {
void Multiply3(const float* a, const float* b, float* out) {
  for (int32_t r = 0; r < 3; ++r)
    for (int32_t c = 0; c < 3; ++c)
      out[3 * r + c] = a[3 * r] * b[c] + a[3 * r + 1] * b[3 + c] + a[3 * r + 2] * b[6 + c];
}

void QuaternionToMatrix(const float* q, float* m) {
  const float x = q[0], y = q[1], z = q[2], w = q[3];
  m[0] = 1 - 2 * (y * y + z * z), m[1] = 2 * (x * y - z * w), m[2] = 2 * (x * z + y * w);
  m[3] = 2 * (x * y + z * w), m[4] = 1 - 2 * (x * x + z * z), m[5] = 2 * (y * z - x * w);
  m[6] = 2 * (x * z - y * w), m[7] = 2 * (y * z + x * w), m[8] = 1 - 2 * (x * x + y * y);
}

// The largest of w, x, y, z is found first, so no branch divides by a
// small number.
void MatrixToQuaternion(const float* m, float* q) {
  const float trace = m[0] + m[4] + m[8];
  if (trace > m[0] && trace > m[4] && trace > m[8]) {
    const float s = std::sqrt(std::fmax(trace + 1.0f, 1e-20f)) * 2.0f;
    q[3] = 0.25f * s, q[0] = (m[7] - m[5]) / s, q[1] = (m[2] - m[6]) / s, q[2] = (m[3] - m[1]) / s;
  } else if (m[0] >= m[4] && m[0] >= m[8]) {
    const float s = std::sqrt(std::fmax(1.0f + m[0] - m[4] - m[8], 1e-20f)) * 2.0f;
    q[3] = (m[7] - m[5]) / s, q[0] = 0.25f * s, q[1] = (m[1] + m[3]) / s, q[2] = (m[2] + m[6]) / s;
  } else if (m[4] >= m[8]) {
    const float s = std::sqrt(std::fmax(1.0f + m[4] - m[0] - m[8], 1e-20f)) * 2.0f;
    q[3] = (m[2] - m[6]) / s, q[0] = (m[1] + m[3]) / s, q[1] = 0.25f * s, q[2] = (m[5] + m[7]) / s;
  } else {
    const float s = std::sqrt(std::fmax(1.0f + m[8] - m[0] - m[4], 1e-20f)) * 2.0f;
    q[3] = (m[3] - m[1]) / s, q[0] = (m[2] + m[6]) / s, q[1] = (m[5] + m[7]) / s, q[2] = 0.25f * s;
  }
}

namespace {

int32_t DimensionOf(basis_curve_kind kind) {
  return kind == basis_curve_kind::Orientation ? 4 : kind == basis_curve_kind::ScaleShear ? 9 : 3;
}

// Converts `count` control points in place. Quaternions keep their length,
// and their signs keep the original's relation to the control before, so
// the curve turns the same short way between its controls.
void ConvertControls(basis_curve_kind kind, const float* affine, const float* matrix,
                     const basis_conversion& c, float* controls, int32_t count) {
  const float* linear = &c.Linear[0][0];
  const float* inverse = &c.InverseLinear[0][0];
  float previousOld[4] = {0, 0, 0, 0}, previousNew[4] = {0, 0, 0, 0};
  for (int32_t i = 0; i < count; ++i) {
    if (kind == basis_curve_kind::Point || kind == basis_curve_kind::Direction) {
      float* v = controls + 3 * i;
      const float x = v[0], y = v[1], z = v[2];
      for (int32_t r = 0; r < 3; ++r) {
        v[r] = matrix[3 * r] * x + matrix[3 * r + 1] * y + matrix[3 * r + 2] * z;
        if (kind == basis_curve_kind::Point && affine) v[r] += affine[r];
      }
    } else if (kind == basis_curve_kind::ScaleShear) {
      float lm[9];
      Multiply3(linear, controls + 9 * i, lm);
      Multiply3(lm, inverse, controls + 9 * i);
    } else {
      // Conjugation keeps every dot product between unit quaternions, so a
      // sign is chosen to keep each control's relation to the one before:
      // the curve then turns the same short way between its controls.
      float* q = controls + 4 * i;
      const float old[4] = {q[0], q[1], q[2], q[3]};
      ConvertOrientation(q, c);
      if (i > 0) {
        float oldDot = 0.0f, newDot = 0.0f;
        for (int32_t k = 0; k < 4; ++k) {
          oldDot += old[k] * previousOld[k];
          newDot += q[k] * previousNew[k];
        }
        if ((oldDot < 0.0f) != (newDot < 0.0f))
          for (int32_t k = 0; k < 4; ++k) q[k] = -q[k];
      }
      for (int32_t k = 0; k < 4; ++k) {
        previousOld[k] = old[k];
        previousNew[k] = q[k];
      }
    }
  }
}

// Is `matrix` a signed axis permutation (times any scale per row)? Then
// row r takes component perm[r] times factor[r].
bool IsSignedPermutation(const float* matrix, int32_t* perm, float* factor) {
  bool used[3] = {false, false, false};
  for (int32_t r = 0; r < 3; ++r) {
    int32_t nonZero = 0;
    for (int32_t c = 0; c < 3; ++c) {
      if (matrix[3 * r + c] == 0.0f) continue;
      ++nonZero;
      perm[r] = c;
      factor[r] = matrix[3 * r + c];
    }
    if (nonZero != 1 || used[perm[r]]) return false;
    used[perm[r]] = true;
  }
  return true;
}

// The formats to try after the curve's own, finer each time; DaK32fC32f
// holds anything.
int32_t FinerFormat(int32_t format) {
  switch (format) {
    case CurveFormatDaK8uC8u:
      return CurveFormatDaK16uC16u;
    case CurveFormatD4nK8uC7u:
      return CurveFormatD4nK16uC15u;
    case CurveFormatD3K8uC8u:
      return CurveFormatD3K16uC16u;
    case CurveFormatD9I1K8uC8u:
      return CurveFormatD9I1K16uC16u;
    case CurveFormatD9I3K8uC8u:
      return CurveFormatD9I3K16uC16u;
    case CurveFormatD3I1K8uC8u:
      return CurveFormatD3I1K16uC16u;
    case CurveFormatD3I1K16uC16u:
      return CurveFormatD3I1K32fC32f;
    case CurveFormatDaK32fC32f:
      return CurveFormatUnknown;
    default:
      return CurveFormatDaK32fC32f;
  }
}

// The key steps of a sampled curve once converted. When L only swaps and
// negates axes (with one scale), every converted component is an old one,
// signed: it keeps that component's step (times the scale for points), so
// every code survives. Components that mix old ones take the finest step
// they have (times the row's length for points).
void ConvertedSteps(basis_curve_kind kind, const float* matrix, const basis_conversion& c,
                    const float* steps, int32_t d, float* out) {
  float finest = steps[0];
  for (int32_t j = 1; j < d; ++j) finest = std::fmin(finest, steps[j]);
  for (int32_t j = 0; j < d; ++j) out[j] = finest;
  int32_t perm[3];
  float factor[3];
  if (kind == basis_curve_kind::Point || kind == basis_curve_kind::Direction) {
    for (int32_t r = 0; r < 3; ++r) {
      const float* row = matrix + 3 * r;
      const float length = std::sqrt(row[0] * row[0] + row[1] * row[1] + row[2] * row[2]);
      int32_t only = -1, nonZero = 0;
      for (int32_t k = 0; k < 3; ++k) {
        if (row[k] != 0.0f) ++nonZero, only = k;
      }
      out[r] = nonZero == 1 ? std::fabs(row[only]) * steps[only] : length * finest;
      if (!(out[r] > 0.0f)) out[r] = finest;
    }
  } else if (IsSignedPermutation(&c.Linear[0][0], perm, factor)) {
    if (kind == basis_curve_kind::Orientation) {
      for (int32_t j = 0; j < 3; ++j) out[j] = steps[perm[j]];
      out[3] = steps[3];
    } else {
      for (int32_t i = 0; i < 3; ++i)
        for (int32_t j = 0; j < 3; ++j) out[3 * i + j] = steps[3 * perm[i] + perm[j]];
    }
  }
}

// An encoding of the converted controls: a heap block holding the record.
struct candidate {
  void* Data = nullptr;
  size_t Size = 0;
  int32_t Format = CurveFormatUnknown;
  float Error = INFINITY;  // the farthest decoded control from its target
  float Allowed = 0.0f;    // how far one may lie
  float Miss() const { return Allowed > 0.0f ? Error / Allowed : INFINITY; }
};

// Encodes `target` in `format` and measures how far its decoded controls
// lie from it. Sampled keys are re-coded at their own step, so they may
// stray by what that step already allowed: up to a step (two half steps,
// and a component rebuilt from unit length gathers the others' errors).
candidate Encode(int32_t format, const curve_data_view& view, int32_t d, const float* knots,
                 const float* target, const float* steps, float tolerance) {
  candidate c;
  c.Allowed = tolerance;
  for (int32_t j = 0; format == CurveFormatDaSampledBits && j < d; ++j)
    c.Allowed = std::fmax(c.Allowed, 2.0f * steps[j]);
  const int32_t count = view.KnotCount;
  const bool sampled = format == CurveFormatDaSampledBits;
  c.Size = sampled ? SampledCurveDataSize(view.Degree, d, count, knots, target, steps)
                   : CurveDataSize(format, d, count);
  if (c.Size == 0) return c;
  c.Data = KT_ALLOCATE_CLEARED(c.Size);
  float* decoded = c.Data ? KT_ALLOCATE_ARRAY(float, size_t(count) * size_t(d)) : nullptr;
  curve_data_view encoded;
  const bool ok =
      decoded &&
      (sampled ? EncodeSampledCurveData(view.Degree, d, count, knots, target, steps, c.Data, c.Size)
               : EncodeCurveData(format, view.Degree, d, count, knots, target, c.Data)) &&
      ReadCurveData(c.Data, &encoded) &&
      DecodeKnotsControls(encoded, 0, count, nullptr, decoded, nullptr);
  if (ok) {
    c.Format = format;
    c.Error = 0.0f;
    for (size_t i = 0; i < size_t(count) * size_t(d); ++i) {
      const float e = std::fabs(decoded[i] - target[i]);
      c.Error = std::isfinite(e) ? std::fmax(c.Error, e) : INFINITY;
    }
  } else {
    FreeBlock(c.Data);
    c = candidate{};
  }
  FreeBlock(decoded);
  return c;
}

// Puts an encoding into the curve: over its own record when the shape is
// the same, else into new memory from the conversion's allocator.
bool FitsInPlace(const curve2* curve, const candidate& c);

bool Commit(curve2* curve, const candidate& c, const basis_conversion& conversion) {
  if (FitsInPlace(curve, c) && OverwriteCurveData(c.Data, curve->CurveData.Object)) return true;
  if (conversion.Memory.allocate == nullptr) return false;
  const size_t size = CurveDataCopySize(c.Data);
  void* memory = size > 0 ? KT_ALLOCATOR_ALLOCATE(conversion.Memory, size) : nullptr;
  if (memory == nullptr) return false;
  std::memset(memory, 0, size);
  if (!CopyCurveData(c.Data, memory)) return false;
  curve->CurveData.Type = GetCurveFormatType(c.Format);
  curve->CurveData.Object = memory;
  return true;
}

// Could this candidate be written over the curve's own record? Only with
// the same format and arrays of the same lengths.
bool FitsInPlace(const curve2* curve, const candidate& c) {
  curve_data_view own, encoded;
  return ReadCurveData(curve->CurveData.Object, &own) && ReadCurveData(c.Data, &encoded) &&
         own.Format == encoded.Format && own.KnotCount == encoded.KnotCount &&
         own.Dimension == encoded.Dimension && own.StreamBytes == encoded.StreamBytes &&
         CurveDataCopySize(curve->CurveData.Object) == CurveDataCopySize(c.Data);
}

// Keyframed data (unsmoothed keys) are plain floats: converted where they lie.
bool ConvertKeys(curve2* curve, const curve_data_view& view, basis_curve_kind kind,
                 const float* affine, const float* matrix, const basis_conversion& conversion) {
  const int32_t d = DimensionOf(kind);
  int32_t floats = 0;
  float* keys = nullptr;
  if (view.Format == CurveFormatDaKeyframes32f) {
    auto* record = static_cast<curve_data_da_keyframes32f*>(curve->CurveData.Object);
    if (record->Dimension != d) return false;
    floats = record->ControlCount;
    keys = record->Controls;
  } else {
    auto* record = static_cast<curve_data_da_k32f_c32f*>(curve->CurveData.Object);
    floats = record->ControlCount;
    keys = record->Controls;
  }
  if (floats < 0 || floats % d != 0 || (floats > 0 && keys == nullptr)) return false;
  ConvertControls(kind, affine, matrix, conversion, keys, floats / d);
  return true;
}

}  // namespace

void ConvertOrientation(float q[4], const basis_conversion& c) {
  const float length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  if (!(length > 0.0f) || !std::isfinite(length)) return;
  const float unit[4] = {q[0] / length, q[1] / length, q[2] / length, q[3] / length};
  float r[9], lr[9], m[9], result[4];
  QuaternionToMatrix(unit, r);
  Multiply3(&c.Linear[0][0], r, lr);
  Multiply3(lr, &c.InverseLinear[0][0], m);
  MatrixToQuaternion(m, result);
  const float norm = std::sqrt(result[0] * result[0] + result[1] * result[1] +
                               result[2] * result[2] + result[3] * result[3]);
  if (!(norm > 0.0f) || !std::isfinite(norm)) return;
  const float sign = (result[3] < 0.0f) != (unit[3] < 0.0f) ? -1.0f : 1.0f;
  for (int32_t k = 0; k < 4; ++k) q[k] = sign * result[k] / norm * length;
}

bool TransformTrackCurve(curve2* curve, basis_curve_kind kind, const float* affine,
                         const float* matrix, const basis_conversion& conversion,
                         const char* name) {
  if (curve == nullptr || curve->CurveData.Object == nullptr || CurveIsIdentity(curve)) return true;
  if (!KT_CHECK_PARAMETER(Basis, matrix != nullptr || (kind != basis_curve_kind::Point &&
                                                       kind != basis_curve_kind::Direction)))
    return false;
  const char* label = name ? name : "(unnamed)";
  if (!CurveRecordMatchesType(curve)) {
    KT_LOG_ERROR(Basis, "Track %s: curve record does not match its type - left unconverted", label);
    return false;
  }
  const int32_t d = DimensionOf(kind);
  curve_data_view view;
  if (!ReadCurveData(curve->CurveData.Object, &view) || GetCurveStoredDimension(curve) != d) {
    KT_LOG_ERROR(Basis, "Track %s: curve does not have dimension=%d - left unconverted", label, d);
    return false;
  }
  if (CurveIsKeyframed(curve)) {
    if (ConvertKeys(curve, view, kind, affine, matrix, conversion)) return true;
    KT_LOG_ERROR(Basis, "Track %s: damaged keys - left unconverted", label);
    return false;
  }
  const float zero[3] = {0, 0, 0};
  const float* offset = kind == basis_curve_kind::Point && affine ? affine : zero;
  int32_t perm[3];
  float factor[3];
  // Axis swaps and unit changes move the stored numbers, codes and all.
  if (d == 3 && IsSignedPermutation(matrix, perm, factor) &&
      PermuteCurveData3(curve->CurveData.Object, perm, factor, offset))
    return true;

  const int32_t count = view.KnotCount;
  if (count <= 0) return true;
  float* knots = KT_ALLOCATE_ARRAY(float, size_t(count) * size_t(d + 1));
  if (knots == nullptr) return false;
  float* target = knots + count;
  if (!DecodeKnotsControls(view, 0, count, knots, target, nullptr)) {
    FreeBlock(knots);
    KT_LOG_ERROR(Basis, "Track %s: curve does not decode - left unconverted", label);
    return false;
  }
  ConvertControls(kind, offset, matrix, conversion, target, count);
  const float tolerance =
      kind == basis_curve_kind::Point ? conversion.AffineTolerance : conversion.LinearTolerance;
  float steps[kSampledMaxDimension];
  if (view.Format == CurveFormatDaSampledBits)
    ConvertedSteps(kind, matrix, conversion, view.Scales, d, steps);

  // Own format first, then finer ones; the best one that can be stored
  // wins when none holds the tolerance.
  candidate best, inPlace;
  bool ok = false;
  for (int32_t format = view.Format; format != CurveFormatUnknown; format = FinerFormat(format)) {
    candidate c = Encode(format, view, d, knots, target, steps, tolerance);
    if (c.Data == nullptr) continue;
    const bool here = FitsInPlace(curve, c);
    if (c.Error <= c.Allowed && (here || conversion.Memory.allocate != nullptr) &&
        Commit(curve, c, conversion)) {
      FreeBlock(c.Data);
      ok = true;
      break;
    }
    if (here && c.Miss() < inPlace.Miss()) std::swap(inPlace, c);
    if (c.Data != nullptr && conversion.Memory.allocate != nullptr && c.Miss() < best.Miss())
      std::swap(best, c);
    FreeBlock(c.Data);
  }
  if (!ok) {
    const candidate& nearest = best.Miss() < inPlace.Miss() ? best : inPlace;
    if (nearest.Data != nullptr && Commit(curve, nearest, conversion)) {
      // 1502: "converted curve misses its tolerance" in the exporter's
      // table of warning codes (export/ketrel_warning_codes.h).
      KT_LOG_WARNING_CODE(Basis, 1502, label,
                          "Track %s: the converted curve misses its tolerance (%g > %g) - "
                          "written with the nearest fit (%s)",
                          label, double(nearest.Error), double(nearest.Allowed),
                          GetCurveFormatName(nearest.Format));
      ok = true;
    } else {
      KT_LOG_ERROR(Basis, "Track %s: the converted curve cannot be stored - left unconverted",
                   label);
    }
  }
  FreeBlock(best.Data);
  FreeBlock(inPlace.Data);
  FreeBlock(knots);
  return ok;
}

}  // namespace ketrel
