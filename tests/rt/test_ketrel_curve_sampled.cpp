// Sampled key curves: keys decode within half a step, evaluate like a
// straight line through them, win over fitted curves only on jittery data,
// and damaged records decode to false instead of past their bytes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "rt/ketrel_bspline_solver.h"
#include "rt/ketrel_curve.h"
#include "rt/ketrel_curve_sampled.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

constexpr float kStep = 1.0f / 120;

// A jittering random walk of unit quaternions (one hemisphere), or of points.
std::vector<float> Walk(int n, int d, uint32_t seed, float jitter) {
  std::mt19937 random(seed);
  std::normal_distribution<float> noise(0.0f, jitter);
  std::vector<float> v(size_t(n) * d);
  float velocity[4] = {0.003f, -0.002f, 0.004f, 0.0f};
  float q[4] = {0.1f, 0.2f, -0.3f, 0.9f};
  for (int i = 0; i < n; ++i) {
    float length = 0;
    for (int c = 0; c < d; ++c) {
      q[c] += velocity[c] + noise(random);
      length += q[c] * q[c];
    }
    for (int c = 0; c < d; ++c) v[size_t(i) * d + c] = d == 4 ? q[c] / std::sqrt(length) : q[c];
  }
  return v;
}

curve2* Build(const std::vector<float>& values, int d, const float* steps) {
  const int n = int(values.size()) / d;
  std::vector<float> knots(n);
  for (int i = 0; i < n; ++i) knots[i] = float(i) * kStep;
  curve_builder* builder = BeginCurve(DaSampledBitsType, 1, d, n);
  SetKnotArray(builder, knots.data());
  SetControlArray(builder, values.data());
  SetControlSteps(builder, steps);
  return EndCurve(builder);
}

TEST(SampledKeys, DecodeWithinHalfAStepAndEvaluateAsLines) {
  // 77 keys: two whole segments and a short one.
  for (int d : {3, 4}) {
    std::vector<float> values = Walk(77, d, 7u + d, 0.01f);
    // One spike among small steps: its residual escapes the Rice code.
    if (d == 3) values[40 * 3 + 1] += 0.7f;
    const float steps[4] = {1e-4f, 2e-4f, 5e-5f, 1e-4f};
    curve2* curve = Build(values, d, steps);
    ASSERT_NE(curve, nullptr);
    EXPECT_EQ(GetCurveFormat(curve), CurveFormatDaSampledBits);
    EXPECT_EQ(GetCurveKnotCount(curve), 77);
    std::vector<float> keys(values.size()), knots(77);
    ASSERT_TRUE(ExtractCurveKnotsControls(curve, 0, 77, knots.data(), keys.data(), nullptr));
    for (int i = 0; i < 77; ++i) {
      EXPECT_FLOAT_EQ(knots[i], float(i) * kStep);
      EXPECT_EQ(FindCurveKnot(curve, (float(i) + 0.5f) * kStep), std::min(i + 1, 76));
      // Quaternions rebuild one component per segment from the others.
      for (int c = 0; c < d; ++c)
        EXPECT_NEAR(keys[i * d + c], values[i * d + c], d == 4 ? 2e-3f : steps[c] * 0.5001f);
    }
    // Between two keys the curve is the straight line through them.
    for (int i : {0, 31, 32, 63, 75}) {
      float out[4];
      ASSERT_TRUE(EvaluateCurveAtT(d, false, curve, nullptr, nullptr, 0, (i + 0.25f) * kStep, out,
                                   nullptr));
      for (int c = 0; c < d; ++c)
        EXPECT_NEAR(out[c], 0.75f * keys[i * d + c] + 0.25f * keys[(i + 1) * d + c], 1e-5f);
    }
    // A copy is the same curve, byte for byte.
    curve2* copy = EndCurve(BeginCurveCopy(curve));
    ASSERT_NE(copy, nullptr);
    ASSERT_EQ(GetCurveByteSize(copy), GetCurveByteSize(curve));
    std::vector<float> again(values.size());
    ASSERT_TRUE(ExtractCurveKnotsControls(copy, 0, 77, nullptr, again.data(), nullptr));
    EXPECT_EQ(again, keys);
    FreeCurve(copy);
    FreeCurve(curve);
  }
}

