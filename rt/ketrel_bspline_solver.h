#pragma once
// Fitting uniformly spaced samples to B-spline curves within a tolerance.
//
// A BSplineSolver is the workspace of one thread: create one per worker and
// reuse it for every channel; never share one between threads. Its maxima
// bound every fit (degree, sample count, dimension); a fit beyond them is a
// parameter check failure. Results depend only on the inputs, never on the
// thread or on what the solver fitted before (but for a fit that asks to
// start from the last one's knots, FitFromLastKnots).
//
// Errors are logged and give null (curves) or false.

#include <csignal>
#include <cstdint>

#include "rt/ketrel_curve.h"

namespace ketrel {

struct BSplineSolver;

// Bits of the flags passed beside the parameters.
enum FitFlags : int32_t {
  // Samples are unit quaternions (d = 4); the error of a value q against a
  // sample s is 1 - q.s instead of the distance (computed as (1/2)|q - s|^2,
  // which keeps small angles apart in float).
  FitOrientation = 0x01,
  // A jump (knot multiplicity p + 1) where a sample differs from the one
  // before it by more than JumpThreshold.
  FitAllowJumps = 0x02,
  // A crease (multiplicity p) where the second difference exceeds
  // CreaseThreshold.
  FitAllowCreases = 0x04,
  // p - 1 extra knots at the very start (0.125, 0.25, ...).
  FitStartKnots = 0x10,
  // The curve starts at the first sample and ends at the last one exactly.
  FitPinEnds = 0x20,
  // After a fit that met the tolerance, remove every knot that is not needed.
  FitEliminateKnots = 0x40,
  // After a fit that missed, remove knots within (largest error + tolerance).
  FitEliminateOnMiss = 0x80,
  // Start from the knots that the solver's last fit without this flag ended
  // with, when it fitted as many samples (CompressCurve's candidates after
  // its float fit: they need at least those knots, and refining from them
  // spares the passes that found them again).
  FitFromLastKnots = 0x100,
  // Solve every refinement pass, also those whose splits are certain in
  // advance (every span misses whatever its controls) and are otherwise
  // made without solving. The curve is the same; only slower.
  FitEveryPass = 0x200,
};

struct CurveFitParameters {
  int32_t Degree = 3;            // 0..3
  int32_t ReduceToConstant = 0;  // try identity and constant curves first
  int32_t QuantizeOnMiss = 0;    // a quantized candidate may win when nothing met the tolerance
  float Tolerance = 0.0f;        // largest error allowed at any sample
  float JumpThreshold = 0.0f;    // with FitAllowJumps
  float CreaseThreshold = 0.0f;  // with FitAllowCreases
  data_type_definition* const* CandidateFormats = nullptr;
  int32_t CandidateFormatCount = 0;
  data_type_definition* ConstantFormat = nullptr;  // DaConstant32f when null
  data_type_definition* IdentityFormat = nullptr;  // DaIdentity when null
  const float* IdentityValue = nullptr;            // d floats; null: never an identity curve
};

struct CurveErrorStats {
  int32_t MaxErrorKnot = 0;  // knot index of the worst sample
  int32_t MaxErrorSample = 0;
  float MaxSquaredError = 0.0f;  // squared distance, or (1 - q.s)^2
  float TotalSquaredError = 0.0f;
};

// Null when the maxima are out of range (degree 0..3, samples >= 1,
// dimension 1..15; logged) or the workspace cannot be allocated (not logged:
// the caller says what that means for its work).
BSplineSolver* CreateBSplineSolver(int32_t maxDegree, int32_t maxSamples, int32_t maxDimension);
void DestroyBSplineSolver(BSplineSolver* solver);  // accepts null
// Whether the solver takes fits of this many samples and values per sample
// (false for null).
bool BSplineSolverTakes(const BSplineSolver* solver, int32_t sampleCount, int32_t dimension);
// A flag the solver's fits look at between their steps: once it is nonzero
// they stop and give null, so that a cancelled export does not wait for a
// long track's fit. Null (the default) for none.
void SetBSplineSolverCancel(BSplineSolver* solver, const volatile std::sig_atomic_t* flag);
int32_t BSplineSolverSamples(const BSplineSolver* solver);    // its most samples; 0 for null
int32_t BSplineSolverDimension(const BSplineSolver* solver);  // its most values; 0 for null

// Fits `sampleCount` samples of `dimension` floats (one after another),
// `dT` apart, into the smallest candidate curve that meets the tolerance, or
// an identity or constant curve. The curve runs from 0 to (N - 1) dT; free it
// with FreeCurve. `achieved` (may be null) receives whether the returned curve
// is within the tolerance at every sample. Null on bad parameters (logged)
// or out of memory.
curve2* CompressCurve(BSplineSolver* solver, int32_t flags, const CurveFitParameters& parameters,
                      const float* samples, int32_t dimension, int32_t sampleCount, float dT,
                      bool* achieved);

// One fit in one format (null = DaK32fC32f). A byteLimit above 0 stops the fit
// as soon as the curve data grows past it (the fit then reports a miss).
// `byteSize` receives the data size of the returned curve. Needs 2 or more
// samples and dT > 0.
curve2* FitBSpline(BSplineSolver* solver, int32_t flags, int32_t degree, float tolerance,
                   float jumpThreshold, float crease, const float* samples, int32_t dimension,
                   int32_t sampleCount, float dT, data_type_definition* format, int32_t byteLimit,
                   bool* achieved, int32_t* byteSize);

// Error of `curve` against every sample i (0..N-1) at t = i * duration / (N - 1),
// evaluated as stored (quaternions normalised with FitOrientation).
bool MeasureCurveError(int32_t flags, int32_t dimension, float duration, const curve2* curve,
                       int32_t sampleCount, const float* samples, CurveErrorStats* stats);

// The largest squared error (as MaxSquaredError) of `curve` between the
// samples: at a quarter, half and three quarters of every step, against the
// samples joined as a host joins its keys (SampleBetween). Steps larger than
// `jumpThreshold` (the fit's measure; below 0: none) are left out: the
// caller allows the curve to jump there.
bool MeasureCurveErrorBetween(int32_t flags, int32_t dimension, float duration, const curve2* curve,
                              int32_t sampleCount, const float* samples, float jumpThreshold,
                              float* maxSquaredError);

// The point a fraction `u` of the way from sample `a` to sample `b`: on the
// straight line, or for unit quaternions (orientation) turning the short
// way at a steady rate (a plain normalised blend for steps under about 3.6
// degrees, where the two differ by less than float rounding).
void SampleBetween(const float* a, const float* b, int32_t dimension, bool orientation, float u,
                   float* out);

// 1 - cos(a / 2) for an angle a in degrees: the value of 1 - q.s for two unit
// quaternions a degrees apart. 0 (parameter check) for a < 0 or a too large.
float OrientationToleranceFromDegrees(float degrees);

}  // namespace ketrel
