// CompressCurve: the smallest curve within tolerance among the identity, a
// constant, the float fit and the candidate formats.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "rt/ketrel_bspline_fit.h"
#include "rt/ketrel_bspline_solver.h"
#include "rt/ketrel_curve_format_layout.h"
#include "rt/ketrel_curve_sampled.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"

namespace ketrel {
namespace {

constexpr float kHugeError = 1.9140881e38f;

// Error of a value against a sample: distance, or |1 - q.s| for
// orientations, computed as (1/2)|q - s|^2, which keeps small angles apart in
// float (the reduction test and the key check use plain, not squared, errors).
float ErrorAgainst(const float* v, const float* s, int32_t dimension, bool orientation) {
  float sum = 0.0f;
  for (int32_t k = 0; k < (orientation ? 4 : dimension); ++k) sum += (v[k] - s[k]) * (v[k] - s[k]);
  return orientation ? 0.5f * sum : std::sqrt(sum);
}

// Largest error of the samples against `values` (`stride` floats apart: 0
// compares every sample with one value); quaternion values are normalised
// first when `normalize` is set. NaN samples never count as close.
float LargestError(const float* values, int32_t stride, const float* samples, int32_t dimension,
                   int32_t count, bool orientation, bool normalize) {
  float largest = 0.0f;
  for (int32_t i = 0; i < count; ++i) {
    const float* v = values + int64_t{i} * stride;
    float unit[4];
    if (orientation && normalize) {
      const float length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2] + v[3] * v[3]);
      if (!(length > 0.0f)) return kHugeError;
      for (int32_t k = 0; k < 4; ++k) unit[k] = v[k] / length;
      v = unit;
    }
    const float error = ErrorAgainst(v, samples + int64_t{i} * dimension, dimension, orientation);
    if (!(error <= largest)) largest = std::isnan(error) ? kHugeError : error;
  }
  return largest;
}

float LargestErrorAgainst(const float* value, const float* samples, int32_t dimension,
                          int32_t count, bool orientation) {
  return LargestError(value, 0, samples, dimension, count, orientation, false);
}

// Largest error of keys as a curve evaluates them (quaternions normalised).
float LargestKeyError(const float* keys, const float* samples, int32_t dimension, int32_t count,
                      bool orientation) {
  return LargestError(keys, dimension, samples, dimension, count, orientation, true);
}

// The rounding a format's control codes would cause at their coarsest, in the
// fitter's measure (distance, or (1/2)|q - s|^2 for orientations), judged
// from the samples: a fitted curve's controls span at least their range, so
// the format's steps are at least this coarse. Off-diagonal elements, which
// the D9 formats cannot hold, count whole. 0 for formats without scaled
// codes (floats, the lines of D3I1), which are never judged in advance.
float QuantizationFloor(int32_t format, const float* samples, int32_t dimension, int32_t count,
                        bool orientation) {
  using namespace curve_format_internal;
  if (format < 0 || format >= kCurveFormatCount || !IsPacked(format) || count < 1) return 0.0f;
  const float codeMax = static_cast<float>(kLayouts[format].CodeMax);
  float half = 0.0f;  // largest half step of any stored number
  auto rangeOf = [&](int32_t component) {
    float low = samples[component], high = low;
    for (int32_t i = 1; i < count; ++i) {
      float v = samples[int64_t{i} * dimension + component];
      low = v < low ? v : low;
      high = v > high ? v : high;
    }
    return high - low;
  };
  switch (format) {
    case CurveFormatDaK16uC16u:
    case CurveFormatDaK8uC8u:
    case CurveFormatD3K16uC16u:
    case CurveFormatD3K8uC8u:
      for (int32_t j = 0; j < dimension; ++j) half = std::fmax(half, rangeOf(j) / codeMax * 0.5f);
      break;
    case CurveFormatD4nK16uC15u:
    case CurveFormatD4nK8uC7u: {
      if (dimension != 4 || !orientation) return 0.0f;
      // The encoder's table entry per component, from the range of the
      // normalised quaternions with their largest component dropped.
      float low[4] = {2, 2, 2, 2}, high[4] = {-2, -2, -2, -2};
      for (int32_t i = 0; i < count; ++i) {
        const float* q = samples + int64_t{i} * 4;
        float length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
        if (!(length > 1e-5f) || !std::isfinite(length)) continue;
        int32_t dropped = 0;
        for (int32_t k = 1; k < 4; ++k)
          if (std::fabs(q[k]) > std::fabs(q[dropped])) dropped = k;
        for (int32_t k = 0; k < 4; ++k) {
          if (k == dropped) continue;
          low[k] = std::fmin(low[k], q[k] / length);
          high[k] = std::fmax(high[k], q[k] / length);
        }
      }
      for (int32_t k = 0; k < 4; ++k) {
        if (!(low[k] <= high[k])) continue;
        float scale = QuaternionScaleOffsetTable[0].Scale;
        for (int32_t e = 7; e >= 0; --e) {
          const quaternion_scale_offset& entry = QuaternionScaleOffsetTable[e];
          if (entry.Offset <= low[k] && entry.Offset + entry.Scale >= high[k]) {
            scale = entry.Scale;
            break;
          }
        }
        half = std::fmax(half, scale / codeMax * 0.5f);
      }
      break;
    }
    case CurveFormatD9I1K16uC16u:
    case CurveFormatD9I1K8uC8u:
    case CurveFormatD9I3K16uC16u:
    case CurveFormatD9I3K8uC8u: {
      if (dimension != 9) return 0.0f;
      const bool one = format == CurveFormatD9I1K16uC16u || format == CurveFormatD9I1K8uC8u;
      for (int32_t j = 0; j < (one ? 1 : 3); ++j)
        half = std::fmax(half, rangeOf(4 * j) / codeMax * 0.5f);
      for (int32_t i = 0; i < count; ++i)
        for (int32_t j = 0; j < 9; ++j)
          if (j % 4 != 0) half = std::fmax(half, std::fabs(samples[int64_t{i} * 9 + j]));
      break;
    }
    default:
      return 0.0f;
  }
  if (!std::isfinite(half)) return 0.0f;
  return orientation ? 0.5f * half * half : half;
}