// Orientation keys turn between each two at a steady rate, as the source's
// keys do: a quarter of the way through a 90-degree step is 22.5 degrees
// (a plain blend gives 18.4), and small steps blend as before.
TEST(SampledKeys, OrientationKeysTurnAtASteadyRate) {
  std::vector<float> values;
  for (double degrees : {0.0, 90.0, 90.5, 91.0}) {
    const double half = degrees * M_PI / 360.0;
    values.insert(values.end(), {float(std::sin(half)), 0.0f, 0.0f, float(std::cos(half))});
  }
  const float steps[4] = {1e-5f, 1e-5f, 1e-5f, 1e-5f};
  curve2* curve = Build(values, 4, steps);
  ASSERT_NE(curve, nullptr);
  auto angleAt = [&](float samples) {
    float q[4];
    EXPECT_TRUE(EvaluateCurveAtT(4, true, curve, nullptr, nullptr, 0, samples * kStep, q, nullptr));
    return 2.0 * std::atan2(double(q[0]), double(q[3])) * 180.0 / M_PI;
  };
  EXPECT_NEAR(angleAt(0.25f), 22.5, 0.01);
  EXPECT_NEAR(angleAt(0.5f), 45.0, 0.01);
  EXPECT_NEAR(angleAt(1.5f), 90.25, 0.01);
  EXPECT_NEAR(angleAt(2.75f), 90.875, 0.01);
  FreeCurve(curve);
}

TEST(SampledKeys, UnevenKnotsAndUncodableStepsMakeNoCurve) {
  std::vector<float> values = Walk(10, 3, 1, 0.01f);
  std::vector<float> knots(10);
  for (int i = 0; i < 10; ++i) knots[i] = float(i * i);
  test::LogCapture log;
  curve_builder* builder = BeginCurve(DaSampledBitsType, 1, 3, 10);
  SetKnotArray(builder, knots.data());
  SetControlArray(builder, values.data());
  EXPECT_EQ(EndCurve(builder), nullptr);
  const float tiny[3] = {1e-12f, 1e-12f, 1e-12f};  // codes past 2^24
  EXPECT_EQ(Build(values, 3, tiny), nullptr);
  // Steps finer than floats keep at the keys' magnitude would not decode
  // within half a step.
  std::vector<float> far(values);
  for (float& v : far) v += 60.0f;
  const float fine[3] = {1e-6f, 1e-6f, 1e-6f};
  EXPECT_EQ(Build(far, 3, fine), nullptr);
  // A stream written into the wrong number of bytes fails, never writes past them.
  const float steps[3] = {1e-3f, 1e-3f, 1e-3f}, bases[3] = {-1, -1, -1};
  const size_t bytes = SampledStreamSize(3, 10, values.data(), steps, bases);
  ASSERT_GT(bytes, 0u);
  for (size_t size : {bytes - 1, bytes + 1}) {
    std::vector<uint8_t> stream(size);
    EXPECT_FALSE(WriteSampledStream(3, 10, values.data(), steps, bases, stream.data(), size));
  }
  // Keys are a straight line through them: degree 1 only.
  for (int i = 0; i < 10; ++i) knots[i] = float(i) * kStep;
  builder = BeginCurve(DaSampledBitsType, 2, 3, 10);
  SetKnotArray(builder, knots.data());
  SetControlArray(builder, values.data());
  EXPECT_EQ(EndCurve(builder), nullptr);
  EXPECT_GE(log.errors(), 1u);
}

