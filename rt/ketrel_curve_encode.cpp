// Encoding knots and control points into the curve formats: knot codes,
// per-component ranges, lines through points, packed quaternions; and the
// in-place axis permutation of three-dimensional curves.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "rt/ketrel_curve_format_layout.h"
#include "rt/ketrel_curve_formats.h"
#include "rt/ketrel_curve_sampled.h"
#include "rt/ketrel_log.h"

namespace ketrel {

using namespace curve_format_internal;

namespace {

uint32_t Quantize(float value, float limit) {
  // Written so that NaN lands on 0 instead of reaching the conversion.
  float clamped = value > 0.0f ? (value < limit ? value : limit) : 0.0f;
  return static_cast<uint32_t>(clamped + 0.5f);
}

// Scale and offset of one stored number over all control points.
void RangeOf(const float* values, int32_t count, int32_t stride, float inverseMax, float* scale,
             float* offset) {
  float low = count > 0 ? values[0] : 0.0f;
  float high = low;
  for (int32_t i = 1; i < count; ++i) {
    float v = values[int64_t{i} * stride];
    if (v < low) low = v;
    if (v > high) high = v;
  }
  *scale = (high - low) * inverseMax;
  if (*scale == 0.0f || !std::isfinite(*scale)) *scale = 1.0f;
  *offset = low;
}

// Power iteration on the covariance: the main axis of the control points.
void FitLineToPoints(const float* points, int32_t count, float* start, float* direction) {
  double c[3] = {0, 0, 0};
  for (int32_t i = 0; i < count; ++i)
    for (int32_t j = 0; j < 3; ++j) c[j] += points[3 * i + j];
  for (double& v : c) v /= count;
  double cov[3][3] = {};
  for (int32_t i = 0; i < count; ++i) {
    double p[3] = {points[3 * i] - c[0], points[3 * i + 1] - c[1], points[3 * i + 2] - c[2]};
    for (int32_t a = 0; a < 3; ++a)
      for (int32_t b = 0; b < 3; ++b) cov[a][b] += p[a] * p[b] / count;
  }
  double v[3] = {1, 2, 3};
  for (int32_t round = 0; round < 5; ++round) {
    double w[3];
    for (int32_t a = 0; a < 3; ++a) w[a] = cov[a][0] * v[0] + cov[a][1] * v[1] + cov[a][2] * v[2];
    double length = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
    for (int32_t a = 0; a < 3; ++a) v[a] = length > 1e-5 ? w[a] / length : 0.0;
  }
  double low = 1.9140881e38, high = -1.9140881e38;
  for (int32_t i = 0; i < count; ++i) {
    double s = v[0] * points[3 * i] + v[1] * points[3 * i + 1] + v[2] * points[3 * i + 2];
    if (s < low) low = s;
    if (s > high) high = s;
  }
  if (count > 0 && low != high) {
    double vc = v[0] * c[0] + v[1] * c[1] + v[2] * c[2];
    for (int32_t a = 0; a < 3; ++a) {
      start[a] = static_cast<float>(c[a] - (vc - low) * v[a]);
      direction[a] = static_cast<float>((high - low) * v[a]);
    }
  } else {
    for (int32_t a = 0; a < 3; ++a) {
      start[a] = count > 0 ? points[a] : 0.0f;
      direction[a] = 1.0f;
    }
  }
}

// The dropped component: largest magnitude, ties to the lower index.
int32_t DroppedComponent(const float* q) {
  int32_t d = 0;
  for (int32_t k = 1; k < 4; ++k)
    if (std::fabs(q[k]) > std::fabs(q[d])) d = k;
  return d;
}

void EncodeQuaternions(int32_t knotCount, const float* controls, int32_t bytes, int32_t q,
                       curve_data_d4n* record, void* codes) {
  float low[4] = {2, 2, 2, 2}, high[4] = {-2, -2, -2, -2};
  auto normalized = [&](int32_t i, float* out) {
    const float* c = controls + 4 * int64_t{i};
    float length = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2] + c[3] * c[3]);
    if (!(length > 1e-5f) || !std::isfinite(length)) {
      out[0] = out[1] = out[2] = 0.0f;
      out[3] = 1.0f;
    } else {
      for (int32_t k = 0; k < 4; ++k) out[k] = c[k] / length;
    }
  };
  for (int32_t i = 0; i < knotCount; ++i) {
    float n[4];
    normalized(i, n);
    int32_t d = DroppedComponent(n);
    for (int32_t k = 0; k < 4; ++k) {
      if (k == d) continue;
      if (n[k] < low[k]) low[k] = n[k];
      if (n[k] > high[k]) high[k] = n[k];
    }
  }
  uint16_t entries = 0;
  float scales[4], offsets[4];
  for (int32_t k = 0; k < 4; ++k) {
    int32_t chosen = 0;
    if (low[k] <= high[k]) {
      for (int32_t e = 7; e >= 0; --e) {
        const quaternion_scale_offset& entry = QuaternionScaleOffsetTable[e];
        if (entry.Offset <= low[k] && entry.Offset + entry.Scale >= high[k]) {
          chosen = e;
          break;
        }
      }
    }
    entries = static_cast<uint16_t>(entries | (chosen << (4 * k)));
    scales[k] = QuaternionScaleOffsetTable[chosen].Scale;
    offsets[k] = QuaternionScaleOffsetTable[chosen].Offset;
  }
  record->ScaleOffsetTableEntries = entries;
  uint32_t top = static_cast<uint32_t>(q) + 1;
  for (int32_t i = 0; i < knotCount; ++i) {
    float n[4];
    normalized(i, n);
    int32_t d = DroppedComponent(n);
    int64_t base = knotCount + 3 * int64_t{i};
    for (int32_t s = 0; s < 3; ++s) {
      int32_t k = (d + 1 + s) & 3;
      uint32_t code = Quantize((n[k] - offsets[k]) / (scales[k] / q), static_cast<float>(q));
      if (s == 0 && n[d] < 0.0f) code |= top;
      if (s == 1 && (d & 2)) code |= top;
      if (s == 2 && (d & 1)) code |= top;
      StoreCode(codes, bytes, base + s, code);
    }
  }
}

