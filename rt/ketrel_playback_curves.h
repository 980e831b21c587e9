#pragma once
// The curves of a bound track, read once when a track group is bound and
// then evaluated at any time without allocating.
//
// Constant curves (identity curves included) are answered from the value
// read at binding. Fitted curves evaluate through a span cache when the
// caller gives one: a clip played forward stays on one span of a curve for
// several frames, so most frames cost the B-spline blend alone; sampled key
// curves also keep a key cursor, so moving to the next span reads one key's
// differences instead of walking its segment. Unsmoothed keys ("Compress
// animation data" off) interpolate linearly between samples. With or without
// a cache the results are the same curve's values.

#include <cstdint>

#include "rt/ketrel_bspline.h"
#include "rt/ketrel_curve.h"
#include "rt/ketrel_curve_formats.h"
#include "rt/ketrel_curve_sampled.h"

namespace ketrel {

enum bound_curve_kind : int32_t {
  BoundCurveConstant = 0,
  BoundCurveFitted = 1,
  BoundCurveSampledKeys = 2,
  BoundCurveKeys = 3,
};

struct bound_curve;
struct curve_span_cache;

// What a span evaluator did. A deferring one leaves a quaternion's last
// step to its caller, so that a pose takes the square roots and divisions
// of all its bones in one loop, where they overlap: SpanNormalize, `out`
// holds the blend, to be normalised as NormalizeQuaternion4 does;
// SpanFinishTurn, `turn` holds a turn's blend for FinishTurn, whose first
// key is the span's Controls.
enum span_result : int32_t {
  SpanFailed = 0,
  SpanDone = 1,
  SpanNormalize = 2,
  SpanFinishTurn = 3,
};

// Evaluation through a span cache at one degree and dimension, chosen when
// the curve is bound.
using span_evaluator = int32_t (*)(const bound_curve& curve, float t, curve_span_cache& span,
                                   sampled_key_cursor* keys, float* out, double* turn);

// What a frame reads comes first: a pose of many bones touches the fewest
// cache lines so.
struct bound_curve {
  int32_t Kind;
  int32_t Dimension;
  int32_t SpanSlot;  // index of its span cache in a playback cursor, -1: none
  int32_t KeySlot;   // index of its key cursor (sampled key curves), -1: none
  float Value[9];    // a constant's value
  // The span evaluators for the curve's degree and dimension, [0] for
  // values, [1] for quaternions, [2] for quaternions deferring their last
  // step (null: the general path), and the format's own decoders of one
  // knot and one control point (null for constants and, controls, for
  // sampled keys).
  span_evaluator EvaluateSpan[3];
  knot_decoder DecodeKnot;
  control_decoder DecodeControl;
  curve_reader Reader;
};

// One span of a fitted curve, decoded: valid for Low <= t < High. Moving
// on to the next span decodes one knot and one control point. A frame on
// the span reads its first fields only.
struct curve_span_cache {
  int32_t Knot;  // the span's knot index; -1 while empty
  float Low, High;
  float Knots[2 * kMaxBSplineDegree];
  // 1 / each denominator of the span's blend (0 for a zero one), so that a
  // frame on the span multiplies where it would divide.
  float Inverses[kMaxBSplineDegree * (kMaxBSplineDegree + 1) / 2];
  float Controls[(kMaxBSplineDegree + 1) * 9];  // as blended (quaternions in one hemisphere)
  float Stored[(kMaxBSplineDegree + 1) * 9];    // the window's control points as decoded
  bool Flipped[kMaxBSplineDegree + 1];          // which of Controls are negated Stored
  // Sampled orientation keys: the turn between the two keys; when they are
  // close, a plain blend along TurnDelta.
  turn_pair Turn;
  float TurnDelta[4];
  float TurnInverseWidth;
  bool PlainTurn;
};

// Reads `curve` for a part of `dimension` floats (3, 4 or 9) whose identity
// value is `identity`. False when the curve cannot be read (its type is not
// the definition of the format its record names, as in a damaged file), has
// another dimension or a degree above 3 (the caller logs which track it
// was).
bool BindCurve(const curve2& curve, int32_t dimension, const float* identity, bound_curve* out);

// The value at clip time t into `out` (Dimension floats); quaternions come
// out unit length. `spans` / `keys` are the curve's caches (null: none).
// False when the curve's data fails to decode.
bool EvaluateBoundCurve(const bound_curve& curve, bool quaternion, float timeStep, float t,
                        curve_span_cache* spans, sampled_key_cursor* keys, float* out);

}  // namespace ketrel
