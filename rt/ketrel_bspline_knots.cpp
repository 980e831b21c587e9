// Where a fit's knots go: the first ones, one more wherever a span misses a
// sample, and fewer wherever the curve holds without them; and the span of
// each row among them.
#include <cmath>
#include <cstring>

#include "rt/ketrel_bspline.h"
#include "rt/ketrel_bspline_fit.h"
#include "rt/ketrel_curve_format_layout.h"
#include "rt/ketrel_log.h"

namespace ketrel::bspline_detail {
namespace {

// Inserts `copies` knots of value v before the first knot greater than v.
void InsertKnot(float* knots, int32_t* count, float v, int32_t copies) {
  int32_t at = *count;
  while (at > 0 && knots[at - 1] > v) --at;
  std::memmove(knots + at + copies, knots + at, sizeof(float) * (*count - at));
  for (int32_t c = 0; c < copies; ++c) knots[at + c] = v;
  *count += copies;
}

}  // namespace

span_walker::span_walker(const float* knots, int32_t count) : Floats(knots), Count(count) {
  using curve_format_internal::BitsFromFloat;
  for (int32_t i = 1; i < count; ++i)
    if (BitsFromFloat(knots[i - 1]) > BitsFromFloat(knots[i])) return;
  Walks = count > 0;
}

span_walker::span_walker(const curve_reader& reader)
    : View(&reader.View), Count(reader.View.KnotCount) {
  using namespace curve_format_internal;
  const curve_data_view& view = reader.View;
  const bool floats =
      view.Format == CurveFormatDaK32fC32f || view.Format == CurveFormatD3I1K32fC32f;
  const bool packed = view.Format >= 0 && view.Format < kCurveFormatCount &&
                      IsPacked(view.Format) && view.Format != CurveFormatD3I1K32fC32f;
  if (view.KnotCount <= 0 || !(floats || packed)) return;
  // The search halves a sorted list; walking finds the same knot only there.
  const float* knots =
      view.Format == CurveFormatDaK32fC32f ? view.Knots : static_cast<const float*>(view.Codes);
  for (int32_t i = 1; i < view.KnotCount; ++i) {
    const bool ordered = floats ? BitsFromFloat(knots[i - 1]) <= BitsFromFloat(knots[i])
                                : CodeAt(view, i - 1) <= CodeAt(view, i);
    if (!ordered) return;
  }
  Walks = true;
}

int32_t span_walker::Find(float t) {
  using namespace curve_format_internal;
  if (Floats != nullptr && !(Walks && t >= 0.0f)) {
    // As FindKnotInView searches float knots.
    if (Count <= 0) return -1;
    const uint32_t key = BitsFromFloat(std::fabs(t));
    int32_t low = 0, high = Count;
    while (low < high) {
      const int32_t mid = low + (high - low) / 2;
      if (BitsFromFloat(Floats[mid]) > key)
        high = mid;
      else
        low = mid + 1;
    }
    return low < Count ? low : Count - 1;
  }
  // Negative and NaN times order otherwise: searched.
  if (!Walks || !(t >= 0.0f)) return FindKnotInView(*View, t);
  if (t < Last) Next = 0;
  Last = t;
  const int32_t count = Count;
  const int32_t format = View != nullptr ? View->Format : CurveFormatDaK32fC32f;
  if (format == CurveFormatDaK32fC32f || format == CurveFormatD3I1K32fC32f) {
    const float* knots = View == nullptr                   ? Floats
                         : format == CurveFormatDaK32fC32f ? View->Knots
                                                           : static_cast<const float*>(View->Codes);
    const uint32_t key = BitsFromFloat(std::fabs(t));
    while (Next < count && !(BitsFromFloat(knots[Next]) > key)) ++Next;
  } else {
    const curve_data_view& view = *View;
    // The code of t exactly as the search computes it.
    const float scaled = std::floor(t * view.KnotScale);
    const int64_t limit = KnotCodeMax(view.Format);
    const int64_t q =
        !(scaled > 0.0f)
            ? (t * view.KnotScale < 0.0f ? -1 : 0)
            : (scaled >= static_cast<float>(limit) ? limit : static_cast<int64_t>(scaled));
    while (Next < count && !(static_cast<int64_t>(CodeAt(view, Next)) > q)) ++Next;
  }
  return Next < count ? Next : count - 1;
}

// Jumps and creases are judged on the caller's samples.
int32_t PlaceInitialKnots(const fit_job& job, float jump, float crease) {
  float* knots = job.Solver->Knots;
  int32_t p = job.Degree;
  int32_t n = job.OriginalCount;
  int32_t count = 2;
  knots[0] = 0.0f;
  knots[1] = static_cast<float>(job.SampleCount - 1);
  if (job.Flags & FitStartKnots) {
    for (int32_t j = p - 1; j >= 1; --j) InsertKnot(knots, &count, 0.125f * j, 1);
  }
  bool orientation = IsOrientation(job);
  int32_t limit = job.KnotLimit - (p + 2);
  auto original = [&](int32_t i) { return job.Original + int64_t{i} * job.Dimension; };
  for (int32_t i = 1; i + 1 < n && count < limit; ++i) {
    const float* before = original(i - 1);
    const float* here = original(i);
    const float* after = original(i + 1);
    // A jump starts a new piece at sample i: the evaluator puts a sample
    // lying exactly on a knot into the span after it, so the step must be
    // between i - 1 and i. Measuring the step after i as well would give a
    // second jump and strand sample i in a piece of its own.
    float jumpMeasure, creaseMeasure;
    if (orientation) {
      float step = OrientationDistance(here, before);
      jumpMeasure = step * step;
      float bend = step - OrientationDistance(here, after);
      creaseMeasure = bend * bend;
    } else {
      jumpMeasure = SquaredDistance(here, before, job.Dimension);
      creaseMeasure = 0.0f;
      for (int32_t k = 0; k < job.Dimension; ++k) {
        float second = 2.0f * here[k] - (before[k] + after[k]);
        creaseMeasure += second * second;
      }
    }
    const int32_t row = RowOfSample(job, i);
    if ((job.Flags & FitAllowJumps) && jumpMeasure > jump * jump) {
      InsertKnot(knots, &count, static_cast<float>(row), p + 1);
    } else if ((job.Flags & FitAllowCreases) && p > 0 && creaseMeasure > crease * crease) {
      InsertKnot(knots, &count, static_cast<float>(row), p);
    }
  }
  if (count == 2 && p > 1) {
    count = p + 1;
    for (int32_t k = 0; k <= p; ++k)
      knots[k] = std::round(static_cast<float>(k) * (job.SampleCount - 1) / p);
  }
  return count;
}

// One pass over every sample: a span holding a sample beyond the tolerance
// gets one knot at its middle when it is wide enough. A span too narrow to
// split gets a knot at its missed sample that differs most from the sample
// before it, one more copy each pass up to a jump (multiplicity p + 1), where
// that sample starts a piece of its own: a step in the samples (a first frame
// in another pose, a cut, capture jitter) is followed within the tolerance at
// the cost it needs rather than smoothed over by centimetres. A sample that
// already starts a piece cannot be helped further: the fit misses.
refine_result RefineKnots(const fit_job& job, const curve2* curve, int32_t* count) {
  BSplineSolver* s = job.Solver;
  const float* knots = s->Knots;
  float* out = s->Refined;
  int32_t k = *count;
  int32_t p = job.Degree;
  int32_t written = 0;
  refine_result result;
  float limit = job.Tolerance * job.Tolerance;
  bool orientation = IsOrientation(job);
  int32_t span = 0;
  bool candidate = false;
  // Copies a knot at a row may reach: a crease (p) keeps the curve whole,
  // so it holds to the line between rows as well; a jump (p + 1) only when
  // the caller allows jumps.
  const int32_t most = (job.Flags & FitAllowJumps) ? p + 1 : (p > 0 ? p : 1);
  int32_t jumpSample = -1;  // where a narrow span gets its knot, or -1
  float jumpStep = -1.0f;
  float value[kMaxCurveDimension];
  curve_reader reader;
  if (!BeginCurveReader(curve, &reader)) {
    result.Missed = true;
    return result;
  }
  span_walker walker(reader);
  curve_window window;
  // Copies of `v` at the end of `out` (the knot before the first counts as
  // a full jump: the curve is clamped there).
  auto multiplicity = [&](float v) {
    int32_t m = 0;
    while (m < written && out[written - 1 - m] == v) ++m;
    return m == written ? p + 1 : m;
  };
  auto closeSpan = [&](int32_t right) {
    // Copies knots up to `right`, with the midpoint or sample knot before it if chosen.
    if (candidate) {
      // On a row: a knot between two rows would bend the curve where no
      // row measures it.
      out[written++] = std::round((knots[right - 1] + knots[right]) * 0.5f);
      result.Inserted = true;
    } else if (jumpSample >= 0) {
      float v = static_cast<float>(jumpSample);
      if (multiplicity(v) < most) out[written++] = v;
      result.Inserted = true;
    }
    candidate = false;
    jumpSample = -1;
    jumpStep = -1.0f;
  };
  out[written++] = knots[0];
  span = 0;
  for (int32_t j = 0; j < job.SampleCount; ++j) {
    float t = static_cast<float>(j);
    while (span < k - 1 && knots[span] <= t) {
      if (span > 0) {
        closeSpan(span);
        out[written++] = knots[span];
      }
      ++span;
    }
    if (span == 0) continue;  // only with a single knot
    // A span already split gains nothing from its other rows: a span wide
    // enough for a middle knot takes every miss that way.
    if (candidate) continue;
    // As EvaluateCurveAtT does it, on the record read once.
    float at = SampleTime(job, j);
    if (!(at > 0.0f)) at = 0.0f;
    int32_t knot = walker.Find(at);
    EvaluateReaderInWindow(reader, job.Dimension, orientation, knot < 0 ? 0 : knot, at, value,
                           &window);
    float error = SampleError(job, value, SampleAt(job, j));
    if (error <= limit) continue;
    float left = knots[span - 1];
    bool repeated = span >= 2 && knots[span - 2] == left;
    float needed = (span == 1 || repeated) ? 6.0f : 3.0f;
    // Room for the knot a span can gain, and the knots still to copy.
    bool room = written + (k - span) + p + 1 < job.KnotLimit;
    if (knots[span] - left >= needed && room) {
      candidate = true;
      continue;
    }
    // A knot at j needs j inside the span, not at its end, and no full jump
    // already starting there.
    bool startsPiece = t == left && (span == 1 || (span >= most && knots[span - most] == left));
    if (room && j > 0 && t < knots[span] && !startsPiece) {
      float step = SampleError(job, SampleAt(job, j - 1), SampleAt(job, j));
      if (step > jumpStep) {
        jumpStep = step;
        jumpSample = j;
      }
    } else if (room && startsPiece && j > 0) {
      // The row sits on a knot as full as it may get, whose control the rows
      // on both sides share: knots on the rows either side free it from the
      // rows beyond them.
      bool helped = false;
      int32_t copies = 0;
      while (copies < written && out[written - 1 - copies] == t) ++copies;
      if (copies > 0 && copies < written && out[written - 1 - copies] < t - 1.0f) {
        for (int32_t m = 0; m < copies; ++m) out[written - m] = t;
        out[written - copies] = t - 1.0f;
        ++written;
        helped = true;
      }
      if (t + 1.0f < knots[span] && jumpSample < 0) {
        jumpSample = j + 1;
        helped = true;
      }
      if (helped) {
        result.Inserted = true;
      } else {
        result.Missed = true;
      }
    } else {
      result.Missed = true;
    }
  }
  while (span < k - 1) {
    if (span > 0) {
      closeSpan(span);
      out[written++] = knots[span];
    }
    ++span;
  }
  if (k > 1) {
    closeSpan(k - 1);
    out[written++] = knots[k - 1];
  }
  *count = written;
  return result;
}

curve2* EliminateKnots(const fit_job& job, float tolerance, int32_t* count) {
  BSplineSolver* s = job.Solver;
  float* knots = s->Knots;
  int32_t k = (job.Flags & FitStartKnots) ? 2 : 1;
  curve2* accepted = nullptr;
  float limit = tolerance * tolerance;
  float duration = static_cast<float>(job.SampleCount - 1) * job.DT;
  while (*count >= 4 && k < *count - 1 && !FitCancelled(s)) {
    float* trial = s->Refined;
    int32_t trialCount = 0;
    for (int32_t i = 0; i < *count; ++i)
      if (i != k) trial[trialCount++] = knots[i];
    curve2* curve =
        SolveForFormat(job, trial, trialCount) ? BuildFitCurve(job, trial, trialCount) : nullptr;
    CurveErrorStats stats;
    if (curve != nullptr &&
        MeasureCurveError(job.Flags, job.Dimension, duration, curve, job.SampleCount, job.Samples,
                          &stats) &&
        stats.MaxSquaredError <= limit) {
      std::memcpy(knots, trial, sizeof(float) * trialCount);
      *count = trialCount;
      FreeCurve(accepted);
      accepted = curve;
    } else {
      FreeCurve(curve);
      ++k;
    }
  }
  SolveForFormat(job, knots, *count);
  return accepted;
}

}  // namespace ketrel::bspline_detail