TEST(SampledKeys, CompressCurveTakesThemOnlyWhereTheyAreSmaller) {
  BSplineSolver* solver = CreateBSplineSolver(3, 600, 9);
  data_type_definition* candidates[] = {DaK32fC32fType, D4nK8uC7uType, D4nK16uC15uType,
                                        DaSampledBitsType};
  CurveFitParameters p;
  p.Degree = 2;
  p.CandidateFormats = candidates;
  p.CandidateFormatCount = 4;
  p.Tolerance = OrientationToleranceFromDegrees(0.01f);
  const int flags = FitOrientation | FitStartKnots | FitPinEnds;
  // Jitter at every sample: keys beat any curve, and hold the tolerance.
  std::vector<float> jittery = Walk(500, 4, 3, 0.002f);
  bool achieved = false;
  curve2* curve = CompressCurve(solver, flags, p, jittery.data(), 4, 500, kStep, &achieved);
  ASSERT_NE(curve, nullptr);
  EXPECT_EQ(GetCurveFormat(curve), CurveFormatDaSampledBits);
  CurveErrorStats stats;
  ASSERT_TRUE(MeasureCurveError(flags, 4, 499 * kStep, curve, 500, jittery.data(), &stats));
  EXPECT_LE(stats.MaxSquaredError, p.Tolerance * p.Tolerance);
  EXPECT_LT(GetCurveByteSize(curve), 500 * 8);  // below a 16-bit knot per sample
  FreeCurve(curve);
  // A smooth turn: a few knots beat a key per sample. (At a hundredth of a
  // degree the straight lines between its samples and any smooth curve
  // through them already differ by about that much.)
  p.Tolerance = OrientationToleranceFromDegrees(0.05f);
  std::vector<float> smooth = Walk(500, 4, 3, 0.0f);
  curve = CompressCurve(solver, flags, p, smooth.data(), 4, 500, kStep, &achieved);
  ASSERT_NE(curve, nullptr);
  EXPECT_NE(GetCurveFormat(curve), CurveFormatDaSampledBits);
  FreeCurve(curve);
  // Offering keys never makes a track larger: a uniform scale that one byte
  // per knot holds (a twentieth of its float fit) keeps its 8-bit curve.
  std::vector<float> scale(600 * 9, 0.0f);
  for (int i = 0; i < 600; ++i)
    for (int k : {0, 4, 8}) scale[i * 9 + k] = 1 + 0.1f * std::sin(2 * float(M_PI) * i / 16);
  int32_t sizes[2];
  for (bool keys : {false, true}) {
    p.Degree = 3;
    p.Tolerance = 0.001f;
    p.CandidateFormats = GetCurveCandidateFormats(curve_channel::ScaleShear, 9, true, true,
                                                  &p.CandidateFormatCount, keys);
    curve = CompressCurve(solver, FitStartKnots | FitPinEnds, p, scale.data(), 9, 600, kStep,
                          &achieved);
    ASSERT_NE(curve, nullptr);
    sizes[keys] = GetCurveByteSize(curve);
    FreeCurve(curve);
  }
  EXPECT_LE(sizes[1], sizes[0]);
  DestroyBSplineSolver(solver);
}