// DaSampledBits: the knots' spacing (0 when they are not i * spacing), and
// the steps and bases of the keys.
float UniformSpacing(int32_t knotCount, const float* knots) {
  if (knots == nullptr || knotCount < 2) return 0.0f;
  float spacing = knots[knotCount - 1] / static_cast<float>(knotCount - 1);
  if (!(spacing > 0.0f) || !std::isfinite(spacing)) return 0.0f;
  for (int32_t i = 0; i < knotCount; ++i) {
    if (!(std::fabs(knots[i] - static_cast<float>(i) * spacing) <= spacing * 1e-3f)) return 0.0f;
  }
  return spacing;
}

void SampledStepsBases(int32_t dimension, int32_t knotCount, const float* controls,
                       const float* steps, float* outSteps, float* outBases) {
  SampledBases(dimension, knotCount, controls, outBases);
  for (int32_t c = 0; c < dimension; ++c) {
    if (steps != nullptr) {
      outSteps[c] = steps[c];
      continue;
    }
    float high = controls[c];
    for (int32_t i = 1; i < knotCount; ++i)
      high = std::fmax(high, controls[int64_t{i} * dimension + c]);
    const float step = (high - outBases[c]) * 1.5259022e-5f;
    outSteps[c] = step > 0.0f ? step : 1.0f;
  }
}

size_t SampledLayout(int32_t dimension, size_t streamBytes) {
  size_t size = AlignUp(sizeof(curve_data_da_sampled_bits), 4) + 8 * static_cast<size_t>(dimension);
  return AlignUp(size + streamBytes, 8);
}

}  // namespace

size_t SampledCurveDataSize(int32_t degree, int32_t dimension, int32_t knotCount,
                            const float* knots, const float* controls, const float* steps) {
  // Degree 1 only: the curve passes through its keys.
  if (degree != 1 || dimension < 1 || dimension > kMaxCurveDimension || controls == nullptr ||
      UniformSpacing(knotCount, knots) == 0.0f) {
    return 0;
  }
  float s[kMaxCurveDimension], b[kMaxCurveDimension];
  SampledStepsBases(dimension, knotCount, controls, steps, s, b);
  size_t stream = SampledStreamSize(dimension, knotCount, controls, s, b);
  return stream > 0 && stream <= INT32_MAX ? SampledLayout(dimension, stream) : 0;
}

