#include "rt/ketrel_playback_curves.h"

#include <cmath>
#include <cstring>

#include "rt/ketrel_bspline_deboor.h"
#include "rt/ketrel_curve_formats.h"
#include "rt/ketrel_object_ops.h"

namespace ketrel {
namespace {

void NormalizeOrIdentity(float q[4]) {
  const float length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  if (!(length > 1e-12f)) {
    q[0] = q[1] = q[2] = 0.0f;
    q[3] = 1.0f;
  } else {
    for (int i = 0; i < 4; ++i) q[i] /= length;
  }
}

bool IsConstant(const curve_reader& reader) {
  const int32_t format = reader.View.Format;
  return reader.Identity || reader.View.KnotCount == 1 || format == CurveFormatDaConstant32f ||
         format == CurveFormatD3Constant32f || format == CurveFormatD4Constant32f;
}

// Unsmoothed keys: one key per sample, sample i at i × timeStep; linear
// between them (quaternions on the shorter way, normalised).
bool EvaluateKeys(const curve_reader& reader, int32_t dimension, bool quaternion, float timeStep,
                  float t, float* result) {
  const int32_t count = reader.View.KnotCount;
  if (count <= 0) return false;
  float s = timeStep > 0.0f ? t / timeStep : 0.0f;
  if (!(s > 0.0f)) s = 0.0f;
  const float last = float(count - 1);
  if (s > last) s = last;
  const int32_t i = int32_t(s);
  const float f = s - float(i);
  if (i + 1 >= count || f == 0.0f) {
    if (!DecodeKnotsControls(reader.View, i, 1, nullptr, result, nullptr)) return false;
  } else {
    float keys[2 * kMaxCurveDimension];
    if (!DecodeKnotsControls(reader.View, i, 2, nullptr, keys, nullptr)) return false;
    const float* b = keys + dimension;
    float sign = 1.0f;
    if (quaternion) {
      float dot = 0;
      for (int32_t k = 0; k < 4; ++k) dot += keys[k] * b[k];
      sign = dot < 0.0f ? -1.0f : 1.0f;
    }
    for (int32_t k = 0; k < dimension; ++k) result[k] = keys[k] + (sign * b[k] - keys[k]) * f;
  }
  if (quaternion) NormalizeOrIdentity(result);
  return true;
}

bool EvaluateWithoutCache(const bound_curve& curve, bool quaternion, float t, float* out) {
  const int32_t knot = FindReaderKnot(curve.Reader, t);
  return EvaluateReaderAtKnot(curve.Reader, curve.Dimension, quaternion, knot < 0 ? 0 : knot, t,
                              out, nullptr);
}

// Control point `index` into `out`: sampled keys through their cursor.
bool DecodeControl(const bound_curve& curve, sampled_key_cursor* keys, int32_t index, float* out) {
  const curve_data_view& view = curve.Reader.View;
  if (curve.Kind == BoundCurveSampledKeys && keys != nullptr) {
    return ReadSampledKeyAt(static_cast<const uint8_t*>(view.Codes), view.StreamBytes,
                            curve.Dimension, view.KnotCount, view.Scales, view.Offsets, index, keys,
                            out);
  }
  if (curve.Kind == BoundCurveSampledKeys)
    return DecodeKnotsControls(view, index, 1, nullptr, out, nullptr);
  DecodeControlUnchecked(view, index, out);
  return true;
}

bool NeedsHemisphere(const bound_curve& curve, bool quaternion) {
  // Float controls read in place are blended as stored by the uncached
  // evaluation too.
  return quaternion && curve.Dimension == 4 && curve.Reader.View.Format != CurveFormatDaK32fC32f;
}

// Blended control w from stored control w and blended control w - 1: as
// the uncached evaluation does for copied windows, neighbouring quaternions
// go into one hemisphere (each against the one before it, from the window's
// first), so the blend does not pass through 0.
void SettleQuaternion(curve_span_cache& span, int32_t w) {
  const float* q = span.Stored + w * 4;
  const float* before = span.Controls + (w - 1) * 4;
  const bool flip =
      q[0] * before[0] + q[1] * before[1] + q[2] * before[2] + q[3] * before[3] < 0.0f;
  for (int32_t i = 0; i < 4; ++i) span.Controls[w * 4 + i] = flip ? -q[i] : q[i];
  span.Flipped[w] = flip;
}

// The blended window from the stored one.
void Settle(const bound_curve& curve, bool quaternion, curve_span_cache& span) {
  const int32_t p = curve.Reader.View.Degree;
  std::memcpy(span.Controls, span.Stored, sizeof span.Controls);  // fixed size: inline
  for (bool& flipped : span.Flipped) flipped = false;
  if (!NeedsHemisphere(curve, quaternion)) return;
  for (int32_t w = 1; w <= p; ++w) SettleQuaternion(span, w);
}

// A window's entry `index`: past either end of the curve the end repeats,
// as the uncached evaluation makes up a curve's missing neighbours.
int32_t WindowIndex(int32_t index, int32_t count) {
  return index < 0 ? 0 : (index >= count ? count - 1 : index);
}

// Decodes the span holding t into `span`; windows that reach past the
// curve's ends repeat its end points. False when its data fails to decode;
// the span is left empty.
bool FillSpan(const bound_curve& curve, bool quaternion, float t, curve_span_cache& span,
              sampled_key_cursor* keys) {
  const curve_data_view& view = curve.Reader.View;
  const int32_t count = view.KnotCount, p = view.Degree, d = curve.Dimension;
  span.Knot = -1;
  if (count < 1) return false;
  int32_t k = FindKnotInView(view, t);
  if (k < 0) k = 0;
  if (k > count - 1) k = count - 1;
  float bounds[2] = {0, 0};
  if (p > 0) {
    // The search compares knot codes; a time on a knot's decoded value may
    // land on either side of it. The span is the one whose decoded bounds
    // hold t, as a cursor moving forward finds it, so that a pose does not
    // depend on how its time was reached.
    for (int32_t moves = 0;; ++moves) {
      const int32_t first = k - p;
      if (first >= 0 && k + p - 1 < count) {
        if (!DecodeKnotsControls(view, first, 2 * p, span.Knots, nullptr, nullptr)) return false;
      } else {
        for (int32_t w = 0; w < 2 * p; ++w) {
          if (!DecodeKnotsControls(view, WindowIndex(first + w, count), 1, span.Knots + w, nullptr,
                                   nullptr))
            return false;
        }
      }
      bounds[0] = span.Knots[p - 1];
      bounds[1] = span.Knots[p];
      if (moves < 2 && k < count - 1 && t >= bounds[1]) {
        ++k;
      } else if (moves < 2 && k > 0 && t < bounds[0]) {
        --k;
      } else {
        break;
      }
    }
  } else if (k > 0 && !DecodeKnotsControls(view, k - 1, 2, bounds, nullptr, nullptr)) {
    return false;
  } else if (k == 0 && !DecodeKnotsControls(view, 0, 1, bounds + 1, nullptr, nullptr)) {
    return false;
  }
  const int32_t first = k - p;
  for (int32_t j = 0; j <= p; ++j) {
    if (!DecodeControl(curve, keys, WindowIndex(first + j, count), span.Stored + j * d))
      return false;
  }
  Settle(curve, quaternion, span);
  // The knot search answers k for t in [t_(k-1), t_k), k = 0 below the
  // first knot and the last index past the end.
  span.Low = k == 0 ? -INFINITY : bounds[0];
  span.High = k == count - 1 ? INFINITY : bounds[1];
  span.Knot = k;
  return true;
}

// Moves the span forward while t lies past it, a few spans at most (a later
// time is found by FillSpan's search): one knot and one control point more.
// False, with the span emptied, when the next window would reach past the
// curve's end or fails to decode.
bool AdvanceSpan(const bound_curve& curve, bool quaternion, float t, curve_span_cache& span,
                 sampled_key_cursor* keys) {
  const curve_data_view& view = curve.Reader.View;
  const int32_t count = view.KnotCount, p = view.Degree, d = curve.Dimension;
  const bool hemisphere = NeedsHemisphere(curve, quaternion);
  for (int32_t step = 0; step < 4; ++step) {
    const int32_t k = span.Knot + 1;
    if (k + p - 1 >= count) break;
    // Whole arrays move: fixed sizes copy inline, where the window's own
    // sizes would call the library.
    std::memmove(span.Knots, span.Knots + 1, sizeof span.Knots - sizeof(float));
    std::memmove(span.Stored, span.Stored + d, sizeof span.Stored - 9 * sizeof(float));
    if (!DecodeControl(curve, keys, k, span.Stored + p * d)) break;
    // The window now starts one point later; a chain of hemispheres that
    // starts there differs from the old one by the sign the old one gave
    // that point.
    const bool flippedFirst = span.Flipped[1];
    const float sign = flippedFirst ? -1.0f : 1.0f;
    for (int32_t i = 0; i < p * d; ++i) span.Controls[i] = sign * span.Controls[i + d];
    for (int32_t w = 0; w < p; ++w) span.Flipped[w] = span.Flipped[w + 1] != flippedFirst;
    if (hemisphere && p > 0) {
      SettleQuaternion(span, p);
    } else {
      for (int32_t i = 0; i < d; ++i) span.Controls[p * d + i] = span.Stored[p * d + i];
      span.Flipped[p] = false;
    }
    const float high = DecodeKnotUnchecked(view, p > 0 ? k + p - 1 : k);
    if (p > 0) {
      span.Knots[2 * p - 1] = high;
      span.Low = span.Knots[p - 1];
      span.High = span.Knots[p];
    } else {
      span.Low = span.High;
      span.High = high;
    }
    if (k == count - 1) span.High = INFINITY;
    span.Knot = k;
    if (t < span.High) return true;
  }
  span.Knot = -1;
  return false;
}

// The span cache at a degree P and dimension D fixed when compiled, for
// the curves most players meet (degrees 1 to 3 of positions, quaternions and
// scale/shear; sampled keys): windows move by their own sizes, control
// points decode through the format's own decoder, and the blend is the
// general one's arithmetic without its dispatch.
template <int P, int D, bool Q, bool Sampled>
bool AdvanceSpanFixed(const bound_curve& curve, float t, curve_span_cache& span,
                      sampled_key_cursor* keys) {
  const curve_data_view& view = curve.Reader.View;
  const int32_t count = view.KnotCount;
  const bool hemisphere = Q && NeedsHemisphere(curve, true);
  for (int32_t step = 0; step < 4; ++step) {
    const int32_t k = span.Knot + 1;
    if (k + P - 1 >= count) break;
    for (int i = 0; i + 1 < 2 * P; ++i) span.Knots[i] = span.Knots[i + 1];
    for (int i = 0; i < P * D; ++i) span.Stored[i] = span.Stored[i + D];
    float* added = span.Stored + P * D;
    if constexpr (Sampled) {
      if (!DecodeControl(curve, keys, k, added)) break;
    } else {
      curve.DecodeControl(view, k, added);
    }
    const bool flippedFirst = span.Flipped[1];
    const float sign = flippedFirst ? -1.0f : 1.0f;
    for (int i = 0; i < P * D; ++i) span.Controls[i] = sign * span.Controls[i + D];
    for (int w = 0; w < P; ++w) span.Flipped[w] = span.Flipped[w + 1] != flippedFirst;
    if (hemisphere) {
      SettleQuaternion(span, P);
    } else {
      for (int i = 0; i < D; ++i) span.Controls[P * D + i] = added[i];
      span.Flipped[P] = false;
    }
    span.Knots[2 * P - 1] = Sampled ? static_cast<float>(k + P - 1) * view.KnotScale
                                    : curve.DecodeKnot(view, k + P - 1);
    span.Low = span.Knots[P - 1];
    span.High = k == count - 1 ? INFINITY : span.Knots[P];
    span.Knot = k;
    if (t < span.High) return true;
  }
  span.Knot = -1;
  return false;
}

// The reciprocals of a span's denominators, in the order de Boor's blend
// takes them, worked out once per span: a player on the span divides
// nothing.
template <int P>
void SetInverses(curve_span_cache& span) {
  const float* w = span.Knots;
  int i = 0;
  for (int r = 1; r <= P; ++r) {
    for (int j = P; j >= r; --j, ++i) {
      const float denominator = w[P + j - r] - w[j - 1];
      span.Inverses[i] = denominator != 0.0f ? 1.0f / denominator : 0.0f;
    }
  }
}

// Two orientation keys closer than the turn's threshold blend straight (the
// rate is steady there within rounding): in floats, from the first key
// along the difference to the second, put on the first's side. Keys far
// from unit length (a damaged stream) take the general turn, which knows
// when a blend has no direction.
void BeginPlainTurn(curve_span_cache& span) {
  const float* a = span.Controls;
  const float* b = span.Controls + 4;
  const float aa = a[0] * a[0] + a[1] * a[1] + a[2] * a[2] + a[3] * a[3];
  const float bb = b[0] * b[0] + b[1] * b[1] + b[2] * b[2] + b[3] * b[3];
  const float ab = a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3];
  const float sign = ab < 0.0f ? -1.0f : 1.0f;
  const bool unit = aa > 0.25f && aa < 4.0f && bb > 0.25f && bb < 4.0f;
  // The general turn's angle only where the keys are not plainly close.
  span.PlainTurn = unit && sign * ab >= 0.9995f;
  if (!span.PlainTurn) {
    BeginTurn(a, b, &span.Turn);
    span.PlainTurn = unit && !span.Turn.Steady;
  }
  if (!span.PlainTurn) return;
  for (int k = 0; k < 4; ++k) span.TurnDelta[k] = sign * b[k] - a[k];
  const float width = span.Knots[1] - span.Knots[0];
  span.TurnInverseWidth = width > 0.0f ? 1.0f / width : 0.0f;
}

// The span holding t made current, off the path of a frame that stays on
// its span (kept out of line so that path saves no registers): SpanMoved, or
// the value evaluated without the cache where no span can be kept.
constexpr int32_t SpanMoved = -1;

template <int P, int D, bool Q, bool Sampled>
[[gnu::noinline]] int32_t MoveSpan(const bound_curve& curve, float t, curve_span_cache& span,
                                   sampled_key_cursor* keys, float* out) {
  const bool next = span.Knot >= 0 && t >= span.High && t - span.High < 1.0f &&
                    AdvanceSpanFixed<P, D, Q, Sampled>(curve, t, span, keys);
  if (!next && !FillSpan(curve, Q, t, span, keys))
    return EvaluateWithoutCache(curve, Q, t, out) ? SpanDone : SpanFailed;
  if constexpr (Q && P == 1 && Sampled) {
    BeginPlainTurn(span);
  } else {
    SetInverses<P>(span);
  }
  return SpanMoved;
}

// Defer: a quaternion's last step is left to the caller (SpanNormalize or
// SpanFinishTurn), which does it for a whole pose in one loop.
template <int P, int D, bool Q, bool Sampled, bool Defer = false>
int32_t EvaluateSpanFixed(const bound_curve& curve, float t, curve_span_cache& span,
                          sampled_key_cursor* keys, float* out, double* turn) {
  constexpr bool turns = Q && P == 1 && Sampled;
  if (!(span.Knot >= 0 && t >= span.Low && t < span.High)) {
    const int32_t moved = MoveSpan<P, D, Q, Sampled>(curve, t, span, keys, out);
    if (moved != SpanMoved) return moved;
  }
  if constexpr (turns) {
    if (span.PlainTurn) {
      float u = (t - span.Knots[0]) * span.TurnInverseWidth;
      u = u < 0.0f ? 0.0f : (u > 1.0f ? 1.0f : u);
      for (int k = 0; k < 4; ++k) out[k] = span.Controls[k] + u * span.TurnDelta[k];
      if constexpr (Defer) return SpanNormalize;
      bspline_internal::NormalizeQuaternion4(out);
      return SpanDone;
    }
    // Orientation keys turn at a steady rate, as the host does.
    const float width = span.Knots[1] - span.Knots[0];
    double u = width > 0.0f ? (double(t) - span.Knots[0]) / width : 0.0;
    u = u < 0.0 ? 0.0 : (u > 1.0 ? 1.0 : u);
    if constexpr (Defer) {
      BlendTurn(span.Turn, span.Controls, span.Controls + 4, u, turn);
      return SpanFinishTurn;
    } else {
      return TurnWith(span.Turn, span.Controls, span.Controls + 4, u, out) ? SpanDone : SpanFailed;
    }
  } else {
    bspline_internal::DeBoor<P, D, true>(span.Knots, t, span.Controls, D, out, span.Inverses);
    if constexpr (Q && Defer) return SpanNormalize;
    if constexpr (Q) bspline_internal::NormalizeQuaternion4(out);
    return SpanDone;
  }
}

template <int P, int D>
void ChooseFixed(int32_t kind, span_evaluator* chosen) {
  if (kind == BoundCurveSampledKeys) {
    if constexpr (P == 1) {
      chosen[0] = EvaluateSpanFixed<P, D, false, true>;
      if constexpr (D == 4) {
        chosen[1] = EvaluateSpanFixed<P, D, true, true>;
        chosen[2] = EvaluateSpanFixed<P, D, true, true, true>;
      }
    }
    return;
  }
  chosen[0] = EvaluateSpanFixed<P, D, false, false>;
  if constexpr (D == 4) {
    chosen[1] = EvaluateSpanFixed<P, D, true, false>;
    chosen[2] = EvaluateSpanFixed<P, D, true, false, true>;
  }
}

template <int D>
void ChooseForDimension(int32_t kind, int32_t degree, span_evaluator* chosen) {
  switch (degree) {
    case 1:
      ChooseFixed<1, D>(kind, chosen);
      break;
    case 2:
      ChooseFixed<2, D>(kind, chosen);
      break;
    case 3:
      ChooseFixed<3, D>(kind, chosen);
      break;
    default:
      break;
  }
}

// Fixed paths for the dimensions of a transform track; others (and degree
// 0) take the general one.
void ChooseSpanEvaluators(bound_curve& curve) {
  curve.EvaluateSpan[0] = curve.EvaluateSpan[1] = curve.EvaluateSpan[2] = nullptr;
  if (curve.Kind != BoundCurveFitted && curve.Kind != BoundCurveSampledKeys) return;
  if (curve.Kind == BoundCurveFitted &&
      (curve.DecodeKnot == nullptr || curve.DecodeControl == nullptr))
    return;
  const int32_t degree = curve.Reader.View.Degree;
  switch (curve.Dimension) {
    case 3:
      ChooseForDimension<3>(curve.Kind, degree, curve.EvaluateSpan);
      break;
    case 4:
      ChooseForDimension<4>(curve.Kind, degree, curve.EvaluateSpan);
      break;
    case 9:
      ChooseForDimension<9>(curve.Kind, degree, curve.EvaluateSpan);
      break;
    default:
      break;
  }
}

}  // namespace

