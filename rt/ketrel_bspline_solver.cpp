#include "rt/ketrel_bspline_solver.h"

#include <cmath>
#include <cstring>
#include <utility>

#include "rt/ketrel_bspline.h"
#include "rt/ketrel_bspline_fit.h"
#include "rt/ketrel_curve_format_layout.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"

namespace ketrel {

using namespace bspline_detail;

BSplineSolver* CreateBSplineSolver(int32_t maxDegree, int32_t maxSamples, int32_t maxDimension) {
  if (!KT_CHECK_PARAMETER(Curve, maxDegree >= 0 && maxDegree <= kMaxBSplineDegree &&
                                     maxSamples >= 1 && maxDimension >= 1 &&
                                     maxDimension <= kMaxCurveDimension)) {
    return nullptr;
  }
  // Fits run over the samples and the midpoints between them.
  int64_t denseSamples = kRowsPerSample * (int64_t{maxSamples} - 1) + 1;
  int64_t maxKnots = int64_t{maxDegree + 1} * denseSamples;
  int64_t capacity = maxKnots + 1 + 2 * int64_t{maxDegree + 1};
  if (!KT_CHECK_PARAMETER(Curve, capacity < (int64_t{1} << 28))) return nullptr;
  // One block for everything, carved in order of alignment.
  size_t band = sizeof(double) * capacity * (maxDegree + 1);
  size_t rhs = sizeof(double) * capacity * maxDimension;
  size_t knots = sizeof(float) * capacity;
  size_t controls = sizeof(float) * capacity * maxDimension;
  size_t dense = sizeof(float) * denseSamples * maxDimension;
  size_t total = sizeof(BSplineSolver) + band + rhs + 5 * knots + controls + dense + capacity;
  // Callers fall back to smaller or fewer solvers when this fails, so the
  // failure is theirs to report.
  char* block = static_cast<char*>(TryAllocateBlock(total + 16, __FILE__, __LINE__));
  if (block == nullptr) return nullptr;
  std::memset(block, 0, total + 16);
  auto* solver = reinterpret_cast<BSplineSolver*>(block);
  char* cursor = block + ((sizeof(BSplineSolver) + 15) & ~size_t{15});
  solver->Band = reinterpret_cast<double*>(cursor), cursor += band;
  solver->Rhs = reinterpret_cast<double*>(cursor), cursor += rhs;
  solver->Knots = reinterpret_cast<float*>(cursor), cursor += knots;
  solver->Refined = reinterpret_cast<float*>(cursor), cursor += knots;
  solver->SolveKnots = reinterpret_cast<float*>(cursor), cursor += knots;
  solver->Scaled = reinterpret_cast<float*>(cursor), cursor += knots;
  solver->Last = reinterpret_cast<float*>(cursor), cursor += knots;
  solver->Controls = reinterpret_cast<float*>(cursor), cursor += controls;
  solver->Dense = reinterpret_cast<float*>(cursor), cursor += dense;
  solver->Skipped = reinterpret_cast<bool*>(cursor);
  solver->MaxDegree = maxDegree;
  solver->MaxSamples = maxSamples;
  solver->MaxDimension = maxDimension;
  solver->MaxKnots = static_cast<int32_t>(maxKnots);
  solver->Capacity = static_cast<int32_t>(capacity);
  return solver;
}

void DestroyBSplineSolver(BSplineSolver* solver) { FreeBlock(solver); }

bool BSplineSolverTakes(const BSplineSolver* solver, int32_t sampleCount, int32_t dimension) {
  return solver != nullptr && sampleCount <= solver->MaxSamples &&
         dimension <= solver->MaxDimension;
}

void SetBSplineSolverCancel(BSplineSolver* solver, const volatile std::sig_atomic_t* flag) {
  if (solver != nullptr) solver->Cancel = flag;
}

int32_t BSplineSolverSamples(const BSplineSolver* solver) {
  return solver != nullptr ? solver->MaxSamples : 0;
}

int32_t BSplineSolverDimension(const BSplineSolver* solver) {
  return solver != nullptr ? solver->MaxDimension : 0;
}

namespace {

// Weight of the pull of each control toward its nearest sample, against the
// sum of squared basis weights (about 1 per sample) of the samples it shapes.
constexpr double kControlDamping = 1e-5;

}  // namespace

void SampleBetween(const float* a, const float* b, int32_t dimension, bool orientation, float u,
                   float* out) {
  if (!orientation || dimension != 4) {
    for (int32_t k = 0; k < dimension; ++k) out[k] = a[k] + u * (b[k] - a[k]);
    return;
  }
  TurnBetween(a, b, u, out);
}

namespace {

// The caller's samples and, between each two, the points the source passes
// on its way from one to the next. A step the caller lets jump (past
// `jump`, the fit's measure; below 0: none) holds the earlier sample up to
// the later one, where the curve's piece starts.
void FillDense(const float* samples, int32_t count, int32_t d, bool orientation, float jump,
               float* dense) {
  for (int32_t i = 0; i < count; ++i) {
    const float* a = samples + int64_t{i} * d;
    std::memcpy(dense + int64_t{kRowsPerSample} * i * d, a, sizeof(float) * d);
    if (i + 1 == count) break;
    const float* b = a + d;
    const bool jumps = jump >= 0.0f && StepBetween(a, b, d, orientation) > jump;
    for (int32_t r = 1; r < kRowsPerSample; ++r) {
      float* row = dense + (int64_t{kRowsPerSample} * i + r) * d;
      if (jumps) {
        std::memcpy(row, a, sizeof(float) * d);
      } else {
        SampleBetween(a, b, d, orientation, static_cast<float>(r) / kRowsPerSample, row);
      }
    }
  }
}

// Least squares for the control points of `count` knots as the target
// format stores them (`walker` finds spans among the encoded knots): each
// sample goes to the span the evaluator will use for it, with the same knot
// values, so jumps and degree 0 steps land on the same side in both. The normal
// equations are banded (half-bandwidth p) and factored by Cholesky without
// pivoting. With FitPinEnds the first and last control points are fixed to
// the first and last samples and the rest is solved around them.
// Made for the usual degrees and dimensions with them fixed (-1: as the
// job says), which lets the loops over them unroll; the arithmetic is the
// same in every instance.
template <int32_t Degree, int32_t Dimension>
void SolveControlsOf(const fit_job& job, span_walker& walker, const float* knots, int32_t count) {
  BSplineSolver* s = job.Solver;
  const int32_t p = Degree >= 0 ? Degree : job.Degree;
  const int32_t d = Dimension >= 0 ? Dimension : job.Dimension;
  const int32_t width = p + 1;
  std::memset(s->Band, 0, sizeof(double) * count * width);
  std::memset(s->Rhs, 0, sizeof(double) * count * d);
  bool pin = (job.Flags & FitPinEnds) != 0;
  const float* firstSample = SampleAt(job, 0);
  const float* lastSample = SampleAt(job, job.SampleCount - 1);
  auto pinnedValue = [&](int32_t row) -> const float* {
    if (!pin) return nullptr;
    if (row == 0 && count > 1) return firstSample;
    if (row == count - 1) return lastSample;
    return nullptr;
  };
  for (int32_t j = 0; j < job.SampleCount; ++j) {
    float t = SampleTime(job, j);
    int32_t span = walker.Find(t);
    if (span < 0) span = 0;
    float window[2 * kMaxBSplineDegree];
    for (int32_t r = 0; r < 2 * p; ++r) {
      int32_t index = span - p + r;
      window[r] = knots[index < 0 ? 0 : (index >= count ? count - 1 : index)];
    }
    float basis[kMaxBSplineDegree + 1];
    EvaluateBSplineBasis(p, window, t, basis);
    // Control points before the first stand for P_0: fold their weights.
    int32_t rows[kMaxBSplineDegree + 1];
    double weights[kMaxBSplineDegree + 1];
    int32_t used = 0;
    for (int32_t r = 0; r <= p; ++r) {
      int32_t row = span - p + r;
      if (row < 0) row = 0;
      if (used > 0 && rows[used - 1] == row) {
        weights[used - 1] += basis[r];
      } else {
        rows[used] = row;
        weights[used++] = basis[r];
      }
    }
    // The weights sum to 1 but for rounding; making that exact lets constant
    // stretches (both sides of a jump) solve to exactly their value.
    double total = 0.0;
    for (int32_t a = 0; a < used; ++a) total += weights[a];
    if (total > 0.0) {
      for (int32_t a = 0; a < used; ++a) weights[a] /= total;
    }
    const float* sample = SampleAt(job, j);
    for (int32_t a = 0; a < used; ++a) {
      if (pinnedValue(rows[a]) != nullptr) continue;
      double* band = s->Band + int64_t{rows[a]} * width;
      double* rhs = s->Rhs + int64_t{rows[a]} * d;
      for (int32_t k = 0; k < d; ++k) rhs[k] += weights[a] * sample[k];
      for (int32_t b = 0; b < used; ++b) {
        const float* fixed = pinnedValue(rows[b]);
        double product = weights[a] * weights[b];
        if (fixed != nullptr) {
          for (int32_t k = 0; k < d; ++k) rhs[k] -= product * fixed[k];
        } else if (rows[b] >= rows[a]) {
          band[rows[b] - rows[a]] += product;
        }
      }
    }
  }
  // A piece between two jumps that holds fewer samples than controls leaves
  // some controls free: the solve would give them any values that pass
  // through those few samples, wild ones a float curve can carry but that
  // quantized or normalised controls cannot. For those formats a faint pull
  // toward the sample at each control's knot settles them and leaves
  // determined controls practically where they were; the refinement still
  // checks every sample. Float curves keep the exact least squares (a wild
  // one fails the check between samples).
  const bool damp = job.Format != CurveFormatDaK32fC32f;
  for (int32_t row = 0; damp && row < count; ++row) {
    if (pinnedValue(row) != nullptr) continue;
    int64_t j = static_cast<int64_t>(std::lround(knots[row] / job.Step));
    j = j < 0 ? 0 : (j >= job.SampleCount ? job.SampleCount - 1 : j);
    const float* near = SampleAt(job, static_cast<int32_t>(j));
    s->Band[int64_t{row} * width] += kControlDamping;
    for (int32_t k = 0; k < d; ++k) s->Rhs[int64_t{row} * d + k] += kControlDamping * near[k];
  }
  for (int32_t row = 0; row < count; ++row) {
    const float* fixed = pinnedValue(row);
    if (fixed == nullptr) continue;
    s->Band[int64_t{row} * width] = 1.0;
    for (int32_t k = 0; k < d; ++k) s->Rhs[int64_t{row} * d + k] = fixed[k];
  }
  // Banded Cholesky, A = U^T U; the diagonal keeps 1 / U(a, a). A pivot that
  // vanishes (a control point no sample reaches) leaves its row out.
  for (int32_t a = 0; a < count; ++a) {
    double* row = s->Band + int64_t{a} * width;
    for (int32_t k = 0; k < width && a + k < count; ++k) {
      double sum = row[k];
      for (int32_t m = 1; m + k < width && m <= a; ++m) {
        const double* above = s->Band + int64_t{a - m} * width;
        sum -= above[m] * above[m + k];
      }
      row[k] = sum;
    }
    if (row[0] > 1e-5) {
      double inverse = 1.0 / std::sqrt(row[0]);
      row[0] = inverse;
      for (int32_t k = 1; k < width; ++k) row[k] *= inverse;
      s->Skipped[a] = false;
    } else {
      for (int32_t k = 0; k < width; ++k) row[k] = 0.0;
      s->Skipped[a] = true;
    }
  }
  // Forward substitution U^T y = b, then back substitution U x = y.
  for (int32_t a = 0; a < count; ++a) {
    double* y = s->Rhs + int64_t{a} * d;
    if (s->Skipped[a]) continue;
    for (int32_t m = 1; m < width && m <= a; ++m) {
      double u = s->Band[int64_t{a - m} * width + m];
      const double* above = s->Rhs + int64_t{a - m} * d;
      for (int32_t k = 0; k < d; ++k) y[k] -= u * above[k];
    }
    for (int32_t k = 0; k < d; ++k) y[k] *= s->Band[int64_t{a} * width];
  }
  for (int32_t a = count - 1; a >= 0; --a) {
    double* x = s->Rhs + int64_t{a} * d;
    if (s->Skipped[a]) {
      // No sample reaches this control point: it copies its neighbour (the
      // last one copies the last sample).
      const float* from = a + 1 < count ? nullptr : lastSample;
      for (int32_t k = 0; k < d; ++k) x[k] = from != nullptr ? from[k] : x[d + k];
      continue;
    }
    const double* row = s->Band + int64_t{a} * width;
    for (int32_t k = 1; k < width && a + k < count; ++k) {
      const double* below = s->Rhs + int64_t{a + k} * d;
      for (int32_t c = 0; c < d; ++c) x[c] -= row[k] * below[c];
    }
    for (int32_t c = 0; c < d; ++c) x[c] *= row[0];
  }
  for (int64_t i = 0; i < int64_t{count} * d; ++i) s->Controls[i] = static_cast<float>(s->Rhs[i]);
}

void SolveControls(const fit_job& job, span_walker& walker, const float* knots, int32_t count) {
  const int32_t p = job.Degree, d = job.Dimension;
  if (p == 1 && d == 3) return SolveControlsOf<1, 3>(job, walker, knots, count);
  if (p == 1 && d == 4) return SolveControlsOf<1, 4>(job, walker, knots, count);
  if (p == 2 && d == 3) return SolveControlsOf<2, 3>(job, walker, knots, count);
  if (p == 2 && d == 4) return SolveControlsOf<2, 4>(job, walker, knots, count);
  if (p == 3 && d == 3) return SolveControlsOf<3, 3>(job, walker, knots, count);
  if (p == 3 && d == 4) return SolveControlsOf<3, 4>(job, walker, knots, count);
  SolveControlsOf<-1, -1>(job, walker, knots, count);
}

}  // namespace

// The curve of `knots` (sample units) and the solver's controls in the
// target format, in time units: exactly the curve that would be kept.
curve2* bspline_detail::BuildFitCurve(const fit_job& job, const float* knots, int32_t count) {
  BSplineSolver* s = job.Solver;
  for (int32_t i = 0; i < count; ++i) s->Scaled[i] = knots[i] * job.DT;
  // Knot codes round to the nearest step, which can put a knot meant to
  // start a piece at sample j just after j: j then falls in the piece
  // before, the piece after has fewer samples than controls and the fit
  // solves them wild, beyond what quantized or normalised controls hold.
  // Knots that round down (at most a code early) keep every sample on the
  // side the refinement placed it. The last knot sets the scale and stays.
  const int32_t codeMax = curve_format_internal::KnotCodeMax(job.Format);
  if (codeMax > 0 && count > 1) {
    const float scale =
        curve_format_internal::KnotScaleFor(job.Format, s->Scaled[count - 1], nullptr);
    // A knot whose code would decode past it goes half a code down (and a
    // little more for the rounding of the product): it rounds down instead.
    const float inverse = curve_format_internal::InverseOfScale(scale);
    const float down = 0.51f / scale;
    for (int32_t i = 0; i + 1 < count; ++i) {
      const float code = std::floor(s->Scaled[i] * scale + 0.5f);
      if (code * inverse > s->Scaled[i]) s->Scaled[i] -= down;
    }
  }
  curve_builder builder;
  BeginCurveInPlace(&builder, job.FormatType, job.Degree, job.Dimension, count);
  SetKnotArray(&builder, s->Scaled);
  SetControlArray(&builder, s->Controls);
  return EndCurve(&builder);
}

// Solves for `knots` as the target format will store them (quantized knots
// included), so the curve is measured as it is kept. False when out of memory.
bool bspline_detail::SolveForFormat(const fit_job& job, const float* knots, int32_t count) {
  BSplineSolver* s = job.Solver;
  if (job.Format == CurveFormatDaK32fC32f) {
    // Float knots are stored as BuildFitCurve scales them, unrounded.
    for (int32_t i = 0; i < count; ++i) s->SolveKnots[i] = knots[i] * job.DT;
    span_walker walker(s->SolveKnots, count);
    SolveControls(job, walker, s->SolveKnots, count);
    return true;
  }
  // The knot codes do not depend on the controls: encode with zero controls
  // and read the stored knots back.
  std::memset(s->Controls, 0, sizeof(float) * count * job.Dimension);
  if (job.Format == CurveFormatD4nK16uC15u || job.Format == CurveFormatD4nK8uC7u) {
    for (int32_t i = 0; i < count; ++i) s->Controls[4 * i + 3] = 1.0f;
  }
  curve2* spans = BuildFitCurve(job, knots, count);
  if (spans == nullptr) return false;
  curve_reader reader;
  bool ok = ExtractCurveKnotsControls(spans, 0, count, s->SolveKnots, nullptr, nullptr) &&
            BeginCurveReader(spans, &reader);
  if (ok) {
    span_walker walker(reader);
    SolveControls(job, walker, s->SolveKnots, count);
  }
  FreeCurve(spans);
  return ok;
}

namespace {

// Whether every control lies within the samples' box widened by its own
// largest side (and the tolerance) all round. A control beyond that is not
// shaped by the samples but by an ill-conditioned solve, and the curve
// swings with it wherever it is not measured.
bool ControlsWithinReach(const fit_job& job, int32_t count) {
  const int32_t d = job.Dimension;
  float low[kMaxCurveDimension], high[kMaxCurveDimension];
  for (int32_t k = 0; k < d; ++k) low[k] = high[k] = job.Samples[k];
  for (int32_t j = 1; j < job.SampleCount; ++j) {
    const float* s = SampleAt(job, j);
    for (int32_t k = 0; k < d; ++k) {
      low[k] = std::fmin(low[k], s[k]);
      high[k] = std::fmax(high[k], s[k]);
    }
  }
  float side = 0.0f;
  for (int32_t k = 0; k < d; ++k) side = std::fmax(side, high[k] - low[k]);
  const float margin = side + (IsOrientation(job) ? 0.01f : job.Tolerance);
  for (int64_t i = 0; i < int64_t{count} * d; ++i) {
    const int32_t k = static_cast<int32_t>(i % d);
    const float v = job.Solver->Controls[i];
    if (!(v >= low[k] - margin && v <= high[k] + margin)) return false;
  }
  return true;
}

}  // namespace

curve2* FitBSpline(BSplineSolver* solver, int32_t flags, int32_t degree, float tolerance,
                   float jumpThreshold, float crease, const float* samples, int32_t dimension,
                   int32_t sampleCount, float dT, data_type_definition* format, int32_t byteLimit,
                   bool* achieved, int32_t* byteSize) {
  if (achieved != nullptr) *achieved = false;
  if (byteSize != nullptr) *byteSize = -1;
  int32_t formatNumber = format != nullptr ? FindCurveFormat(format) : CurveFormatDaK32fC32f;
  // The solver's maxima bound every buffer below: check them before use.
  if (!KT_CHECK_PARAMETER(Curve, solver != nullptr && samples != nullptr && degree >= 0 &&
                                     degree <= solver->MaxDegree && dimension >= 1 &&
                                     dimension <= solver->MaxDimension && sampleCount >= 2 &&
                                     sampleCount <= solver->MaxSamples && dT > 0.0f &&
                                     std::isfinite(dT) && tolerance >= 0.0f &&
                                     formatNumber != CurveFormatUnknown)) {
    return nullptr;
  }
  float duration = static_cast<float>(sampleCount - 1) * dT;
  // Steps (degree 0) hold each sample until the next: no line between them.
  const bool dense = degree >= 1;
  const int32_t rows = dense ? kRowsPerSample * (sampleCount - 1) + 1 : sampleCount;
  if (dense) {
    FillDense(samples, sampleCount, dimension, (flags & FitOrientation) != 0 && dimension == 4,
              (flags & FitAllowJumps) ? jumpThreshold : -1.0f, solver->Dense);
  }
  const float rowDT = dense ? dT / kRowsPerSample : dT;
  fit_job job{solver,
              flags,
              degree,
              tolerance,
              dense ? solver->Dense : samples,
              dimension,
              rows,
              formatNumber,
              GetCurveFormatType(formatNumber),
              rowDT,
              duration / static_cast<float>(rows - 1),
              samples,
              sampleCount,
              dense,
              (solver->MaxDegree + 1) * rows};
  samples = job.Samples;  // everything below fits and measures the rows
  sampleCount = rows;
  const bool fromLast = (flags & FitFromLastKnots) != 0 && solver->LastCount > 0 &&
                        solver->LastSamples == sampleCount;
  int32_t count = 0;
  if (fromLast) {
    count = solver->LastCount;
    std::memcpy(solver->Knots, solver->Last, sizeof(float) * count);
  } else {
    count = PlaceInitialKnots(job, jumpThreshold, crease);
    if ((flags & FitEveryPass) == 0) count = PresplitKnots(job, count, byteLimit);
  }
  curve2* curve = nullptr;
  bool limited = false;
  refine_result refined;
  for (;;) {
    FreeCurve(curve);
    if (FitCancelled(solver)) return nullptr;
    curve = SolveForFormat(job, solver->Knots, count) ? BuildFitCurve(job, solver->Knots, count)
                                                      : nullptr;
    if (curve == nullptr) return nullptr;
    int32_t size = CurveDataBytes(curve);
    if ((byteLimit > 0 && size > byteLimit) || count >= job.KnotLimit) {
      limited = true;
      break;
    }
    int32_t next = count;
    refined = RefineKnots(job, curve, &next);
    if (!refined.Inserted) break;
    std::swap(solver->Knots, solver->Refined);
    count = next;
  }
  if (!limited) {
    curve2* reduced = nullptr;
    if (!refined.Missed && (flags & FitEliminateKnots)) {
      reduced = EliminateKnots(job, tolerance, &count);
    } else if (refined.Missed && (flags & FitEliminateOnMiss)) {
      CurveErrorStats stats;
      if (MeasureCurveError(flags, dimension, duration, curve, sampleCount, samples, &stats)) {
        reduced = EliminateKnots(job, std::sqrt(stats.MaxSquaredError) + tolerance, &count);
      }
    }
    if (reduced != nullptr) FreeCurve(reduced);
  }
  FreeCurve(curve);
  if (FitCancelled(solver)) return nullptr;
  if ((flags & FitFromLastKnots) == 0) {
    std::memcpy(solver->Last, solver->Knots, sizeof(float) * count);
    solver->LastCount = count;
    solver->LastSamples = sampleCount;
  }
  // The curve that is kept, in time units; its error is measured as stored,
  // so a reported success holds for exactly these numbers.
  curve = BuildFitCurve(job, solver->Knots, count);
  if (curve == nullptr) return nullptr;
  CurveErrorStats stats;
  bool within =
      MeasureCurveError(flags, dimension, duration, curve, sampleCount, samples, &stats) &&
      stats.MaxSquaredError <= tolerance * tolerance;
  if (achieved != nullptr) {
    *achieved = !limited && !refined.Missed && within && ControlsWithinReach(job, count);
  }
  if (byteSize != nullptr) *byteSize = CurveDataBytes(curve);
  return curve;
}

bool MeasureCurveError(int32_t flags, int32_t dimension, float duration, const curve2* curve,
                       int32_t sampleCount, const float* samples, CurveErrorStats* stats) {
  if (!KT_CHECK_PARAMETER(Curve, stats != nullptr)) return false;
  *stats = CurveErrorStats{};
  if (!KT_CHECK_PARAMETER(Curve, curve != nullptr && samples != nullptr && sampleCount >= 1 &&
                                     dimension >= 1 && dimension <= kMaxCurveDimension)) {
    return false;
  }
  bool orientation = (flags & FitOrientation) != 0 && dimension == 4;
  float step = sampleCount > 1 ? duration / static_cast<float>(sampleCount - 1) : 0.0f;
  float value[kMaxCurveDimension];
  curve_reader reader;
  if (!BeginCurveReader(curve, &reader)) return false;
  double total = 0.0;  // thousands of tiny terms: float would drop the small ones
  span_walker walker(reader);
  curve_window window;
  for (int32_t i = 0; i < sampleCount; ++i) {
    float t = static_cast<float>(i) * step;
    int32_t knot = walker.Find(t);
    if (!EvaluateReaderInWindow(reader, dimension, orientation, knot < 0 ? 0 : knot, t, value,
                                &window)) {
      return false;
    }
    const float* sample = samples + int64_t{i} * dimension;
    const float error = SquaredError(value, sample, dimension, orientation);
    total += error;
    if (error > stats->MaxSquaredError || std::isnan(error)) {
      stats->MaxSquaredError = error;
      stats->MaxErrorSample = i;
      stats->MaxErrorKnot = knot;
    }
  }
  stats->TotalSquaredError = static_cast<float>(total);
  return true;
}

bool MeasureCurveErrorBetween(int32_t flags, int32_t dimension, float duration, const curve2* curve,
                              int32_t sampleCount, const float* samples, float jumpThreshold,
                              float* maxSquaredError) {
  if (!KT_CHECK_PARAMETER(Curve, maxSquaredError != nullptr)) return false;
  *maxSquaredError = 0.0f;
  if (!KT_CHECK_PARAMETER(Curve, curve != nullptr && samples != nullptr && sampleCount >= 1 &&
                                     dimension >= 1 && dimension <= kMaxCurveDimension)) {
    return false;
  }
  if (sampleCount < 2) return true;
  const bool orientation = (flags & FitOrientation) != 0 && dimension == 4;
  const float step = duration / static_cast<float>(sampleCount - 1);
  float value[kMaxCurveDimension], expected[kMaxCurveDimension];
  curve_reader reader;
  if (!BeginCurveReader(curve, &reader)) return false;
  span_walker walker(reader);
  curve_window window;
  for (int32_t i = 0; i + 1 < sampleCount; ++i) {
    const float* a = samples + int64_t{i} * dimension;
    if (jumpThreshold >= 0.0f &&
        StepBetween(a, a + dimension, dimension, orientation) > jumpThreshold)
      continue;
    for (int32_t q = 1; q < 4; ++q) {
      const float u = 0.25f * static_cast<float>(q);
      const float t = (static_cast<float>(i) + u) * step;
      const int32_t knot = walker.Find(t);
      if (!EvaluateReaderInWindow(reader, dimension, orientation, knot < 0 ? 0 : knot, t, value,
                                  &window)) {
        return false;
      }
      SampleBetween(a, a + dimension, dimension, orientation, u, expected);
      const float error = SquaredError(value, expected, dimension, orientation);
      if (!(error <= *maxSquaredError)) *maxSquaredError = std::isnan(error) ? INFINITY : error;
    }
  }
  return true;
}

}  // namespace ketrel