// The stream gives the very keys the encoder judged, read all at once or
// through a cursor in any order (forward a key at a time, as a player does;
// backwards; jumping between segments); a cut stream fails and resets it.
TEST(SampledKeys, ACursorReadsTheEncodersKeysInAnyOrder) {
  for (int d : {3, 4}) {
    const int n = 300;  // five segments
    const std::vector<float> values = Walk(n, d, 11u + uint32_t(d), 0.002f);
    const float steps[4] = {2e-5f, 2e-5f, 2e-5f, 2e-5f};
    float bases[4];
    SampledBases(d, n, values.data(), bases);
    std::vector<float> expected(values.size()), all(values.size());
    ASSERT_TRUE(SampledKeys(d, n, values.data(), steps, bases, expected.data()));
    const size_t bytes = SampledStreamSize(d, n, values.data(), steps, bases);
    ASSERT_GT(bytes, 0u);
    std::vector<uint8_t> stream(bytes);
    ASSERT_TRUE(WriteSampledStream(d, n, values.data(), steps, bases, stream.data(), bytes));
    ASSERT_TRUE(
        ReadSampledKeys(stream.data(), int64_t(bytes), d, n, steps, bases, 0, n, all.data()));
    EXPECT_EQ(std::memcmp(all.data(), expected.data(), all.size() * sizeof(float)), 0);

    std::vector<int> order;
    for (int i = 0; i < n; ++i) order.push_back(i);
    for (int i = n - 1; i >= 0; i -= 7) order.push_back(i);
    std::mt19937 random(5);
    for (int i = 0; i < 100; ++i) order.push_back(int(random() % uint32_t(n)));
    sampled_key_cursor cursor;
    for (int i : order) {
      float key[4];
      ASSERT_TRUE(
          ReadSampledKeyAt(stream.data(), int64_t(bytes), d, n, steps, bases, i, &cursor, key));
      ASSERT_EQ(std::memcmp(key, &expected[size_t(i) * d], size_t(d) * sizeof(float)), 0)
          << "key " << i << " of " << d;
      EXPECT_EQ(cursor.Key, i);
    }
    float key[4];
    EXPECT_FALSE(
        ReadSampledKeyAt(stream.data(), int64_t(bytes), d, n, steps, bases, n, &cursor, key));
    EXPECT_EQ(cursor.Key, -1);
    // The last segment's keys from a stream cut short of them.
    EXPECT_FALSE(ReadSampledKeyAt(stream.data(), int64_t(bytes) / 2, d, n, steps, bases, n - 1,
                                  &cursor, key));
    EXPECT_EQ(cursor.Key, -1);
  }
}

TEST(SampledKeys, DamagedRecordsDecodeToFalse) {
  std::vector<float> values = Walk(70, 4, 5, 0.01f);
  curve2* curve = Build(values, 4, nullptr);
  ASSERT_NE(curve, nullptr);
  auto* record = static_cast<curve_data_da_sampled_bits*>(curve->CurveData.Object);
  const int32_t bytes = record->KeyStreamCount;
  std::vector<uint8_t> saved(record->KeyStream, record->KeyStream + bytes);
  float out[4];
  test::LogCapture log;
  // Cut short: the last segment no longer decodes, the first still does.
  record->KeyStreamCount = bytes - 2;
  EXPECT_FALSE(EvaluateCurveAtT(4, true, curve, nullptr, nullptr, 0, 69 * kStep, out, nullptr));
  EXPECT_TRUE(EvaluateCurveAtT(4, true, curve, nullptr, nullptr, 0, 3 * kStep, out, nullptr));
  record->KeyStreamCount = bytes;
  // Garbage of every kind in place of the stream: false or some value, never a read past it.
  std::mt19937 random(9);
  for (int round = 0; round < 200; ++round) {
    for (int32_t b = 0; b < bytes; ++b) record->KeyStream[b] = uint8_t(random());
    if (round % 2) record->KeyStream[0] = 26;  // a plausible code width
    for (float t : {0.0f, 40 * kStep, 69 * kStep, 1e9f, -1.0f})
      EvaluateCurveAtT(4, true, curve, nullptr, nullptr, 0, t, out, nullptr);
  }
  std::memcpy(record->KeyStream, saved.data(), saved.size());
  EXPECT_EQ(FindCurveKnot(curve, NAN), 69);
  // More keys than the stream has segment offsets for: none decode.
  for (int32_t keys : {INT32_MAX, INT32_MAX - 62}) {
    record->KeyCount = keys;
    EXPECT_EQ(GetCurveKnotCount(curve), 0) << keys;
    EXPECT_FALSE(EvaluateCurveAtT(4, true, curve, nullptr, nullptr, 0, 0.5f, out, nullptr));
  }
  // Keys the header has room for but the stream does not hold: false or some
  // value, never a read past the stream.
  record->KeyCount = 150;
  EvaluateCurveAtT(4, true, curve, nullptr, nullptr, 0, 140 * kStep, out, nullptr);
  record->KeyCount = 70;
  record->SampleSpacing = NAN;  // no order: every time finds the first key
  EXPECT_EQ(FindCurveKnot(curve, 0.3f), 0);
  FreeCurve(curve);
}

}  // namespace
}  // namespace ketrel