// Largest error of the keys as a DaSampledBits curve at these steps decodes
// them (into `keys`); -1 when they cannot be coded.
float SampledKeyError(const float* samples, int32_t dimension, int32_t count, bool orientation,
                      const float* steps, const float* bases, float* keys) {
  if (!SampledKeys(dimension, count, samples, steps, bases, keys)) return -1.0f;
  return LargestKeyError(keys, samples, dimension, count, orientation);
}

// The coarsest single step (per curve) whose keys stay within tolerance, and
// the components' bases; false when none does.
bool ChooseSampledSteps(const float* samples, int32_t dimension, int32_t count, bool orientation,
                        float tolerance, float* steps, float* bases, float* keys) {
  SampledBases(dimension, count, samples, bases);  // as the encoder takes them
  // Rounding moves each component by at most half a step: this step misses
  // only by float rounding (keys are checked as they decode in any case).
  float safe = orientation ? std::sqrt(2.0f * tolerance)
                           : 2.0f * tolerance / std::sqrt(static_cast<float>(dimension));
  if (!(safe > 0.0f) || !std::isfinite(safe)) return false;
  for (float factor = 2.0f; factor >= 0.25f; factor *= 0.85f) {
    for (int32_t c = 0; c < dimension; ++c) steps[c] = safe * factor;
    float error = SampledKeyError(samples, dimension, count, orientation, steps, bases, keys);
    if (error >= 0.0f && error <= tolerance) return true;
  }
  return false;
}

// The samples as a DaSampledBits curve (degree 1, a key per sample) at the
// coarsest step within tolerance, checked as it decodes; null when no step
// keeps every key within tolerance or memory runs out.
curve2* FitSampledKeys(const float* samples, int32_t dimension, int32_t count, float dT,
                       bool orientation, float tolerance, int32_t* size) {
  float steps[kMaxCurveDimension], bases[kMaxCurveDimension];
  float* knots = KT_ALLOCATE_ARRAY(float, static_cast<size_t>(count) * (1 + dimension));
  if (knots == nullptr) return nullptr;
  if (!ChooseSampledSteps(samples, dimension, count, orientation, tolerance, steps, bases,
                          knots + count)) {
    FreeBlock(knots);
    return nullptr;
  }
  for (int32_t i = 0; i < count; ++i) knots[i] = static_cast<float>(i) * dT;
  curve_builder builder;
  BeginCurveInPlace(&builder, DaSampledBitsType, 1, dimension, count);
  SetKnotArray(&builder, knots);
  SetControlArray(&builder, samples);
  SetControlSteps(&builder, steps);
  // The chosen steps code every key (they were decoded above), so the curve
  // has a size; EndCurve measures it once.
  curve2* curve = EndCurve(&builder);
  // What the file will hold: the decoded keys against the samples.
  float* keys = knots + count;
  if (curve != nullptr &&
      !(ExtractCurveKnotsControls(curve, 0, count, nullptr, keys, nullptr) &&
        LargestKeyError(keys, samples, dimension, count, orientation) <= tolerance)) {
    FreeCurve(curve);
    curve = nullptr;
  }
  FreeBlock(knots);
  *size = curve != nullptr ? static_cast<int32_t>(CurveDataCopySize(curve->CurveData.Object)) : -1;
  return curve;
}

