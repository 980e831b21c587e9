#pragma once
// What the fitting tests share: a solver for the length of a test, a fit
// that frees its curve, and the fitter's error at the samples.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "rt/ketrel_bspline.h"
#include "rt/ketrel_bspline_solver.h"
#include "rt/ketrel_curve.h"

namespace ketrel::test {

// A solver for the length of a test.
struct Solver {
  Solver(int degree, int samples, int dimension)
      : solver(CreateBSplineSolver(degree, samples, dimension)) {}
  ~Solver() { DestroyBSplineSolver(solver); }
  operator BSplineSolver*() const { return solver; }
  BSplineSolver* solver;
};

struct Fit {
  curve2* curve = nullptr;
  bool achieved = false;
  ~Fit() { FreeCurve(curve); }
};

inline CurveFitParameters Parameters(int degree, float tolerance) {
  CurveFitParameters p;
  p.Degree = degree;
  p.Tolerance = tolerance;
  return p;
}

inline void Compress(Fit* fit, BSplineSolver* solver, int flags, const CurveFitParameters& p,
                     const std::vector<float>& samples, int d, float dT) {
  fit->curve = CompressCurve(solver, flags, p, samples.data(), d,
                             static_cast<int>(samples.size()) / d, dT, &fit->achieved);
}

inline float MaxDistance(const curve2* curve, int d, float dT, int n,
                         const std::vector<float>& samples) {
  CurveErrorStats stats;
  EXPECT_TRUE(MeasureCurveError(0, d, (n - 1) * dT, curve, n, samples.data(), &stats));
  return std::sqrt(stats.MaxSquaredError);
}

// A unit quaternion turned `degrees` about a fixed slanted axis.
inline void AxisAngleQuaternion(double degrees, float* q) {
  double half = degrees * M_PI / 360.0;
  double axis[3] = {0.48, 0.6, 0.64};  // unit length
  for (int k = 0; k < 3; ++k) q[k] = static_cast<float>(axis[k] * std::sin(half));
  q[3] = static_cast<float>(std::cos(half));
}

// The largest error of the curve at `per` points of every step between
// samples, against the samples joined as the source joins them, in the
// fitter's measure (distance, or 1 - q.s).
inline double WorstBetween(const curve2* curve, const std::vector<float>& samples, int d, float dT,
                           bool orientation, int per) {
  const int n = int(samples.size()) / d;
  double worst = 0;
  for (int i = 0; i + 1 < n; ++i) {
    for (int q = 1; q < per; ++q) {
      const float u = float(q) / per;
      float value[4], expected[4];
      EvaluateCurveAtT(d, orientation, curve, nullptr, nullptr, 0, (i + u) * dT, value, nullptr);
      SampleBetween(&samples[size_t(i) * d], &samples[size_t(i + 1) * d], d, orientation, u,
                    expected);
      double sum = 0;
      for (int k = 0; k < d; ++k) sum += double(value[k] - expected[k]) * (value[k] - expected[k]);
      worst = std::fmax(worst, orientation ? 0.5 * sum : std::sqrt(sum));
    }
  }
  return worst;
}

}  // namespace ketrel::test
