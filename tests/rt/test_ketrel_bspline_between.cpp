// Fits between samples and the order of stored knots: what a game sees at
// every time, not only at the samples the fitter measured.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "rt/ketrel_bspline.h"
#include "rt/ketrel_bspline_solver.h"
#include "rt/ketrel_curve.h"
#include "tests/rt/test_ketrel_bspline_support.h"

namespace ketrel {
namespace {

using namespace test;

// ---- Between samples and knot order ---------------------------------------

// Capture-like tracks: a smooth swing with jitter of about `jitter` degrees
// (or units) from sample to sample.
std::vector<float> JitteryOrientations(int n, double jitter, unsigned seed) {
  std::vector<float> samples(size_t(n) * 4);
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> noise(-jitter, jitter);
  for (int i = 0; i < n; ++i)
    AxisAngleQuaternion(30.0 * std::sin(i * 0.05) + noise(random), &samples[size_t(i) * 4]);
  return samples;
}

std::vector<float> JitteryPositions(int n, double jitter, unsigned seed) {
  std::vector<float> samples(size_t(n) * 3);
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> noise(-jitter, jitter);
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < 3; ++k)
      samples[size_t(i) * 3 + k] = float(std::sin(i * 0.03 * (k + 1)) + noise(random));
  return samples;
}

// A curve that meets its tolerance at the samples and swings between them is
// what a game sees at every other time: every fit the fitter calls a success
// holds between samples too, at points it never measured (tenths of a step).
// Tight tolerances on jitter used to give curves within tolerance at the
// samples and degrees off between them.
TEST(CurveFitting, ReportedSuccessHoldsBetweenSamples) {
  const int n = 400;
  const float dT = 1.0f / 120;
  Solver solver(3, n, 9);
  data_type_definition* const orientationFormats[] = {DaK32fC32fType, D4nK16uC15uType,
                                                      D4nK8uC7uType};
  data_type_definition* const positionFormats[] = {DaK32fC32fType, D3K16uC16uType, D3K8uC8uType};
  struct Case {
    bool orientation;
    double jitter, tolerance;  // degrees or units
    int degree, flags;
  };
  const Case cases[] = {
      {true, 0.5, 0.01, 3, 0x31}, {true, 0.5, 0.1, 2, 0x31},     {true, 0.5, 0.1, 2, 0x33},
      {true, 0.05, 0.5, 3, 0x31}, {false, 0.01, 0.001, 3, 0x30}, {false, 0.01, 0.005, 2, 0x32},
  };
  for (const Case& c : cases) {
    const int d = c.orientation ? 4 : 3;
    const std::vector<float> samples =
        c.orientation ? JitteryOrientations(n, c.jitter, 7) : JitteryPositions(n, c.jitter, 7);
    CurveFitParameters p =
        Parameters(c.degree, c.orientation ? OrientationToleranceFromDegrees(float(c.tolerance))
                                           : float(c.tolerance));
    // Jumps only where the samples really step (none here): a jump the
    // caller allows is no fault between samples.
    p.JumpThreshold = c.orientation ? OrientationToleranceFromDegrees(5.0f) : 0.5f;
    p.CandidateFormats = c.orientation ? orientationFormats : positionFormats;
    p.CandidateFormatCount = 3;
    Fit fit;
    Compress(&fit, solver, c.flags, p, samples, d, dT);
    ASSERT_NE(fit.curve, nullptr);
    EXPECT_TRUE(fit.achieved) << c.degree << " " << c.tolerance;
    // Tenths fall between the quarters the fitter checks: a little slack.
    EXPECT_LE(WorstBetween(fit.curve, samples, d, dT, c.orientation, 10),
              (c.orientation ? 1.6 : 1.3) * p.Tolerance)
        << "degree " << c.degree << " tolerance " << c.tolerance << " flags " << c.flags
        << " format " << GetCurveFormat(fit.curve);
  }
}

// Quantized knots round to codes and the fitter nudges piece starts down:
// whatever the rounding, a stored knot is never below the one before it (a
// reader binary-searches them). Many fits of every quantized format over
// clips long enough that neighbouring knots share codes.
TEST(CurveFitting, QuantizedKnotsNeverDecrease) {
  const int n = 2400;
  const float dT = 1.0f / 60;
  Solver solver(3, n, 9);
  struct Format {
    data_type_definition* type;
    int dimension;
  };
  const Format formats[] = {{DaK16uC16uType, 2},   {DaK8uC8uType, 1},     {D4nK16uC15uType, 4},
                            {D4nK8uC7uType, 4},    {D3K16uC16uType, 3},   {D3K8uC8uType, 3},
                            {D9I1K16uC16uType, 9}, {D9I3K16uC16uType, 9}, {D9I1K8uC8uType, 9},
                            {D9I3K8uC8uType, 9},   {D3I1K16uC16uType, 3}, {D3I1K8uC8uType, 3}};
  int fits = 0;
  for (const Format& format : formats) {
    for (unsigned seed = 1; seed <= 3; ++seed) {
      const int d = format.dimension;
      std::vector<float> samples(size_t(n) * d);
      if (d == 4) {
        samples = JitteryOrientations(n, 0.6, seed);
      } else {
        std::mt19937 random(seed);
        std::uniform_real_distribution<float> noise(-0.02f, 0.02f);
        for (int i = 0; i < n; ++i)
          for (int k = 0; k < d; ++k)
            samples[size_t(i) * d + k] =
                (k % 4 == 0 ? 1.0f : 0.0f) + 0.3f * std::sin(i * 0.02f * (k + 1)) + noise(random);
      }
      bool met = false;
      int32_t size = 0;
      const float tolerance = d == 4 ? OrientationToleranceFromDegrees(0.05f) : 0.004f;
      curve2* curve = FitBSpline(solver, d == 4 ? 0x31 : 0x30, int(seed % 3) + 1, tolerance, 0, 0,
                                 samples.data(), d, n, dT, format.type, 0, &met, &size);
      ASSERT_NE(curve, nullptr);
      EXPECT_EQ(FindDecreasingKnot(curve), -1)
          << GetCurveFormatName(FindCurveFormat(format.type)) << " seed " << seed;
      ++fits;
      FreeCurve(curve);
    }
  }
  EXPECT_EQ(fits, 36);
  // Knots handed over out of order are stored in order all the same.
  const float knots[] = {0.0f, 1.0f, 0.99f, 2.0f, 1.5f, 3.0f};
  const float controls[6] = {0, 1, 2, 3, 4, 5};
  curve_builder* builder = BeginCurve(DaK16uC16uType, 1, 1, 6);
  SetKnotArray(builder, knots);
  SetControlArray(builder, controls);
  curve2* curve = EndCurve(builder);
  ASSERT_NE(curve, nullptr);
  EXPECT_EQ(FindDecreasingKnot(curve), -1);
  FreeCurve(curve);
}

}  // namespace
}  // namespace ketrel