// How many times its float bytes a fitted curve can shrink in the listed
// formats (per knot: d + 1 floats against the smallest coding listed that
// can hold the tolerance), plus one for the records' fixed parts. A float
// fit past that many times the keys' size can no longer lead to a curve
// within tolerance that is smaller than the keys.
int32_t FloatFitLimitFactor(const CurveFitParameters& p, const float* samples, int32_t dimension,
                            int32_t count, bool orientation) {
  using namespace curve_format_internal;
  const int32_t floatPerKnot = 4 * (1 + dimension);
  int32_t factor = 1;
  for (int32_t c = 0; c < p.CandidateFormatCount; ++c) {
    const int32_t format = FindCurveFormat(p.CandidateFormats[c]);
    if (format < 0 || !IsPacked(format) ||
        QuantizationFloor(format, samples, dimension, count, orientation) > p.Tolerance) {
      continue;
    }
    const int32_t perKnot = kLayouts[format].CodeBytes * (1 + StoredCount(format, dimension));
    factor = std::max(factor, (floatPerKnot + perKnot - 1) / perKnot);
  }
  return factor + 1;
}

curve2* MakeIdentityCurve(const CurveFitParameters& parameters, int32_t dimension) {
  curve_builder builder;
  BeginCurveInPlace(
      &builder, parameters.IdentityFormat != nullptr ? parameters.IdentityFormat : DaIdentityType,
      0, dimension, 0);
  return EndCurve(&builder);
}

curve2* MakeConstantCurve(const CurveFitParameters& parameters, const float* value,
                          int32_t dimension) {
  curve_builder builder;
  BeginCurveInPlace(
      &builder,
      parameters.ConstantFormat != nullptr ? parameters.ConstantFormat : DaConstant32fType, 0,
      dimension, 1);
  SetControlArray(&builder, value);
  return EndCurve(&builder);
}

bool ParametersAreValid(int32_t flags, const CurveFitParameters& p, int32_t dimension) {
  if (dimension < 1 || dimension >= 16 || p.Degree < 0 || p.Degree > 3 || !(p.Tolerance >= 0.0f)) {
    return false;
  }
  if ((flags & FitAllowJumps) && !(p.JumpThreshold >= 0.0f)) return false;
  if ((flags & FitAllowCreases) && !(p.CreaseThreshold >= 0.0f)) return false;
  if (p.CandidateFormatCount < 0 || (p.CandidateFormatCount > 0 && p.CandidateFormats == nullptr))
    return false;
  for (int32_t i = 0; i < p.CandidateFormatCount; ++i) {
    if (p.CandidateFormats[i] == nullptr) return false;
  }
  return p.IdentityFormat == nullptr || p.IdentityValue != nullptr;
}

}  // namespace

