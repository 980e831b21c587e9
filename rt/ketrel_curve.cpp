#include "rt/ketrel_curve.h"

#include <cmath>
#include <cstring>

#include "rt/ketrel_bspline.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_object_ops.h"

namespace ketrel {
namespace {

// A record is read by its header's format only when its type agrees: a
// damaged file can label any record a curve.
bool ViewOf(const curve2* curve, curve_data_view* view) {
  *view = curve_data_view{};
  return curve != nullptr && CurveDataIsOfType(curve->CurveData.Object, curve->CurveData.Type) &&
         ReadCurveData(curve->CurveData.Object, view);
}

// The data of a copy or of an encoding, in bytes; 0 when it cannot be made.
size_t DataSizeOf(const curve_builder* builder) {
  if (builder->Source != nullptr) return CurveDataCopySize(builder->Source->CurveData.Object);
  if (builder->Format == CurveFormatDaSampledBits) {
    return SampledCurveDataSize(builder->Degree, builder->Dimension, builder->KnotCount,
                                builder->Knots, builder->Controls, builder->Steps);
  }
  return CurveDataSize(builder->Format, builder->Dimension, builder->KnotCount);
}

// Checks what EndCurve needs beyond the format; logs and returns false.
bool BuilderIsComplete(const curve_builder* builder) {
  if (builder->Source != nullptr) {
    if (CurveDataCopySize(builder->Source->CurveData.Object) == 0) {
      KT_LOG_ERROR(Curve, "Unknown curve type - returning NULL");
      return false;
    }
    return true;
  }
  bool identity = builder->Format == CurveFormatDaIdentity;
  if (builder->Controls != nullptr && builder->Knots == nullptr && builder->KnotCount != 1 &&
      !(builder->Format == CurveFormatDaKeyframes32f && builder->Degree == 0)) {
    KT_LOG_ERROR(Curve, "Unknown curve type - returning NULL");
    return false;
  }
  if (!identity && builder->KnotCount != 0 && builder->Controls == nullptr) {
    KT_LOG_ERROR(Curve,
                 "Need either a source curve to copy, or both knot and control arrays - "
                 "returning NULL");
    return false;
  }
  if (builder->Degree < 0 || builder->Degree > kMaxBSplineDegree || builder->Dimension < 0 ||
      builder->Dimension > kMaxCurveDimension || builder->KnotCount < 0) {
    KT_PARAMETER_CHECK_FAILED(Curve);
    return false;
  }
  return true;
}

bool WriteCurve(const curve_builder* builder, curve2* curve, void* data) {
  bool written;
  if (builder->Source != nullptr) {
    written = CopyCurveData(builder->Source->CurveData.Object, data);
  } else if (builder->Format == CurveFormatDaSampledBits) {
    written = EncodeSampledCurveData(builder->Degree, builder->Dimension, builder->KnotCount,
                                     builder->Knots, builder->Controls, builder->Steps, data,
                                     DataSizeOf(builder));
  } else {
    written = EncodeCurveData(builder->Format, builder->Degree, builder->Dimension,
                              builder->KnotCount, builder->Knots, builder->Controls, data);
  }
  if (!written) return false;
  curve->CurveData.Type = builder->FormatType;
  curve->CurveData.Object = data;
  return true;
}

void FreeBuilder(curve_builder* builder) {
  if (builder != nullptr && builder->OwnsItself) FreeBlock(builder);
}

}  // namespace

void BeginCurveInPlace(curve_builder* builder, data_type_definition* format, int32_t degree,
                       int32_t dimension, int32_t knotCount) {
  if (builder == nullptr) return;
  *builder = curve_builder{};
  builder->FormatType = format;
  builder->Format = FindCurveFormat(format);
  builder->Degree = degree;
  builder->Dimension = dimension;
  builder->KnotCount = knotCount;
  if (builder->Format == CurveFormatUnknown) {
    KT_LOG_ERROR(Curve,
                 "Invalid format specified for a ketrel_curve2 - creating this curve will fail");
  } else {
    // Always refer to the library's own definition of the format.
    builder->FormatType = GetCurveFormatType(builder->Format);
  }
}

curve_builder* BeginCurve(data_type_definition* format, int32_t degree, int32_t dimension,
                          int32_t knotCount) {
  auto* builder = static_cast<curve_builder*>(KT_ALLOCATE(sizeof(curve_builder)));
  if (builder == nullptr) return nullptr;
  BeginCurveInPlace(builder, format, degree, dimension, knotCount);
  builder->OwnsItself = true;
  return builder;
}

curve_builder* BeginCurveCopy(const curve2* source) {
  curve_data_view view;
  bool known = ViewOf(source, &view);
  curve_builder* builder = BeginCurve(known ? GetCurveFormatType(view.Format) : nullptr,
                                      view.Degree, view.Dimension, view.KnotCount);
  if (builder != nullptr && known) builder->Source = source;
  return builder;
}

void BeginCurveCopyInPlace(curve_builder* builder, const curve2* source) {
  curve_data_view view;
  bool known = ViewOf(source, &view);
  BeginCurveInPlace(builder, known ? GetCurveFormatType(view.Format) : nullptr, view.Degree,
                    view.Dimension, view.KnotCount);
  if (known) builder->Source = source;
}

void SetKnotArray(curve_builder* builder, const float* knots) {
  if (builder != nullptr) builder->Knots = knots;
}

void SetControlArray(curve_builder* builder, const float* controls) {
  if (builder != nullptr) builder->Controls = controls;
}

void SetSampleData(curve_builder* builder, int32_t sampleCount, int32_t sampleDimension,
                   const float* samples, const float* unprocessedSamples) {
  if (builder == nullptr) return;
  builder->SampleCount = sampleCount;
  builder->SampleDimension = sampleDimension;
  builder->Samples = samples;
  builder->UnprocessedSamples = unprocessedSamples;
}

void SetControlSteps(curve_builder* builder, const float* steps) {
  if (builder != nullptr) builder->Steps = steps;
}

int32_t GetResultingCurveDataSize(const curve_builder* builder) {
  if (builder == nullptr) return 0;
  if (builder->Format == CurveFormatUnknown) {
    KT_LOG_ERROR(Curve, "Invalid format specified for a ketrel_curve2 - returning size of 0");
    return 0;
  }
  size_t size = DataSizeOf(builder);
  return size <= INT32_MAX - sizeof(curve2) ? static_cast<int32_t>(size) : 0;
}

int32_t GetResultingCurveSize(const curve_builder* builder) {
  int32_t data = GetResultingCurveDataSize(builder);
  return data > 0 ? data + static_cast<int32_t>(sizeof(curve2)) : 0;
}

curve2* EndCurve(curve_builder* builder) {
  if (builder == nullptr) {
    KT_LOG_ERROR(Curve, "Invalid curve_builder address - returning NULL");
    return nullptr;
  }
  curve2* result = nullptr;
  if (builder->Format == CurveFormatUnknown) {
    KT_LOG_ERROR(Curve, "Invalid format specified for a ketrel_curve2 - returning NULL");
  } else if (BuilderIsComplete(builder)) {
    size_t data = DataSizeOf(builder);
    // curve2 is 16 bytes, so the data that follows stays 16-aligned.
    void* block = data > 0 ? KT_ALLOCATE_CLEARED(sizeof(curve2) + data) : nullptr;
    if (block == nullptr) {
      KT_LOG_ERROR(Curve, "Out of memory or invalid address for curve - returning NULL");
    } else if (WriteCurve(builder, static_cast<curve2*>(block),
                          static_cast<char*>(block) + sizeof(curve2))) {
      result = static_cast<curve2*>(block);
    } else {
      FreeBlock(block);
    }
  }
  FreeBuilder(builder);
  return result;
}

curve2* EndCurveInPlace(curve_builder* builder, void* curveMemory, void* dataMemory) {
  if (builder == nullptr) {
    KT_LOG_ERROR(Curve, "Invalid curve_builder address - returning NULL");
    return nullptr;
  }
  curve2* result = nullptr;
  if (builder->Format == CurveFormatUnknown) {
    KT_LOG_ERROR(Curve, "Invalid format specified for a ketrel_curve2 - returning NULL");
  } else if (curveMemory == nullptr || dataMemory == nullptr ||
             (reinterpret_cast<uintptr_t>(dataMemory) & 7) != 0) {
    KT_LOG_ERROR(Curve, "Out of memory or invalid address for curve - returning NULL");
  } else if (BuilderIsComplete(builder)) {
    std::memset(dataMemory, 0, DataSizeOf(builder));
    auto* curve = static_cast<curve2*>(curveMemory);
    if (WriteCurve(builder, curve, dataMemory)) result = curve;
  }
  FreeBuilder(builder);
  return result;
}

void FreeCurve(curve2* curve) { FreeBlock(curve); }

// ---- Queries ----------------------------------------------------------------

int32_t GetCurveFormat(const curve2* curve) {
  curve_data_view view;
  return ViewOf(curve, &view) ? view.Format : CurveFormatUnknown;
}

bool CurveRecordMatchesType(const curve2* curve) {
  curve_data_view view;
  if (!ViewOf(curve, &view)) return false;
  // A damaged file can point a record's arrays anywhere, also where their
  // numbers cannot be read as such.
  auto aligned = [](const void* p, int32_t alignment) {
    return alignment <= 1 || reinterpret_cast<uintptr_t>(p) % uintptr_t(alignment) == 0;
  };
  return aligned(view.Knots, 4) && aligned(view.Controls, 4) && aligned(view.Codes, view.CodeBytes);
}

int32_t GetCurveDegree(const curve2* curve) {
  curve_data_view view;
  return ViewOf(curve, &view) ? view.Degree : 0;
}

int32_t GetCurveDimension(const curve2* curve) {
  curve_data_view view;
  return ViewOf(curve, &view) && view.KnotCount > 0 ? view.Dimension : 0;
}

int32_t GetCurveStoredDimension(const curve2* curve) {
  curve_data_view view;
  return ViewOf(curve, &view) ? view.Dimension : 0;
}

int32_t GetCurveKnotCount(const curve2* curve) {
  curve_data_view view;
  return ViewOf(curve, &view) ? view.KnotCount : 0;
}

int32_t GetCurveByteSize(const curve2* curve) {
  if (curve == nullptr || !CurveDataIsOfType(curve->CurveData.Object, curve->CurveData.Type))
    return 0;
  size_t size = CurveDataCopySize(curve->CurveData.Object);
  return size > 0 ? static_cast<int32_t>(size + sizeof(curve2)) : 0;
}

int32_t FindCurveKnot(const curve2* curve, float t) {
  curve_data_view view;
  return ViewOf(curve, &view) ? FindKnotInView(view, t) : -1;
}

bool ExtractCurveKnotsControls(const curve2* curve, int32_t first, int32_t count, float* knots,
                               float* controls, const float* identity) {
  curve_data_view view;
  if (!KT_CHECK_PARAMETER(Curve, ViewOf(curve, &view))) return false;
  return DecodeKnotsControls(view, first, count, knots, controls, identity);
}

int32_t FindDecreasingKnot(const curve2* curve) {
  curve_data_view view;
  if (!ViewOf(curve, &view)) return -2;
  const int32_t count = GetCurveKnotCount(curve);
  // In pieces, so that a long curve needs no buffer of its own.
  constexpr int32_t kPiece = 256;
  float knots[kPiece];
  float last = -INFINITY;
  for (int32_t first = 0; first < count; first += kPiece) {
    const int32_t n = count - first < kPiece ? count - first : kPiece;
    if (!DecodeKnotsControls(view, first, n, knots, nullptr, nullptr)) return -2;
    for (int32_t i = 0; i < n; ++i) {
      if (!(knots[i] >= last)) return first + i;
      last = knots[i];
    }
  }
  return -1;
}

namespace {

bool IsKeyframed(const curve_data_view& view, const curve2* curve) {
  if (view.Format == CurveFormatDaKeyframes32f) return true;
  const auto* record = static_cast<const curve_data_da_k32f_c32f*>(curve->CurveData.Object);
  return view.Format == CurveFormatDaK32fC32f && view.KnotCount == 0 && record->ControlCount > 0 &&
         record->Controls != nullptr;
}

bool IsIdentity(const curve_data_view& view, const curve2* curve) {
  if (view.Format == CurveFormatDaIdentity) return true;
  const auto* record = static_cast<const curve_data_da_k32f_c32f*>(curve->CurveData.Object);
  return view.Format == CurveFormatDaK32fC32f && view.KnotCount == 0 &&
         !(record->ControlCount > 0 && record->Controls != nullptr);
}

bool IsConstantOrIdentity(const curve_data_view& view, const curve2* curve) {
  if (view.Format >= CurveFormatDaIdentity && view.Format <= CurveFormatD4Constant32f) return true;
  return view.Format == CurveFormatDaK32fC32f && (view.KnotCount == 1 || IsIdentity(view, curve));
}

}  // namespace

bool CurveIsKeyframed(const curve2* curve) {
  curve_data_view view;
  return ViewOf(curve, &view) && IsKeyframed(view, curve);
}

bool CurveIsIdentity(const curve2* curve) {
  curve_data_view view;
  return ViewOf(curve, &view) && IsIdentity(view, curve);
}

bool CurveIsConstantOrIdentity(const curve2* curve) {
  curve_data_view view;
  return ViewOf(curve, &view) && IsConstantOrIdentity(view, curve);
}

bool CurveIsConstantNotIdentity(const curve2* curve) {
  curve_data_view view;
  return ViewOf(curve, &view) && IsConstantOrIdentity(view, curve) && !IsIdentity(view, curve);
}

bool SetCurveKnotsControls(curve2* curve, int32_t knotCount, int32_t dimension, const float* knots,
                           const float* controls) {
  curve_data_view view;
  if (!KT_CHECK_PARAMETER(Curve, ViewOf(curve, &view))) return false;
  if (dimension != view.Dimension) {
    KT_LOG_ERROR(Curve, "Curve and argument dimensions do not match");
    return false;
  }
  if (knotCount != view.KnotCount) {
    KT_LOG_ERROR(Curve, "Curve and argument knot counts do not match");
    return false;
  }
  if (view.Format == CurveFormatDaIdentity) return true;
  // Encode beside the curve, then move the numbers into the curve's own
  // arrays, whose sizes are the same for the same shape and format.
  // Sampled keys keep their steps; they fit in place only when their stream
  // comes out the same length.
  const bool sampled = view.Format == CurveFormatDaSampledBits;
  size_t size = sampled ? SampledCurveDataSize(view.Degree, dimension, knotCount, knots, controls,
                                               view.Scales)
                        : CurveDataSize(view.Format, dimension, knotCount);
  if (sampled && size != CurveDataCopySize(curve->CurveData.Object)) {
    KT_LOG_ERROR(Curve,
                 "Sampled keys take another size once re-encoded - this curve cannot be "
                 "rewritten in place");
    return false;
  }
  void* encoded = size > 0 ? KT_ALLOCATE_CLEARED(size) : nullptr;
  if (encoded == nullptr) return false;
  bool ok = (sampled ? EncodeSampledCurveData(view.Degree, dimension, knotCount, knots, controls,
                                              view.Scales, encoded, size)
                     : EncodeCurveData(view.Format, view.Degree, dimension, knotCount, knots,
                                       controls, encoded)) &&
            OverwriteCurveData(encoded, curve->CurveData.Object);
  FreeBlock(encoded);
  return ok;
}

// ---- Evaluation -------------------------------------------------------------

namespace {

struct neighbour {
  curve_data_view view;
  bool present = false;
  bool identity = false;
};

neighbour NeighbourOf(const curve2* curve, int32_t dimension) {
  neighbour n;
  if (!ViewOf(curve, &n.view)) return n;
  n.identity = IsIdentity(n.view, curve);
  n.present = n.identity || (n.view.KnotCount > 0 && n.view.Dimension == dimension &&
                             n.view.Format != CurveFormatDaKeyframes32f);
  return n;
}

// Knot and control of window entry `index`, which may lie before or after
// the curve: then it comes from the neighbour, or repeats the end. False
// when a record does not decode (a damaged key stream).
bool WindowEntry(const curve_data_view& view, int32_t index, const neighbour& previous,
                 const neighbour& next, float duration, const float* identity, float* knot,
                 float* control) {
  int32_t count = view.KnotCount;
  int32_t d = view.Dimension;
  auto identityValue = [&](float* out) {
    for (int32_t j = 0; j < d; ++j) out[j] = identity != nullptr ? identity[j] : 0.0f;
  };
  if (index >= 0 && index < count) {
    return DecodeKnotsControls(view, index, 1, knot, control, identity);
  } else if (index < 0) {
    if (previous.present && previous.identity) {
      if (!DecodeKnotsControls(view, 0, 1, knot, nullptr, identity)) return false;
      if (knot != nullptr) *knot += static_cast<float>(index) * duration;
      if (control != nullptr) identityValue(control);
    } else if (previous.present) {
      int32_t j = previous.view.KnotCount - 1 + index;
      if (j < 0) j = 0;
      if (!DecodeKnotsControls(previous.view, j, 1, knot, control, identity)) return false;
      if (knot != nullptr) *knot -= duration;
    } else {
      return DecodeKnotsControls(view, 0, 1, knot, control, identity);
    }
  } else {
    int32_t past = index - (count - 1);
    if (next.present && next.identity) {
      if (!DecodeKnotsControls(view, count - 1, 1, knot, nullptr, identity)) return false;
      if (knot != nullptr) *knot += static_cast<float>(past) * duration;
      if (control != nullptr) identityValue(control);
    } else if (next.present) {
      int32_t j = past < next.view.KnotCount ? past : next.view.KnotCount - 1;
      if (!DecodeKnotsControls(next.view, j, 1, knot, control, identity)) return false;
      if (knot != nullptr) *knot += duration;
    } else {
      return DecodeKnotsControls(view, count - 1, 1, knot, control, identity);
    }
  }
  return true;
}

}  // namespace

namespace {

// Orientation keys (one per sample) turn between each two as the source's
// keys do, at a steady rate: a linear blend of quaternions runs fast in the
// middle of a wide step and slow at its ends (0.45 degrees off a quarter of
// the way through a 90-degree step, such as a capture's first frame in the
// bind pose). Close keys blend linearly, as the rate there differs by less
// than float rounding.
bool SlerpKeys(const float* knots, const float* keys, float t, float* result) {
  const float span = knots[1] - knots[0];
  double u = span > 0.0f ? (static_cast<double>(t) - knots[0]) / span : 0.0;
  u = u < 0.0 ? 0.0 : (u > 1.0 ? 1.0 : u);
  return TurnBetween(keys, keys + 4, u, result);
}

static_assert(sizeof(curve_window::Knots) / sizeof(float) >= 2 * kMaxBSplineDegree &&
              sizeof(curve_window::Controls) / sizeof(float) >=
                  (kMaxBSplineDegree + 1) * kMaxCurveDimension);

// The knots and control points a frame at `knotIndex` blends, read (and
// for quaternions turned into one hemisphere) once: a fit measures many
// samples on one span.
bool FillWindow(const curve_data_view& view, int32_t dimension, bool normalize,
                const curve2* previous, const curve2* next, float duration, int32_t knotIndex,
                const float* identity, curve_window* window) {
  int32_t p = view.Degree;
  int32_t first = knotIndex - p;
  bool inside = first >= 0 && knotIndex + p - 1 < view.KnotCount;
  window->Knot = -1;
  window->DirectKnots = window->DirectControls = nullptr;
  if (inside && view.Format == CurveFormatDaK32fC32f) {
    window->DirectKnots = view.Knots + first;
    window->DirectControls = view.Controls + int64_t{first} * dimension;
    window->Knot = knotIndex;
    return true;
  }
  float* knotWindow = window->Knots;
  float* controlWindow = window->Controls;
  bool decoded = true;
  if (inside) {
    // One read of the window: formats that decode keys in sequence (the
    // sampled keys) walk their segment once, not once per entry.
    decoded = DecodeKnotsControls(view, first, 2 * p, knotWindow, nullptr, identity) &&
              DecodeKnotsControls(view, first, p + 1, nullptr, controlWindow, identity);
  } else {
    // Most evaluations have no neighbours: spare reading (and clearing) two
    // empty records for them.
    static const neighbour kNone;
    const neighbour& before = previous != nullptr ? NeighbourOf(previous, dimension) : kNone;
    const neighbour& after = next != nullptr ? NeighbourOf(next, dimension) : kNone;
    for (int32_t w = 0; w < 2 * p && decoded; ++w) {
      decoded =
          WindowEntry(view, first + w, before, after, duration, identity, &knotWindow[w], nullptr);
    }
    for (int32_t w = 0; w <= p && decoded; ++w) {
      decoded = WindowEntry(view, first + w, before, after, duration, identity, nullptr,
                            &controlWindow[w * dimension]);
    }
  }
  if (!decoded) return false;
  if (normalize && dimension == 4) {
    // Keep neighbouring quaternions in one hemisphere so the blend does
    // not pass through zero.
    for (int32_t w = 1; w <= p; ++w) {
      float* q = &controlWindow[w * 4];
      const float* before_q = &controlWindow[(w - 1) * 4];
      if (q[0] * before_q[0] + q[1] * before_q[1] + q[2] * before_q[2] + q[3] * before_q[3] <
          0.0f) {
        for (int32_t k = 0; k < 4; ++k) q[k] = -q[k];
      }
    }
  }
  window->Knot = knotIndex;
  return true;
}

bool EvaluateWindow(const curve_data_view& view, int32_t dimension, bool normalize,
                    const curve_window& window, float t, float* result) {
  const int32_t p = view.Degree;
  const float* knots = window.DirectKnots != nullptr ? window.DirectKnots : window.Knots;
  const float* controls = window.DirectKnots != nullptr ? window.DirectControls : window.Controls;
  if (normalize && dimension == 4 && p == 1 && view.Format == CurveFormatDaSampledBits) {
    return SlerpKeys(knots, controls, t, result);
  }
  return normalize ? EvaluateBSplineNormalized(p, dimension, knots, controls, t, result)
                   : EvaluateBSpline(p, dimension, knots, controls, t, result);
}

// The checks and the single-value curves before any window.
enum class view_answer { Window, Done, Failed };
view_answer AnswerWithoutWindow(const curve_data_view& view, bool keyframed, bool isIdentity,
                                int32_t dimension, int32_t knotIndex, float* result,
                                const float* identity) {
  if (!KT_CHECK_PARAMETER(Curve, result != nullptr && !keyframed)) return view_answer::Failed;
  if (isIdentity) {
    for (int32_t j = 0; j < dimension; ++j) result[j] = identity != nullptr ? identity[j] : 0.0f;
    return view_answer::Done;
  }
  if (!KT_CHECK_PARAMETER(Curve, dimension == view.Dimension && view.Degree <= kMaxBSplineDegree &&
                                     knotIndex >= 0 && knotIndex < view.KnotCount)) {
    return view_answer::Failed;
  }
  if (view.KnotCount == 1 || view.Format == CurveFormatDaConstant32f ||
      view.Format == CurveFormatD3Constant32f || view.Format == CurveFormatD4Constant32f) {
    return DecodeKnotsControls(view, 0, 1, nullptr, result, identity) ? view_answer::Done
                                                                      : view_answer::Failed;
  }
  return view_answer::Window;
}

// A window already read for this knot (and the same normalising) is used
// as it is; a fresh one (Knot -1) is read.
bool EvaluateInWindow(const curve_data_view& view, bool keyframed, bool isIdentity,
                      int32_t dimension, bool normalize, const curve2* previous, const curve2* next,
                      float duration, int32_t knotIndex, float t, float* result,
                      const float* identity, curve_window* window) {
  if (window->Knot != knotIndex || window->Normalize != normalize) {
    switch (
        AnswerWithoutWindow(view, keyframed, isIdentity, dimension, knotIndex, result, identity)) {
      case view_answer::Done:
        return true;
      case view_answer::Failed:
        return false;
      case view_answer::Window:
        break;
    }
    if (!FillWindow(view, dimension, normalize, previous, next, duration, knotIndex, identity,
                    window))
      return false;
    window->Normalize = normalize;
  }
  return EvaluateWindow(view, dimension, normalize, *window, t, result);
}

// EvaluateCurveAtKnot on a record already read: `keyframed` and `isIdentity`
// say what the record is.
bool EvaluateView(const curve_data_view& view, bool keyframed, bool isIdentity, int32_t dimension,
                  bool normalize, const curve2* previous, const curve2* next, float duration,
                  int32_t knotIndex, float t, float* result, const float* identity) {
  curve_window window;
  return EvaluateInWindow(view, keyframed, isIdentity, dimension, normalize, previous, next,
                          duration, knotIndex, t, result, identity, &window);
}

}  // namespace

bool EvaluateCurveAtKnot(int32_t dimension, bool normalize, const curve2* curve,
                         const curve2* previous, const curve2* next, float duration,
                         int32_t knotIndex, float t, float* result, const float* identity) {
  curve_data_view view;
  if (!KT_CHECK_PARAMETER(Curve, ViewOf(curve, &view))) return false;
  return EvaluateView(view, IsKeyframed(view, curve), IsIdentity(view, curve), dimension, normalize,
                      previous, next, duration, knotIndex, t, result, identity);
}

bool BeginCurveReader(const curve2* curve, curve_reader* reader) {
  if (!KT_CHECK_PARAMETER(Curve, reader != nullptr)) return false;
  *reader = curve_reader{};
  if (!KT_CHECK_PARAMETER(Curve, ViewOf(curve, &reader->View))) return false;
  reader->Keyframed = IsKeyframed(reader->View, curve);
  reader->Identity = IsIdentity(reader->View, curve);
  return true;
}

int32_t FindReaderKnot(const curve_reader& reader, float t) {
  return FindKnotInView(reader.View, t);
}

bool EvaluateReaderAtKnot(const curve_reader& reader, int32_t dimension, bool normalize,
                          int32_t knotIndex, float t, float* result, const float* identity) {
  return EvaluateView(reader.View, reader.Keyframed, reader.Identity, dimension, normalize, nullptr,
                      nullptr, 0.0f, knotIndex, t, result, identity);
}

bool EvaluateReaderInWindow(const curve_reader& reader, int32_t dimension, bool normalize,
                            int32_t knotIndex, float t, float* result, curve_window* window) {
  return EvaluateInWindow(reader.View, reader.Keyframed, reader.Identity, dimension, normalize,
                          nullptr, nullptr, 0.0f, knotIndex, t, result, nullptr, window);
}

bool EvaluateCurveAtT(int32_t dimension, bool normalize, const curve2* curve,
                      const curve2* previous, const curve2* next, float duration, float t,
                      float* result, const float* identity) {
  // Negative or NaN times read the start of the curve.
  if (!(t > 0.0f)) t = 0.0f;
  int32_t knot = FindCurveKnot(curve, t);
  return EvaluateCurveAtKnot(dimension, normalize, curve, previous, next, duration,
                             knot < 0 ? 0 : knot, t, result, identity);
}

}  // namespace ketrel