bool EncodeSampledCurveData(int32_t degree, int32_t dimension, int32_t knotCount,
                            const float* knots, const float* controls, const float* steps,
                            void* memory, size_t size) {
  if (!KT_CHECK_PARAMETER(Curve, memory != nullptr && degree == 1 && dimension >= 1 &&
                                     dimension <= kMaxCurveDimension && controls != nullptr)) {
    return false;
  }
  float spacing = UniformSpacing(knotCount, knots);
  float s[kMaxCurveDimension], b[kMaxCurveDimension];
  SampledStepsBases(dimension, knotCount, controls, steps, s, b);
  size_t stream = spacing > 0.0f ? SampledStreamSize(dimension, knotCount, controls, s, b) : 0;
  if (stream == 0 || SampledLayout(dimension, stream) != size) {
    KT_LOG_ERROR(Curve, "Keys cannot be coded as DaSampledBits (uneven knots or steps too fine)");
    return false;
  }
  auto* record = static_cast<curve_data_da_sampled_bits*>(memory);
  record->Header.Format = static_cast<uint8_t>(CurveFormatDaSampledBits);
  record->Header.Degree = static_cast<uint8_t>(degree);
  record->Dimension = static_cast<int16_t>(dimension);
  record->SampleSpacing = spacing;
  record->KeyCount = knotCount;
  char* cursor = static_cast<char*>(memory) + AlignUp(sizeof(curve_data_da_sampled_bits), 4);
  auto* stepsBases = reinterpret_cast<float*>(cursor);
  for (int32_t c = 0; c < dimension; ++c) {
    stepsBases[c] = s[c];
    stepsBases[dimension + c] = b[c];
  }
  auto* bytes = reinterpret_cast<uint8_t*>(cursor + 8 * dimension);
  record->ControlScaleOffsetCount = 2 * dimension;
  record->ControlScaleOffsets = stepsBases;
  record->KeyStreamCount = static_cast<int32_t>(stream);
  record->KeyStream = bytes;
  return WriteSampledStream(dimension, knotCount, controls, s, b, bytes, stream);
}

