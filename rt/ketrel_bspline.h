#pragma once
// B-spline evaluation on one knot span.
//
// Curve model: a curve of degree p has K knots t_0..t_{K-1} and K control
// points. The value at t uses the span index i = the first knot greater than t
// (clamped to K - 1), the span [t_{i-1}, t_i) and the p + 1 control points
// P_{i-p}..P_i. A window for span i holds the 2p knots t_{i-p}..t_{i+p-1} and
// the p + 1 control points P_{i-p}..P_i; callers fill entries outside the curve
// (see ketrel_curve.h).
//
// Every function here is safe for any finite or non-finite input: coincident
// knots (zero-width spans) give zero basis weight instead of a division by zero.

namespace ketrel {

inline constexpr int kMaxBSplineDegree = 3;
// Largest dimension a curve may have (the fitter refuses 16 or more).
inline constexpr int kMaxCurveDimension = 15;

// The p + 1 basis values of degree `degree` (0..3) at t for a window of 2p
// knots (`knots` may be null for degree 0). basis[r] weighs P_{i-p+r}.
// Returns false (parameter check) for a degree outside 0..3.
bool EvaluateBSplineBasis(int degree, const float* knots, float t, float* basis);

// result[0..dimension) = sum of basis[r] * controls[r * dimension + ...],
// evaluated by de Boor's algorithm so that constant stretches come out exact.
// `controls` is the window of p + 1 control points. Returns false (parameter
// check) for a degree outside 0..3 or a dimension outside 1..15.
bool EvaluateBSpline(int degree, int dimension, const float* knots, const float* controls, float t,
                     float* result);

// Same, then normalised the way curves of rotations are: a quaternion
// (dimension 4) is divided by its length (left alone when the length is 0), a
// dimension-3 result is scaled by (3 - |v|^2) / 2; other dimensions unchanged.
// The unit quaternion a fraction `u` of the way from `a` to `b` as a host
// turns between two rotation keys: the short way round at a steady rate, by
// a plain normalised blend where the two lie too close (under about 3.6
// degrees) for the rate to differ beyond float rounding. `a` when the blend
// has no direction (opposite or zero quaternions); false then.
bool TurnBetween(const float* a, const float* b, double u, float* out);

// The same in two steps, for a player that turns between one pair of keys
// for several frames: what depends on the pair alone (the side, the angle
// and its sine) once, then any fraction `u` of the way, with the very
// arithmetic of TurnBetween.
struct turn_pair {
  double Sign, Angle, Sine;
  bool Steady;  // at a steady rate; false: the plain normalised blend
};
void BeginTurn(const float* a, const float* b, turn_pair* pair);
bool TurnWith(const turn_pair& pair, const float* a, const float* b, double u, float* out);
// TurnWith in its two halves, for a player that normalises a whole pose's
// turns in one loop: the blend `q` (4 doubles), then its unit quaternion
// (`a` when it has no length; false then).
void BlendTurn(const turn_pair& pair, const float* a, const float* b, double u, double* q);
bool FinishTurn(const double* q, const float* a, float* out);

bool EvaluateBSplineNormalized(int degree, int dimension, const float* knots, const float* controls,
                               float t, float* result);

}  // namespace ketrel