bool BindCurve(const curve2& source, int32_t dimension, const float* identity, bound_curve* out) {
  curve2 curve = source;
  *out = bound_curve{};
  out->Dimension = dimension;
  out->SpanSlot = -1;
  out->KeySlot = -1;
  if (!BeginCurveReader(&curve, &out->Reader)) return false;
  const curve_reader& reader = out->Reader;
  if (!CurveRecordMatchesType(&curve)) {
    out->Reader.View.Format = CurveFormatUnknown;
    return false;
  }
  if (!reader.Identity && reader.View.Dimension != dimension) return false;
  if (reader.View.Degree > kMaxBSplineDegree) return false;
  if (IsConstant(reader)) {
    out->Kind = BoundCurveConstant;
    return EvaluateReaderAtKnot(reader, dimension, false, 0, 0.0f, out->Value, identity);
  }
  if (reader.Keyframed) {
    out->Kind = BoundCurveKeys;
  } else {
    out->Kind =
        reader.View.Format == CurveFormatDaSampledBits ? BoundCurveSampledKeys : BoundCurveFitted;
  }
  out->DecodeKnot = GetKnotDecoder(reader.View.Format);
  out->DecodeControl = GetControlDecoder(reader.View.Format);
  ChooseSpanEvaluators(*out);
  return true;
}

