// Long tracks: the refinement's certain passes, made without solving, give
// the very curve that solving every pass gives, within tolerance.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "rt/ketrel_curve_formats.h"
#include "tests/rt/test_ketrel_bspline_support.h"

namespace ketrel::test {
namespace {

enum class Signal { Capture, Turning, Repeated, Parabola, Gentle };

// Deterministic tracks of `n` samples: busy motion with jitter, a turning
// joint, a short clip played six times end to end (a jump at each join),
// one polynomial that a single piece holds, and a slow wave with jitter
// just inside the tolerance, which few knots hold although no piece of it
// is smooth.
std::vector<float> MakeTrack(Signal signal, int n, int d) {
  std::vector<float> samples(size_t(n) * d);
  uint32_t state = 12345;
  auto jitter = [&] {
    state = state * 1664525u + 1013904223u;
    return float(state >> 8) / float(1u << 24) - 0.5f;
  };
  for (int i = 0; i < n; ++i) {
    float* s = &samples[size_t(i) * d];
    const double t = signal == Signal::Repeated ? i % (n / 6) : i;
    if (signal == Signal::Turning) {
      const double angle = 40 * std::sin(0.013 * t) + 6 * std::sin(0.21 * t) + 0.05 * jitter();
      AxisAngleQuaternion(angle, s);
      continue;
    }
    for (int k = 0; k < d; ++k) {
      if (signal == Signal::Parabola) {
        s[k] = float(1e-6 * (t - 700) * (t - 700) + k);
      } else if (signal == Signal::Gentle) {
        s[k] = float(5 * std::sin(0.002 * t + k) + 0.015 * jitter());
      } else {
        s[k] =
            float(30 * std::sin(0.011 * t + k) + 4 * std::sin(0.17 * t + 2 * k) + 0.02 * jitter());
      }
    }
  }
  return samples;
}

TEST(CurveFitting, LongTracksFitAsSolvingEveryPassWould) {
  struct Case {
    Signal signal;
    int d, degree;
    int32_t flags;
    float tolerance;
    bool meets;  // within tolerance (a curved fit may swing and miss)
  };
  const Case cases[] = {
      {Signal::Capture, 3, 2, FitStartKnots | FitPinEnds, 0.01f, true},
      {Signal::Capture, 3, 3, FitStartKnots | FitPinEnds, 0.002f, false},
      {Signal::Capture, 3, 1, FitPinEnds, 0.01f, true},
      {Signal::Turning, 4, 2, FitStartKnots | FitPinEnds | FitOrientation,
       OrientationToleranceFromDegrees(0.05f), true},
      {Signal::Turning, 4, 1, FitPinEnds | FitOrientation, OrientationToleranceFromDegrees(0.2f),
       true},
      {Signal::Repeated, 3, 2, FitStartKnots | FitPinEnds, 0.01f, false},
      {Signal::Repeated, 3, 2, FitStartKnots | FitAllowJumps | FitAllowCreases, 0.01f, true},
      {Signal::Gentle, 1, 2, FitStartKnots | FitPinEnds, 0.01f, true},
      {Signal::Parabola, 2, 2, FitStartKnots | FitPinEnds, 0.001f, true},
  };
  const int n = 3000;
  const float dT = 1.0f / 120;
  Solver solver(3, n, 4);
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "signal " << int(c.signal) << ", degree " << c.degree);
    const std::vector<float> samples = MakeTrack(c.signal, n, c.d);
    Fit fits[2];  // freed however the case ends
    curve2* curves[2] = {};
    bool met[2] = {};
    for (int every = 0; every < 2; ++every) {
      int32_t size = 0;
      curves[every] =
          FitBSpline(solver, c.flags | (every ? FitEveryPass : 0), c.degree, c.tolerance, 1.0f,
                     1.0f, samples.data(), c.d, n, dT, nullptr, 0, &met[every], &size);
      fits[every].curve = curves[every];
      ASSERT_NE(curves[every], nullptr);
    }
    const size_t bytes = CurveDataCopySize(curves[0]->CurveData.Object);
    ASSERT_EQ(bytes, CurveDataCopySize(curves[1]->CurveData.Object));
    EXPECT_EQ(GetCurveKnotCount(curves[0]), GetCurveKnotCount(curves[1]));
    std::vector<float> knots[2], controls[2];
    for (int e = 0; e < 2; ++e) {
      const int32_t count = GetCurveKnotCount(curves[e]);
      knots[e].resize(size_t(count));
      controls[e].resize(size_t(count) * c.d);
      ASSERT_TRUE(ExtractCurveKnotsControls(curves[e], 0, count, knots[e].data(),
                                            controls[e].data(), nullptr));
    }
    EXPECT_EQ(knots[0], knots[1]);
    EXPECT_EQ(controls[0], controls[1]);
    EXPECT_EQ(met[0], met[1]);
    if (c.meets) {
      EXPECT_TRUE(met[0]);
    }
    if (met[0] && (c.flags & FitOrientation) == 0) {
      EXPECT_LE(MaxDistance(curves[0], c.d, dT, n, samples), c.tolerance);
    }
    if (c.signal == Signal::Parabola) {
      EXPECT_LE(GetCurveKnotCount(curves[0]), 6);
    }
  }
}

}  // namespace
}  // namespace ketrel::test
