// CompressCurve: the smallest curve within tolerance among the identity, a
// constant, the float fit and the candidate formats.
#include <cmath>
#include <cstring>

#include "rt/ketrel_bspline_solver.h"
#include "rt/ketrel_log.h"

namespace ketrel {
namespace {

constexpr float kHugeError = 1.9140881e38f;

// Largest error of the samples against `value`: distance, or |1 - q.s| for
// orientations (the reduction test uses plain, not squared, errors).
float LargestErrorAgainst(const float* value, const float* samples, int32_t dimension,
                          int32_t count, bool orientation) {
  float largest = 0.0f;
  for (int32_t i = 0; i < count; ++i) {
    const float* s = samples + int64_t{i} * dimension;
    float error;
    if (orientation) {
      // 1 - q.s as (1/2)|q - s|^2, which keeps small angles apart in float.
      float sum = 0.0f;
      for (int32_t k = 0; k < 4; ++k) sum += (value[k] - s[k]) * (value[k] - s[k]);
      error = 0.5f * sum;
    } else {
      float sum = 0.0f;
      for (int32_t k = 0; k < dimension; ++k) sum += (value[k] - s[k]) * (value[k] - s[k]);
      error = std::sqrt(sum);
    }
    // NaN samples never count as close.
    if (!(error <= largest)) largest = std::isnan(error) ? kHugeError : error;
  }
  return largest;
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

curve2* CompressCurve(BSplineSolver* solver, int32_t flags, const CurveFitParameters& parameters,
                      const float* samples, int32_t dimension, int32_t sampleCount, float dT,
                      bool* achieved) {
  if (achieved != nullptr) *achieved = false;
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
  bool floatAchieved = false;
  int32_t floatSize = -1;
  curve2* best =
      FitBSpline(solver, flags, parameters.Degree, parameters.Tolerance, parameters.JumpThreshold,
                 parameters.CreaseThreshold, samples, dimension, sampleCount, dT, DaK32fC32fType, 0,
                 &floatAchieved, &floatSize);
  if (best == nullptr) return nullptr;
  int32_t bestSize = floatSize;
  float duration = static_cast<float>(sampleCount - 1) * dT;
  CurveErrorStats floatStats;
  MeasureCurveError(flags, dimension, duration, best, sampleCount, samples, &floatStats);
  for (int32_t c = 0; c < parameters.CandidateFormatCount; ++c) {
    data_type_definition* format = parameters.CandidateFormats[c];
    int32_t number = FindCurveFormat(format);
    if (number == CurveFormatDaK32fC32f) continue;
    bool met = false;
    int32_t size = -1;
    curve2* candidate = FitBSpline(solver, flags, parameters.Degree, parameters.Tolerance,
                                   parameters.JumpThreshold, parameters.CreaseThreshold, samples,
                                   dimension, sampleCount, dT, format, bestSize, &met, &size);
    if (candidate == nullptr) continue;
    // Sizes are real byte counts: a candidate is only ever taken when it is
    // smaller, whether or not it met the tolerance.
    bool take = size > 0 && size < bestSize;
    if (take && !met) {
      take = false;
      if (parameters.QuantizeOnMiss && !floatAchieved) {
        CurveErrorStats stats;
        if (MeasureCurveError(flags, dimension, duration, candidate, sampleCount, samples,
                              &stats)) {
          float allowed = std::sqrt(floatStats.MaxSquaredError) *
                          (2.0f - static_cast<float>(size) / static_cast<float>(floatSize));
          take = !(std::sqrt(stats.MaxSquaredError) > allowed);
        }
      }
    }
    if (take) {
      FreeCurve(best);
      best = candidate;
      bestSize = size;
    } else {
      FreeCurve(candidate);
    }
  }
  if (achieved != nullptr) *achieved = floatAchieved;
  return best;
}

float OrientationToleranceFromDegrees(float degrees) {
  if (!KT_CHECK_PARAMETER(Curve, degrees >= 0.0f && degrees <= 1.9140881e38f)) return 0.0f;
  // 1 - cos loses most digits in float for small angles; work in double.
  double half = static_cast<double>(degrees) * 3.1415927f * 0.0055555557f * 0.5;
  return static_cast<float>(1.0 - std::cos(half));
}

}  // namespace ketrel