bool EncodeCurveData(int32_t format, int32_t degree, int32_t dimension, int32_t knotCount,
                     const float* knots, const float* controls, void* memory) {
  if (!KT_CHECK_PARAMETER(Curve, format >= 0 && format < kCurveFormatCount && memory != nullptr &&
                                     degree >= 0 && degree <= 255 && dimension >= 0 &&
                                     dimension <= kMaxCurveDimension && knotCount >= 0)) {
    return false;
  }
  if (format == CurveFormatDaSampledBits) {
    // Its size depends on its keys: EncodeSampledCurveData writes it.
    KT_PARAMETER_CHECK_FAILED(Curve);
    return false;
  }
  const format_layout& layout = kLayouts[format];
  if (layout.FixedDimension != 0 && dimension != layout.FixedDimension) {
    KT_LOG_ERROR(Curve, "Curve dimension %d does not fit format %s", dimension, layout.Name);
    return false;
  }
  if (knotCount > 0 && controls == nullptr && format != CurveFormatDaIdentity) {
    KT_PARAMETER_CHECK_FAILED(Curve);
    return false;
  }
  auto* header = static_cast<curve_data_header*>(memory);
  header->Format = static_cast<uint8_t>(format);
  header->Degree = static_cast<uint8_t>(degree);
  // Arrays follow the record in the order of the layout.
  int64_t counts[2] = {0, 0};
  ArrayCounts(format, dimension, knotCount, counts);
  char* cursor = static_cast<char*>(memory) + layout.RecordSize;
  void* arrays[2] = {nullptr, nullptr};
  for (int32_t a = 0; a < layout.ArrayCount; ++a) {
    cursor = reinterpret_cast<char*>(AlignUp(reinterpret_cast<uintptr_t>(cursor), 4));
    arrays[a] = counts[a] > 0 ? cursor : nullptr;
    WriteInt32(memory, layout.CountOffset[a], static_cast<int32_t>(counts[a]));
    WritePointer(memory, layout.PointerOffset[a], arrays[a]);
    cursor += counts[a] * layout.ElementSize[a];
  }
  int64_t controlFloats = int64_t{knotCount} * dimension;
  auto knotAt = [&](int32_t i) { return knots != nullptr ? knots[i] : 0.0f; };
  switch (format) {
    case CurveFormatDaKeyframes32f: {
      int16_t d = static_cast<int16_t>(dimension);
      std::memcpy(static_cast<char*>(memory) + 2, &d, sizeof(d));
      if (controlFloats > 0) std::memcpy(arrays[0], controls, sizeof(float) * controlFloats);
      return true;
    }
    case CurveFormatDaK32fC32f:
      for (int32_t i = 0; i < knotCount; ++i) static_cast<float*>(arrays[0])[i] = knotAt(i);
      if (controlFloats > 0) std::memcpy(arrays[1], controls, sizeof(float) * controlFloats);
      return true;
    case CurveFormatDaIdentity: {
      int16_t d = static_cast<int16_t>(dimension);
      std::memcpy(static_cast<char*>(memory) + 2, &d, sizeof(d));
      return true;
    }
    case CurveFormatDaConstant32f:
      if (dimension > 0) std::memcpy(arrays[0], controls, sizeof(float) * dimension);
      return true;
    case CurveFormatD3Constant32f:
    case CurveFormatD4Constant32f:
      std::memcpy(static_cast<char*>(memory) + 4, controls, sizeof(float) * dimension);
      return true;
    default:
      break;
  }
  // The packed formats: knot codes first, then the control codes.
  void* codes = arrays[layout.ArrayCount - 1];
  int32_t bytes = layout.CodeBytes;
  uint16_t truncated = 0;
  float knotScale = 0.0f;
  if (format == CurveFormatD3I1K32fC32f) {
    for (int32_t i = 0; i < knotCount; ++i) static_cast<float*>(codes)[i] = knotAt(i);
  } else {
    knotScale = KnotScaleFor(format, knotCount > 0 ? knotAt(knotCount - 1) : 0.0f, &truncated);
    float limit = static_cast<float>(KnotCodeMax(format));
    // Readers search the codes as a sorted list: a knot nudged below the one
    // before it (the fitter rounds piece starts down) takes that one's code.
    uint32_t previous = 0;
    for (int32_t i = 0; i < knotCount; ++i) {
      const uint32_t code = std::max(previous, Quantize(knotAt(i) * knotScale, limit));
      StoreCode(codes, bytes, i, code);
      previous = code;
    }
    if (HasTruncatedKnotScale(format)) std::memcpy(static_cast<char*>(memory) + 2, &truncated, 2);
  }
  float limit = static_cast<float>(layout.CodeMax);
  float inverseMax = bytes == 2 ? 1.5259022e-5f : 0.003921569f;
  switch (format) {
    case CurveFormatD4nK16uC15u:
    case CurveFormatD4nK8uC7u: {
      auto* record = static_cast<curve_data_d4n*>(memory);
      record->OneOverKnotScale = knotScale;
      EncodeQuaternions(knotCount, controls, bytes, layout.CodeMax, record, codes);
      return true;
    }
    case CurveFormatD3I1K32fC32f:
    case CurveFormatD3I1K16uC16u:
    case CurveFormatD3I1K8uC8u: {
      auto* record = static_cast<curve_data_d3_scaled*>(memory);
      float start[3], direction[3];
      FitLineToPoints(controls, knotCount, start, direction);
      float squared =
          direction[0] * direction[0] + direction[1] * direction[1] + direction[2] * direction[2];
      for (int32_t i = 0; i < knotCount; ++i) {
        const float* p = controls + 3 * int64_t{i};
        float u = 0.0f;
        if (squared > 0.0f && std::isfinite(squared)) {
          u = ((p[0] - start[0]) * direction[0] + (p[1] - start[1]) * direction[1] +
               (p[2] - start[2]) * direction[2]) /
              squared;
        }
        if (format == CurveFormatD3I1K32fC32f) {
          static_cast<float*>(codes)[knotCount + i] = u;
        } else {
          StoreCode(codes, bytes, knotCount + i, Quantize(u * limit, limit));
        }
      }
      float factor = format == CurveFormatD3I1K32fC32f ? 1.0f : inverseMax;
      for (int32_t j = 0; j < 3; ++j) {
        record->ControlScales[j] = direction[j] * factor;
        record->ControlOffsets[j] = start[j];
      }
      return true;
    }
    default:
      break;
  }
  // One scale and offset per stored number; D9 formats store matrix elements.
  int32_t stored = StoredCount(format, dimension);
  bool isMatrix = layout.FixedDimension == 9;
  float scales[16], offsets[16];
  for (int32_t s = 0; s < stored; ++s) {
    int32_t component = isMatrix ? 4 * s : s;
    RangeOf(controls + component, knotCount, dimension, inverseMax, &scales[s], &offsets[s]);
  }
  for (int32_t i = 0; i < knotCount; ++i) {
    for (int32_t s = 0; s < stored; ++s) {
      float value = controls[int64_t{i} * dimension + (isMatrix ? 4 * s : s)];
      StoreCode(codes, bytes, knotCount + int64_t{i} * stored + s,
                Quantize((value - offsets[s]) / scales[s], limit));
    }
  }
  if (format == CurveFormatDaK16uC16u || format == CurveFormatDaK8uC8u) {
    float* scaleOffsets = static_cast<float*>(arrays[0]);
    for (int32_t s = 0; s < stored; ++s) {
      scaleOffsets[s] = scales[s];
      scaleOffsets[stored + s] = offsets[s];
    }
  } else if (stored == 1) {
    auto* record = static_cast<curve_data_d9i1*>(memory);
    record->ControlScale = scales[0];
    record->ControlOffset = offsets[0];
  } else {
    auto* record = static_cast<curve_data_d3_scaled*>(memory);
    for (int32_t s = 0; s < 3; ++s) {
      record->ControlScales[s] = scales[s];
      record->ControlOffsets[s] = offsets[s];
    }
  }
  return true;
}