namespace {

curve2* CompressCurveTrying(BSplineSolver* solver, int32_t flags,
                            const CurveFitParameters& parameters, const float* samples,
                            int32_t dimension, int32_t sampleCount, float dT, bool* achieved) {
  if (!KT_CHECK_PARAMETER(Curve, ParametersAreValid(flags, parameters, dimension) &&
                                     sampleCount >= 0 &&
                                     (sampleCount == 0 || samples != nullptr))) {
    return nullptr;
  }
  bool orientation = (flags & FitOrientation) != 0 && dimension == 4;
  float identityError = parameters.IdentityValue != nullptr
                            ? LargestErrorAgainst(parameters.IdentityValue, samples, dimension,
                                                  sampleCount, orientation)
                            : kHugeError;
  if (sampleCount <= 1) {
    curve2* single = (sampleCount == 1 && !(identityError < parameters.Tolerance))
                         ? MakeConstantCurve(parameters, samples, dimension)
                         : MakeIdentityCurve(parameters, dimension);
    if (achieved != nullptr) *achieved = single != nullptr;
    return single;
  }
  if (parameters.ReduceToConstant) {
    curve2* reduced = nullptr;
    if (identityError < parameters.Tolerance) {
      reduced = MakeIdentityCurve(parameters, dimension);
    } else if (LargestErrorAgainst(samples, samples, dimension, sampleCount, orientation) <
                   parameters.Tolerance ||
               std::memcmp(samples, samples + dimension,
                           sizeof(float) * dimension * (sampleCount - 1)) == 0) {
      // The overlapping comparison says every sample equals the one before
      // it, byte for byte: all equal the first.
      reduced = MakeConstantCurve(parameters, samples, dimension);
    }
    if (reduced != nullptr) {
      if (achieved != nullptr) *achieved = true;
      return reduced;
    }
  }
  // Sampled keys are not fitted: when listed they are made first, and the
  // float fit stops once it is so large that neither it nor any quantized
  // version of it could be smaller.
  curve2* sampled = nullptr;
  int32_t sampledSize = -1;
  for (int32_t c = 0; c < parameters.CandidateFormatCount; ++c) {
    if (FindCurveFormat(parameters.CandidateFormats[c]) != CurveFormatDaSampledBits) continue;
    sampled = FitSampledKeys(samples, dimension, sampleCount, dT, orientation, parameters.Tolerance,
                             &sampledSize);
    break;
  }
  const int32_t floatLimit =
      sampled != nullptr
          ? FloatFitLimitFactor(parameters, samples, dimension, sampleCount, orientation) *
                sampledSize
          : 0;
  const float duration = static_cast<float>(sampleCount - 1) * dT;
  // A curve must hold between the samples as well as at them: a game plays
  // it at any time. Steps (degree 0) hold each sample until the next.
  // Where jumps are allowed, a step past their threshold may stay a jump.
  auto holds = [&](const curve2* curve, int32_t degree, int32_t fitFlags) {
    if (degree == 0) return true;
    float between = 0.0f;
    const float jumps = (fitFlags & FitAllowJumps) ? parameters.JumpThreshold : -1.0f;
    return MeasureCurveErrorBetween(fitFlags, dimension, duration, curve, sampleCount, samples,
                                    jumps, &between) &&
           between <= parameters.Tolerance * parameters.Tolerance;
  };

  curve2* best = nullptr;
  int32_t bestSize = -1;
  bool bestAchieved = false;
  // One degree's fits: the float fit, then each listed candidate from its
  // knots; the smallest within tolerance at and between the samples wins.
  auto fitDegree = [&](int32_t degree, int32_t fitFlags, bool last) -> bool {
    bool floatMet = false;
    int32_t floatSize = -1;
    curve2* fit =
        FitBSpline(solver, fitFlags, degree, parameters.Tolerance, parameters.JumpThreshold,
                   parameters.CreaseThreshold, samples, dimension, sampleCount, dT, DaK32fC32fType,
                   floatLimit, &floatMet, &floatSize);
    if (fit == nullptr) return false;
    if (sampled != nullptr && floatSize > floatLimit) {
      FreeCurve(fit);  // beyond the point where anything could beat the keys
      return true;
    }
    floatMet = floatMet && holds(fit, degree, fitFlags);
    // Within tolerance beats a miss; between equals the smaller wins.
    auto better = [&](int32_t size, bool met) {
      return best == nullptr || (met && !bestAchieved) ||
             (met == bestAchieved && size > 0 && size < bestSize);
    };
    auto offer = [&](curve2* curve, int32_t size, bool met) {
      if (better(size, met)) {
        FreeCurve(best);
        best = curve;
        bestSize = size;
        bestAchieved = met;
      } else {
        FreeCurve(curve);
      }
    };
    // The float fit's error, which a quantized miss may exceed only a little
    // (measured before offering the fit, which may free it).
    float floatError = -1.0f;
    CurveErrorStats stats;
    if (parameters.QuantizeOnMiss && !floatMet &&
        MeasureCurveError(flags, dimension, duration, fit, sampleCount, samples, &stats)) {
      floatError = std::sqrt(stats.MaxSquaredError);
    }
    // What a candidate must come in under, before and as candidates win.
    const int32_t limit = bestAchieved ? bestSize : floatSize;
    offer(fit, floatSize, floatMet);
    // Candidates refine the float fit's knots: when it swings between
    // samples they would too, and straight spans come next anyway.
    if (!floatMet && !last) return true;
    for (int32_t c = 0; c < parameters.CandidateFormatCount; ++c) {
      data_type_definition* format = parameters.CandidateFormats[c];
      int32_t number = FindCurveFormat(format);
      if (number == CurveFormatDaK32fC32f || number == CurveFormatDaSampledBits) continue;
      // Once the float fit is within tolerance only a candidate within it too
      // can win; one whose codes alone round past the tolerance would spend a
      // whole fit (the slowest part of a tight export) on a certain miss.
      if (floatMet && QuantizationFloor(number, samples, dimension, sampleCount, orientation) >
                          parameters.Tolerance) {
        continue;
      }
      bool met = false;
      int32_t size = -1;
      curve2* candidate = FitBSpline(
          solver, fitFlags | FitFromLastKnots, degree, parameters.Tolerance,
          parameters.JumpThreshold, parameters.CreaseThreshold, samples, dimension, sampleCount, dT,
          format, bestAchieved ? std::min(limit, bestSize) : limit, &met, &size);
      if (candidate == nullptr) continue;
      met = met && holds(candidate, degree, fitFlags);
      // Sizes are real byte counts: a candidate is only ever taken when it is
      // smaller, whether or not it met the tolerance.
      bool take = size > 0 && better(size, met);
      if (take && !met) {
        take = false;
        if (floatError >= 0.0f && !bestAchieved) {
          if (MeasureCurveError(flags, dimension, duration, candidate, sampleCount, samples,
                                &stats)) {
            float allowed =
                floatError * (2.0f - static_cast<float>(size) / static_cast<float>(floatSize));
            // A curve whose error is not a number is no curve to take.
            take = std::sqrt(stats.MaxSquaredError) <= allowed;
          }
        }
      }
      if (take) {
        offer(candidate, size, met);
      } else {
        FreeCurve(candidate);
      }
    }
    return true;
  };

  // A curved fit that swings between samples, or a jump where the samples
  // run on between them: straight unbroken spans hold between samples
  // wherever they hold at them.
  const bool fallback = parameters.Degree > 1 || (flags & FitAllowJumps);
  bool ok = fitDegree(parameters.Degree, flags, !fallback);
  if (ok && !bestAchieved && fallback) ok = fitDegree(1, flags & ~FitAllowJumps, true);
  if (!ok) {
    FreeCurve(best);
    FreeCurve(sampled);
    return nullptr;
  }
  if (sampled != nullptr && (!bestAchieved || best == nullptr || sampledSize < bestSize)) {
    FreeCurve(best);
    best = sampled;
    bestAchieved = true;  // the keys are within tolerance, and run straight between samples
    sampled = nullptr;
  }
  FreeCurve(sampled);
  if (best == nullptr) return nullptr;
  if (achieved != nullptr) *achieved = bestAchieved;
  return best;
}

}  // namespace

