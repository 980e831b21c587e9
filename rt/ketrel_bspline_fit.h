#pragma once
// The B-spline fitter's pieces shared by its two files: the solver's
// buffers, one fit's inputs, the error measures, and the steps that place,
// refine and eliminate knots (ketrel_bspline_knots.cpp) around solving for
// the controls (ketrel_bspline_solver.cpp). Not a public interface.
#include <cmath>
#include <csignal>
#include <cstdint>

#include "rt/ketrel_bspline_solver.h"
#include "rt/ketrel_curve.h"

namespace ketrel {

// Rows fitted per sample step: the sample and the midpoint after it.
constexpr int32_t kRowsPerSample = 2;

struct BSplineSolver {
  int32_t MaxDegree;
  int32_t MaxSamples;
  int32_t MaxDimension;
  int32_t MaxKnots;  // the most knots of any fit it takes
  int32_t Capacity;  // entries of each knot buffer
  float* Knots;
  float* Refined;
  float* SolveKnots;  // the knots as the target format stores them (time units)
  float* Scaled;      // knots times the sample spacing
  float* Last;        // the knots a fit without FitFromLastKnots ended with
  int32_t LastCount;  // 0: none
  int32_t LastSamples;
  float* Dense;     // 2 MaxSamples - 1 rows of MaxDimension floats: samples and midpoints
  float* Controls;  // Capacity rows of MaxDimension floats
  double* Band;     // normal equations: Capacity rows of MaxDegree + 1
  double* Rhs;      // Capacity rows of MaxDimension
  bool* Skipped;    // rows whose pivot vanished
  const volatile std::sig_atomic_t* Cancel;  // nonzero: stop the fit at its next step
};

inline bool FitCancelled(const BSplineSolver* solver) {
  return solver->Cancel != nullptr && *solver->Cancel != 0;
}

namespace bspline_detail {

// The span FindReaderKnot gives (the first knot above t, clamped to the
// last) for each of a rising series of times, found by walking on from the
// last answer: a fit visits its rows in order, and a search of the whole
// knot list at every row made the work per row grow with the knot count.
// A time below the last one starts the walk over; knots out of order (a
// damaged curve) are searched as FindReaderKnot searches them.
class span_walker {
 public:
  explicit span_walker(const curve_reader& reader);
  // Plain float knots, as DaK32fC32f stores them.
  span_walker(const float* knots, int32_t count);
  int32_t Find(float t);

 private:
  const curve_data_view* View = nullptr;
  const float* Floats = nullptr;  // with no view
  int32_t Count = 0;
  bool Walks = false;
  int32_t Next = 0;
  float Last = 0.0f;
};

// One fit's inputs, shared by the steps below.
struct fit_job {
  BSplineSolver* Solver;
  int32_t Flags;
  int32_t Degree;
  float Tolerance;
  const float* Samples;
  int32_t Dimension;
  int32_t SampleCount;
  int32_t Format;
  data_type_definition* FormatType;
  float DT;
  // Sample j lies at j * Step, computed exactly as MeasureCurveError does, so
  // the solver, the refinement and the measurement see the same times.
  float Step;
  // The caller's samples. With Dense, Samples holds them and the midpoints
  // between them (2 OriginalCount - 1 rows), so that every fit is held to
  // the straight line between samples too: a curve that passes every sample
  // and swings between them is what a game sees at any other time.
  const float* Original;
  int32_t OriginalCount;
  bool Dense;
  // No fit may use this many knots. It follows this fit's rows, not the
  // solver's size, so a curve comes out the same whatever else the solver
  // was made for.
  int32_t KnotLimit;
};

// Original sample i as an index of the fitted rows.
inline int32_t RowOfSample(const fit_job& job, int32_t i) {
  return job.Dense ? kRowsPerSample * i : i;
}

inline float SampleTime(const fit_job& job, int32_t j) { return static_cast<float>(j) * job.Step; }

inline bool IsOrientation(const fit_job& job) {
  return (job.Flags & FitOrientation) != 0 && job.Dimension == 4;
}

inline const float* SampleAt(const fit_job& job, int32_t i) {
  return job.Samples + int64_t{i} * job.Dimension;
}

inline float SquaredDistance(const float* a, const float* b, int32_t d) {
  float sum = 0.0f;
  for (int32_t k = 0; k < d; ++k) sum += (a[k] - b[k]) * (a[k] - b[k]);
  return sum;
}

// 1 - q.s for unit quaternions, as (1/2)|q - s|^2: the same value, but 1 - q.s
// in float cannot tell angles below about 0.04 degrees apart, and this form
// keeps its digits down to a few microdegrees.
inline float OrientationDistance(const float* q, const float* s) {
  return 0.5f * SquaredDistance(q, s, 4);
}

// The fitter's squared error of a value against a sample: the squared
// distance, or for orientations (1 - q.s) squared.
inline float SquaredError(const float* value, const float* sample, int32_t d, bool orientation) {
  if (!orientation) return SquaredDistance(value, sample, d);
  const float e = OrientationDistance(value, sample);
  return e * e;
}

// How far one sample lies from the next, as a jump threshold is measured.
inline float StepBetween(const float* a, const float* b, int32_t d, bool orientation) {
  return orientation ? OrientationDistance(b, a) : std::sqrt(SquaredDistance(b, a, d));
}

inline float SampleError(const fit_job& job, const float* value, const float* sample) {
  return SquaredError(value, sample, job.Dimension, IsOrientation(job));
}

inline int32_t CurveDataBytes(const curve2* curve) {
  return static_cast<int32_t>(CurveDataCopySize(curve->CurveData.Object));
}

struct refine_result {
  bool Inserted = false;
  bool Missed = false;
};

// The first knots of a fit: evenly spread, with jumps and creases where the
// samples have them. Returns the knot count (in job.Solver->Knots).
int32_t PlaceInitialKnots(const fit_job& job, float jump, float crease);
// The levels of splitting that the first passes would surely make from
// `count` knots (in job.Solver->Knots), made without solving; see
// ketrel_bspline_presplit.cpp. Returns the new count.
int32_t PresplitKnots(const fit_job& job, int32_t count, int32_t byteLimit);
// See ketrel_bspline_knots.cpp.
refine_result RefineKnots(const fit_job& job, const curve2* curve, int32_t* count);
curve2* EliminateKnots(const fit_job& job, float tolerance, int32_t* count);

// The curve of the solved controls in the job's format; null when memory ran out.
curve2* BuildFitCurve(const fit_job& job, const float* knots, int32_t count);
// Solves for the controls over `count` knots; false when memory ran out.
bool SolveForFormat(const fit_job& job, const float* knots, int32_t count);

}  // namespace bspline_detail
}  // namespace ketrel