bool PermuteCurveData3(void* record, const int32_t* perm, const float* factor,
                       const float* offset) {
  curve_data_view view;
  if (!ReadCurveData(record, &view) || view.Dimension != 3) return false;
  for (int32_t j = 0; j < 3; ++j)
    if (perm[j] < 0 || perm[j] > 2) return false;
  auto floats = [&](float* values, int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
      float* v = values + 3 * i;
      float old[3] = {v[0], v[1], v[2]};
      for (int32_t j = 0; j < 3; ++j) v[j] = old[perm[j]] * factor[j] + offset[j];
    }
  };
  auto scales = [&](float* scale, float* shift) {
    float oldScale[3] = {scale[0], scale[1], scale[2]},
          oldShift[3] = {shift[0], shift[1], shift[2]};
    for (int32_t j = 0; j < 3; ++j) {
      scale[j] = oldScale[perm[j]] * factor[j];
      shift[j] = oldShift[perm[j]] * factor[j] + offset[j];
    }
  };
  auto codes = [&]() {
    for (int64_t i = 0; i < view.KnotCount; ++i) {
      int64_t base = view.KnotCount + 3 * i;
      uint32_t old[3] = {CodeAt(view, base), CodeAt(view, base + 1), CodeAt(view, base + 2)};
      for (int32_t j = 0; j < 3; ++j)
        StoreCode(const_cast<void*>(view.Codes), view.CodeBytes, base + j, old[perm[j]]);
    }
  };
  switch (view.Format) {
    case CurveFormatDaK32fC32f:
    case CurveFormatDaConstant32f:
    case CurveFormatD3Constant32f:
      floats(const_cast<float*>(view.Controls),
             view.Format == CurveFormatDaK32fC32f ? view.KnotCount : 1);
      return true;
    case CurveFormatDaK16uC16u:
    case CurveFormatDaK8uC8u: {
      auto* r = static_cast<curve_data_da_quantized*>(record);
      float* so = r->ControlScaleOffsets;
      codes();
      scales(so, so + 3);
      return true;
    }
    case CurveFormatD3K16uC16u:
    case CurveFormatD3K8uC8u:
    case CurveFormatD3I1K32fC32f:
    case CurveFormatD3I1K16uC16u:
    case CurveFormatD3I1K8uC8u: {
      auto* r = static_cast<curve_data_d3_scaled*>(record);
      // Line formats store one number per control: only the line moves.
      if (view.Stored == 3) codes();
      float scale[3], shift[3];
      for (int32_t j = 0; j < 3; ++j)
        scale[j] = r->ControlScales[j], shift[j] = r->ControlOffsets[j];
      scales(scale, shift);
      for (int32_t j = 0; j < 3; ++j)
        r->ControlScales[j] = scale[j], r->ControlOffsets[j] = shift[j];
      return true;
    }
    default:
      return false;
  }
}

}  // namespace ketrel