curve2* CompressCurve(BSplineSolver* solver, int32_t flags, const CurveFitParameters& parameters,
                      const float* samples, int32_t dimension, int32_t sampleCount, float dT,
                      bool* achieved) {
  if (achieved != nullptr) *achieved = false;
  // A candidate that could not be fitted for want of memory is passed over
  // like one that missed, so the winner could be another curve than with
  // memory to spare: the file would then depend on the machine's load. Any
  // failed allocation fails the whole fit instead.
  const uint64_t failures = AllocationFailuresOnThisThread();
  bool met = false;
  curve2* curve =
      CompressCurveTrying(solver, flags, parameters, samples, dimension, sampleCount, dT, &met);
  if (AllocationFailuresOnThisThread() != failures || (solver != nullptr && FitCancelled(solver))) {
    FreeCurve(curve);
    return nullptr;
  }
  if (achieved != nullptr) *achieved = met;
  return curve;
}

float OrientationToleranceFromDegrees(float degrees) {
  if (!KT_CHECK_PARAMETER(Curve, degrees >= 0.0f && degrees <= 1.9140881e38f)) return 0.0f;
  // 1 - cos loses most digits in float for small angles; work in double.
  double half = static_cast<double>(degrees) * 3.1415927f * 0.0055555557f * 0.5;
  return static_cast<float>(1.0 - std::cos(half));
}

}  // namespace ketrel