bool EvaluateBoundCurve(const bound_curve& curve, bool quaternion, float timeStep, float t,
                        curve_span_cache* spans, sampled_key_cursor* keys, float* out) {
  const int32_t d = curve.Dimension;
  switch (curve.Kind) {
    case BoundCurveConstant:
      // Fixed sizes copy without a library call.
      if (d == 3) {
        std::memcpy(out, curve.Value, 3 * sizeof(float));
      } else if (d == 4) {
        std::memcpy(out, curve.Value, 4 * sizeof(float));
      } else if (d == 9) {
        std::memcpy(out, curve.Value, 9 * sizeof(float));
      } else {
        std::memcpy(out, curve.Value, size_t(d) * sizeof(float));
      }
      return true;
    case BoundCurveKeys:
      return EvaluateKeys(curve.Reader, d, quaternion, timeStep, t, out);
    default:
      break;
  }
  const span_evaluator fixed = curve.EvaluateSpan[quaternion && d == 4 ? 1 : 0];
  const bool fixedFits = fixed != nullptr && (d == 4 || !quaternion);
  if (spans == nullptr) {
    // A fitted curve blends as the cached evaluation does, so that a
    // player's values do not depend on whether it keeps a cursor.
    if (!fixedFits) return EvaluateWithoutCache(curve, quaternion, t, out);
    curve_span_cache once;
    once.Knot = -1;
    sampled_key_cursor onceKeys;
    return fixed(curve, t, once, curve.Kind == BoundCurveSampledKeys ? &onceKeys : nullptr, out,
                 nullptr) != SpanFailed;
  }
  if (fixedFits) return fixed(curve, t, *spans, keys, out, nullptr) != SpanFailed;
  if (!(spans->Knot >= 0 && t >= spans->Low && t < spans->High)) {
    // Forward by a little, as frames go, slides the window; anything else
    // searches.
    const bool next = spans->Knot >= 0 && t >= spans->High && t - spans->High < 1.0f &&
                      AdvanceSpan(curve, quaternion, t, *spans, keys);
    if (!next && !FillSpan(curve, quaternion, t, *spans, keys))
      return EvaluateWithoutCache(curve, quaternion, t, out);
  }
  const int32_t p = curve.Reader.View.Degree;
  if (quaternion && p == 1 && curve.Kind == BoundCurveSampledKeys) {
    // Orientation keys turn at a steady rate between each two, as the
    // curve evaluation (and the source) does.
    const float span = spans->Knots[1] - spans->Knots[0];
    double u = span > 0.0f ? (double(t) - spans->Knots[0]) / span : 0.0;
    u = u < 0.0 ? 0.0 : (u > 1.0 ? 1.0 : u);
    return TurnBetween(spans->Controls, spans->Controls + 4, u, out);
  }
  return quaternion ? EvaluateBSplineNormalized(p, d, spans->Knots, spans->Controls, t, out)
                    : EvaluateBSpline(p, d, spans->Knots, spans->Controls, t, out);
}

}  // namespace ketrel
