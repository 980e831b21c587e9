// Curve formats: definitions against native records, quantisation round
// trips, the curve builder's failures, queries, evaluation edges, hostile
// records and transforms.
#include "rt/ketrel_curve.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "rt/ketrel_curve_format_layout.h"
#include "rt/ketrel_data_types.h"
#include "rt/ketrel_memory.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

curve2* Build(data_type_definition* format, int degree, int d, const std::vector<float>& knots,
              const std::vector<float>& controls) {
  curve_builder* b = BeginCurve(format, degree, d, static_cast<int>(knots.size()));
  SetKnotArray(b, knots.empty() ? nullptr : knots.data());
  SetControlArray(b, controls.empty() ? nullptr : controls.data());
  return EndCurve(b);
}

TEST(CurveFormats, DefinitionsMatchRecordsAndAreFoundByType) {
  const size_t sizes[kCurveFormatCount] = {sizeof(curve_data_da_keyframes32f),
                                           sizeof(curve_data_da_k32f_c32f),
                                           sizeof(curve_data_da_identity),
                                           sizeof(curve_data_da_constant32f),
                                           sizeof(curve_data_d3_constant32f),
                                           sizeof(curve_data_d4_constant32f),
                                           sizeof(curve_data_da_quantized),
                                           sizeof(curve_data_da_quantized),
                                           sizeof(curve_data_d4n),
                                           sizeof(curve_data_d4n),
                                           sizeof(curve_data_d3_scaled),
                                           sizeof(curve_data_d3_scaled),
                                           sizeof(curve_data_d9i1),
                                           sizeof(curve_data_d3_scaled),
                                           sizeof(curve_data_d9i1),
                                           sizeof(curve_data_d3_scaled),
                                           sizeof(curve_data_d3_scaled),
                                           sizeof(curve_data_d3_scaled),
                                           sizeof(curve_data_d3_scaled),
                                           sizeof(curve_data_da_sampled_bits)};
  for (int f = 0; f < kCurveFormatCount; ++f) {
    data_type_definition* type = GetCurveFormatType(f);
    EXPECT_EQ(GetTotalObjectSize(type), static_cast<int32_t>(sizes[f])) << GetCurveFormatName(f);
    EXPECT_EQ(FindCurveFormat(type), f);
    // A copy of the definition (another pointer) is still recognised by its
    // names, even where member types are shared by several formats.
    data_type_definition copy[8];
    std::memcpy(copy, type, sizeof(data_type_definition) * (GetMemberCount(type) + 1));
    EXPECT_EQ(FindCurveFormat(copy), f);
    const char* header = type[0].Name;
    EXPECT_EQ(std::string("CurveDataHeader_") + GetCurveFormatName(f), header);
  }
  EXPECT_EQ(FindCurveFormat(Curve2Type), CurveFormatUnknown);
  EXPECT_EQ(GetCurveFormatType(kCurveFormatCount), nullptr);
}

TEST(CurveFormats, CandidateListsFollowTheChannelAndSettings) {
  int32_t count = 0;
  EXPECT_EQ(GetCurveCandidateFormats(curve_channel::Position, 3, true, false, &count),
            PositionCurveFormats);
  EXPECT_EQ(count, 6);
  GetCurveCandidateFormats(curve_channel::Position, 3, false, true, &count);
  EXPECT_EQ(count, 1);
  GetCurveCandidateFormats(curve_channel::Orientation, 4, true, false, &count);
  EXPECT_EQ(count, 2);
  GetCurveCandidateFormats(curve_channel::Orientation, 4, true, true, &count);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(GetCurveCandidateFormats(curve_channel::Vector, 9, true, false, &count),
            ScaleShearCurveFormats);
  EXPECT_EQ(count, 7);
  EXPECT_EQ(GetCurveCandidateFormats(curve_channel::Vector, 2, true, false, &count),
            Vector4CurveFormats);
  EXPECT_EQ(count, 3);
  for (data_type_definition* const* list :
       {PositionCurveFormats, OrientationCurveFormats, ScaleShearCurveFormats, Vector4CurveFormats,
        MorphNormalCurveFormats}) {
    EXPECT_EQ(list[0], DaK32fC32fType);
  }
  // Sampled keys come last, after the same quantized formats, in every case.
  for (bool quantized : {true, false}) {
    for (bool sixteen : {true, false}) {
      for (int32_t d : {3, 4, 9, 2}) {
        curve_channel channel = d == 4 ? curve_channel::Orientation : curve_channel::Vector;
        int32_t plain = 0;
        data_type_definition* const* without =
            GetCurveCandidateFormats(channel, d, quantized, sixteen, &plain);
        data_type_definition* const* with =
            GetCurveCandidateFormats(channel, d, quantized, sixteen, &count, true);
        ASSERT_EQ(count, plain + 1);
        for (int32_t i = 0; i < plain; ++i) EXPECT_EQ(with[i], without[i]) << d << " " << i;
        EXPECT_EQ(with[plain], DaSampledBitsType);
      }
    }
  }
}

struct FormatCase {
  data_type_definition* format;
  int d;
  int max;  // M of the controls
  enum { Plain, Diagonal1, Diagonal3, Line } shape;
};

// Random controls of the shape a format can hold; every decoded number lies
// within range / (2M) of the original, every knot within L / (2M) (with the
// truncated knot scale up to 1% coarser).
TEST(CurveFormats, QuantizedRoundTripsStayWithinHalfAStep) {
  const FormatCase cases[] = {{DaK16uC16uType, 5, 65535, FormatCase::Plain},
                              {DaK8uC8uType, 2, 255, FormatCase::Plain},
                              {D3K16uC16uType, 3, 65535, FormatCase::Plain},
                              {D3K8uC8uType, 3, 255, FormatCase::Plain},
                              {D9I1K16uC16uType, 9, 65535, FormatCase::Diagonal1},
                              {D9I1K8uC8uType, 9, 255, FormatCase::Diagonal1},
                              {D9I3K16uC16uType, 9, 65535, FormatCase::Diagonal3},
                              {D9I3K8uC8uType, 9, 255, FormatCase::Diagonal3},
                              {D3I1K16uC16uType, 3, 65535, FormatCase::Line},
                              {D3I1K8uC8uType, 3, 255, FormatCase::Line},
                              {D3I1K32fC32fType, 3, 1 << 22, FormatCase::Line}};
  std::mt19937 random(17);
  std::uniform_real_distribution<float> value(-20.0f, 20.0f);
  for (const FormatCase& c : cases) {
    const int k = 23;
    std::vector<float> knots(k), controls(k * c.d, 0.0f);
    for (int i = 0; i < k; ++i) knots[i] = i * 0.37f;
    float line[3] = {value(random), value(random), value(random)};
    for (int i = 0; i < k; ++i) {
      float* p = &controls[i * c.d];
      float u = value(random);
      for (int j = 0; j < c.d; ++j) {
        switch (c.shape) {
          case FormatCase::Plain:
            p[j] = value(random);
            break;
          case FormatCase::Line:
            p[j] = 1.0f + u * line[j];
            break;
          default:
            break;
        }
      }
      if (c.shape == FormatCase::Diagonal1) p[0] = p[4] = p[8] = u;
      if (c.shape == FormatCase::Diagonal3) p[0] = u, p[4] = value(random), p[8] = value(random);
    }
    if (c.shape == FormatCase::Plain) {
      for (int i = 0; i < k; ++i) controls[i * c.d + c.d - 1] = 4.5f;  // a constant component
    }
    curve2* curve = Build(c.format, 3, c.d, knots, controls);
    ASSERT_NE(curve, nullptr) << GetCurveFormatName(FindCurveFormat(c.format));
    ASSERT_EQ(GetCurveKnotCount(curve), k);
    std::vector<float> outKnots(k), outControls(k * c.d);
    ASSERT_TRUE(
        ExtractCurveKnotsControls(curve, 0, k, outKnots.data(), outControls.data(), nullptr));
    float last = knots[k - 1];
    for (int i = 0; i < k; ++i) {
      if (c.format != D3I1K32fC32fType) {
        EXPECT_NEAR(outKnots[i], knots[i], last / (2.0f * (c.max == 65535 ? 65535 : 255)) * 1.01f);
      }
    }
    for (int j = 0; j < c.d; ++j) {
      float low = 1e30f, high = -1e30f;
      for (int i = 0; i < k; ++i) {
        low = std::fmin(low, controls[i * c.d + j]);
        high = std::fmax(high, controls[i * c.d + j]);
      }
      float allowed = (high - low) / (2.0f * c.max) * 1.001f + 1e-5f * (1 + std::fabs(high));
      for (int i = 0; i < k; ++i) {
        EXPECT_NEAR(outControls[i * c.d + j], controls[i * c.d + j], allowed)
            << GetCurveFormatName(FindCurveFormat(c.format)) << " component " << j;
      }
    }
    FreeCurve(curve);
  }
}

TEST(CurveFormats, ConstantComponentGetsUnitScaleAndLastKnotFitsItsCode) {
  std::vector<float> knots = {0, 1, 2, 3.3333333f}, controls = {7, 1, 7, 2, 7, 3, 7, 4};
  curve2* curve = Build(DaK8uC8uType, 1, 2, knots, controls);
  auto* record = static_cast<curve_data_da_quantized*>(curve->CurveData.Object);
  EXPECT_EQ(record->ControlScaleOffsets[0], 1.0f);
  EXPECT_EQ(record->ControlScaleOffsets[2], 7.0f);
  const uint8_t* codes = static_cast<const uint8_t*>(record->KnotsControls);
  EXPECT_LE(codes[3], 255);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(codes[4 + 2 * i], 0);
  FreeCurve(curve);
}

// The fitter and the encoder must agree on the knot scale in every build:
// an optimiser that drops the 16-bit truncation moves knots by a code.
TEST(CurveFormats, KnotScaleKeepsItsUpperSixteenBitsInEveryBuild) {
  struct Case {
    int32_t format;
    float last, scale;
  } cases[] = {
      {CurveFormatDaK16uC16u, 1.0f, 65280.0f},
      {CurveFormatDaK16uC16u, 2.0f, 32640.0f},
      {CurveFormatDaK16uC16u, 0.3f, 218112.0f},
      {CurveFormatDaK8uC8u, 7.0f, 36.25f},
      {CurveFormatDaK8uC8u, 1.0f, 255.0f},
      {CurveFormatD4nK16uC15u, 1.0f, 65535.0f},
      {CurveFormatDaK16uC16u, 0.0f, 1.0f},
      {CurveFormatDaK16uC16u, NAN, 1.0f},
      {CurveFormatDaK16uC16u, 1e-30f, 6.52282293e34f},
  };
  for (const Case& c : cases) {
    uint16_t truncated = 0;
    const float scale = curve_format_internal::KnotScaleFor(c.format, c.last, &truncated);
    EXPECT_EQ(scale, c.scale) << "format " << c.format << ", last knot " << c.last;
    if (curve_format_internal::HasTruncatedKnotScale(c.format)) {
      EXPECT_EQ(curve_format_internal::FloatFromBits(uint32_t{truncated} << 16), scale);
    }
  }
}

double QuaternionAngle(const float* a, const float* b) {
  // From the chord rather than acos of the dot product, which loses the
  // small angles to rounding.
  double dot =
      double{a[0]} * b[0] + double{a[1]} * b[1] + double{a[2]} * b[2] + double{a[3]} * b[3];
  double sign = dot < 0 ? -1 : 1, chord = 0;
  for (int k = 0; k < 4; ++k) chord += (a[k] - sign * b[k]) * (a[k] - sign * b[k]);
  return 4.0 * std::asin(std::fmin(1.0, std::sqrt(chord) / 2)) * 180.0 / M_PI;
}

TEST(CurveFormats, D4nQuaternionsKeepAngleAndSign) {
  std::mt19937 random(23);
  std::normal_distribution<float> normal;
  const int k = 64;
  std::vector<float> knots(k), controls(k * 4);
  for (int i = 0; i < k; ++i) {
    knots[i] = static_cast<float>(i);
    float* q = &controls[i * 4];
    float length = 0;
    for (int j = 0; j < 4; ++j) q[j] = normal(random), length += q[j] * q[j];
    for (int j = 0; j < 4; ++j) q[j] /= std::sqrt(length);
  }
  data_type_definition* formats[2] = {D4nK16uC15uType, D4nK8uC7uType};
  const double limits[2] = {0.01, 2.0};
  for (int f = 0; f < 2; ++f) {
    data_type_definition* format = formats[f];
    double limit = limits[f];
    curve2* curve = Build(format, 3, 4, knots, controls);
    std::vector<float> out(k * 4);
    ASSERT_TRUE(ExtractCurveKnotsControls(curve, 0, k, nullptr, out.data(), nullptr));
    for (int i = 0; i < k; ++i) {
      EXPECT_LE(QuaternionAngle(&out[i * 4], &controls[i * 4]), limit);
      float dot = 0;
      for (int j = 0; j < 4; ++j) dot += out[i * 4 + j] * controls[i * 4 + j];
      EXPECT_GT(dot, 0.0f);  // the sign of the stored quaternion survives
    }
    FreeCurve(curve);
  }
  // Ties drop the lowest index: (0.5, 0.5, 0.5, 0.5) drops x, no index bits.
  std::vector<float> tie = {0.5f, 0.5f, 0.5f, 0.5f}, zero = {0};
  curve2* curve = Build(D4nK16uC15uType, 0, 4, zero, tie);
  auto* record = static_cast<curve_data_d4n*>(curve->CurveData.Object);
  const uint16_t* codes = static_cast<const uint16_t*>(record->KnotsControls);
  EXPECT_EQ(codes[2] & 0x8000, 0);
  EXPECT_EQ(codes[3] & 0x8000, 0);
  // A hostile code whose components square to more than 1: no NaN.
  const_cast<uint16_t*>(codes)[1] = 0x7FFF;
  const_cast<uint16_t*>(codes)[2] = 0x7FFF;
  const_cast<uint16_t*>(codes)[3] = 0x7FFF;
  record->ScaleOffsetTableEntries = 0;
  float q[4];
  ASSERT_TRUE(ExtractCurveKnotsControls(curve, 0, 1, nullptr, q, nullptr));
  for (float v : q) EXPECT_TRUE(std::isfinite(v));
  FreeCurve(curve);
}

TEST(CurveQueries, AReaderAnswersAsTheCurveDoes) {
  // Quadratic, four dimensions, in float and in packed quaternion codes.
  std::vector<float> knots, controls;
  for (int i = 0; i < 12; ++i) {
    knots.push_back(0.25f * static_cast<float>(i));
    const float half = 0.1f * static_cast<float>(i);
    // Every other one in the far hemisphere: normalising turns it back.
    const float sign = i % 2 ? -1.0f : 1.0f;
    for (float c : {0.0f, std::sin(half) * 0.6f, std::sin(half) * 0.8f, std::cos(half)})
      controls.push_back(sign * c);
  }
  for (data_type_definition* format : {DaK32fC32fType, D4nK16uC15uType, D4nK8uC7uType}) {
    curve2* curve = Build(format, 2, 4, knots, controls);
    ASSERT_NE(curve, nullptr);
    curve_reader reader;
    ASSERT_TRUE(BeginCurveReader(curve, &reader));
    // A kept window answers alike whatever came before: forward, back,
    // with and without normalising on the same knot.
    curve_window window;
    for (int pass = 0; pass < 3; ++pass) {
      const bool normalize = pass != 1;
      for (int i = 0; i <= 48; ++i) {
        const float t = 0.0625f * static_cast<float>(pass == 2 ? 48 - i : i);
        float direct[4], read[4], windowed[4];
        const int32_t knot = FindCurveKnot(curve, t);
        ASSERT_EQ(FindReaderKnot(reader, t), knot) << t;
        ASSERT_TRUE(EvaluateCurveAtKnot(4, normalize, curve, nullptr, nullptr, 0, knot, t, direct,
                                        nullptr));
        ASSERT_TRUE(EvaluateReaderAtKnot(reader, 4, normalize, knot, t, read, nullptr));
        ASSERT_TRUE(EvaluateReaderInWindow(reader, 4, normalize, knot, t, windowed, &window));
        EXPECT_EQ(std::memcmp(direct, read, sizeof direct), 0) << t;
        EXPECT_EQ(std::memcmp(direct, windowed, sizeof direct), 0) << t << " pass " << pass;
      }
    }
    FreeCurve(curve);
  }
  test::LogCapture log;
  curve_reader reader;
  EXPECT_FALSE(BeginCurveReader(nullptr, &reader));
}

TEST(CurveBuilder, FailuresAreLoggedWithTheirMessages) {
  test::LogCapture log;
  curve_builder* bad = BeginCurve(Curve2Type, 3, 3, 4);
  EXPECT_TRUE(
      log.Contains("Invalid format specified for a ketrel_curve2 - creating this curve will fail"));
  EXPECT_EQ(GetResultingCurveSize(bad), 0);
  EXPECT_TRUE(log.Contains("Invalid format specified for a ketrel_curve2 - returning size of 0"));
  EXPECT_EQ(EndCurve(bad), nullptr);
  EXPECT_TRUE(log.Contains("Invalid format specified for a ketrel_curve2 - returning NULL"));
  EXPECT_EQ(EndCurve(nullptr), nullptr);
  EXPECT_TRUE(log.Contains("Invalid curve_builder address - returning NULL"));
  float controls[8] = {};
  curve_builder* noKnots = BeginCurve(DaK32fC32fType, 1, 2, 4);
  SetControlArray(noKnots, controls);
  EXPECT_EQ(EndCurve(noKnots), nullptr);
  EXPECT_TRUE(log.Contains("Unknown curve type - returning NULL"));
  EXPECT_EQ(EndCurve(BeginCurve(DaK32fC32fType, 1, 2, 4)), nullptr);
  EXPECT_TRUE(log.Contains(
      "Need either a source curve to copy, or both knot and control arrays - returning NULL"));
  SetAllocationFailureCountdown(1);
  curve_builder* starved = BeginCurve(D3Constant32fType, 0, 3, 1);
  SetControlArray(starved, controls);
  EXPECT_EQ(EndCurve(starved), nullptr);
  EXPECT_TRUE(log.Contains("Out of memory or invalid address for curve - returning NULL"));
  // Null builders are accepted everywhere.
  SetKnotArray(nullptr, controls);
  SetControlArray(nullptr, controls);
  SetSampleData(nullptr, 1, 1, controls, controls);
  EXPECT_EQ(GetResultingCurveSize(nullptr), 0);
}

TEST(CurveQueries, KindsAndEdgeCasesNeverCrash) {
  const float identity[3] = {1, 2, 3};
  curve2* id = Build(DaIdentityType, 0, 3, {}, {});
  ASSERT_NE(id, nullptr);
  EXPECT_TRUE(CurveIsIdentity(id));
  EXPECT_TRUE(CurveIsConstantOrIdentity(id));
  EXPECT_FALSE(CurveIsConstantNotIdentity(id));
  EXPECT_EQ(GetCurveDimension(id), 0);
  EXPECT_EQ(GetCurveStoredDimension(id), 3);
  float out[9];
  ASSERT_TRUE(EvaluateCurveAtT(3, false, id, nullptr, nullptr, 0, 5.0f, out, identity));
  EXPECT_EQ(out[2], 3.0f);
  // A float curve with no knots is the identity.
  curve_data_da_k32f_c32f empty{};
  empty.Header.Format = CurveFormatDaK32fC32f;
  curve2 bare{{DaK32fC32fType, &empty}};
  EXPECT_TRUE(CurveIsIdentity(&bare));
  EXPECT_EQ(GetCurveDimension(&bare), 0);
  EXPECT_TRUE(EvaluateCurveAtT(3, true, &bare, nullptr, nullptr, 0, 1.0f, out, identity));
  EXPECT_EQ(out[0], 1.0f);
  // Keyframed curves cannot be evaluated.
  std::vector<float> keys = {1, 2, 3, 4, 5, 6};
  curve_builder* b = BeginCurve(DaKeyframes32fType, 0, 3, 2);
  SetControlArray(b, keys.data());
  curve2* keyed = EndCurve(b);
  ASSERT_NE(keyed, nullptr);
  EXPECT_TRUE(CurveIsKeyframed(keyed));
  EXPECT_EQ(GetCurveKnotCount(keyed), 2);
  test::LogCapture log;
  EXPECT_FALSE(EvaluateCurveAtT(3, false, keyed, nullptr, nullptr, 0, 0, out, nullptr));
  EXPECT_EQ(log.errors(), 1u);
  // Times outside the curve give its end values.
  curve2* ramp = Build(DaK32fC32fType, 3, 1, {0, 1, 2, 3}, {0, 1, 2, 3});
  EXPECT_TRUE(EvaluateCurveAtT(1, false, ramp, nullptr, nullptr, 0, 50.0f, out, nullptr));
  EXPECT_EQ(out[0], 3.0f);
  EXPECT_TRUE(EvaluateCurveAtT(1, false, ramp, nullptr, nullptr, 0, -4.0f, out, nullptr));
  EXPECT_EQ(out[0], 0.0f);
  EXPECT_TRUE(EvaluateCurveAtT(1, false, ramp, nullptr, nullptr, 0, NAN, out, nullptr));
  EXPECT_EQ(out[0], 0.0f);
  // A copy decodes to the same numbers; a re-encoding of another shape is refused.
  curve2* copy = EndCurve(BeginCurveCopy(ramp));
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(GetCurveByteSize(copy), GetCurveByteSize(ramp));
  float a[4], c[4];
  ExtractCurveKnotsControls(ramp, 0, 4, nullptr, a, nullptr);
  ExtractCurveKnotsControls(copy, 0, 4, nullptr, c, nullptr);
  EXPECT_EQ(0, std::memcmp(a, c, sizeof(a)));
  float knots3[3] = {};
  EXPECT_FALSE(SetCurveKnotsControls(copy, 3, 1, knots3, knots3));
  EXPECT_TRUE(log.Contains("Curve and argument knot counts do not match"));
  EXPECT_FALSE(SetCurveKnotsControls(copy, 4, 2, knots3, knots3));
  EXPECT_TRUE(log.Contains("Curve and argument dimensions do not match"));
  FreeCurve(copy);
  FreeCurve(ramp);
  FreeCurve(keyed);
  FreeCurve(id);
}

TEST(CurveQueries, HostileRecordsAreClampedNotTrusted) {
  // Counts that disagree with each other or are negative, an unknown format
  // number, a knot scale of zero.
  float knots[2] = {0, 1};
  curve_data_da_k32f_c32f record{};
  record.Header = {CurveFormatDaK32fC32f, 3};
  record.KnotCount = 2;
  record.Knots = knots;
  record.ControlCount = -5;
  record.Controls = knots;
  curve2 curve{{DaK32fC32fType, &record}};
  EXPECT_EQ(GetCurveDimension(&curve), 0);
  curve_data_d3_scaled packed{};
  packed.Header = {CurveFormatD3K16uC16u, 1};
  uint16_t codes[8] = {0, 65535, 1, 2, 3, 4, 5, 6};
  packed.KnotControlCount = 8;
  packed.KnotsControls = codes;
  curve2 zeroScale{{D3K16uC16uType, &packed}};
  float out[3];
  ASSERT_TRUE(EvaluateCurveAtT(3, false, &zeroScale, nullptr, nullptr, 0, 0.5f, out, nullptr));
  for (float v : out) EXPECT_TRUE(std::isfinite(v));
  curve_data_header unknown{200, 3};
  curve2 stranger{{DaK32fC32fType, &unknown}};
  test::LogCapture log;
  EXPECT_EQ(GetCurveKnotCount(&stranger), 0);
  EXPECT_FALSE(EvaluateCurveAtT(3, false, &stranger, nullptr, nullptr, 0, 0, out, nullptr));
}

TEST(CurveTransforms, ControlsAreTransformedAndFormatsKeepWhatTheyCanHold) {
  const float swapXY[9] = {0, 1, 0, 1, 0, 0, 0, 0, 1};  // its own inverse
  const float offset[3] = {10, 0, 0};
  curve2* position = Build(D3K16uC16uType, 1, 3, {0, 1}, {1, 2, 3, 4, 5, 6});
  ASSERT_TRUE(TransformCurve3(offset, swapXY, 1e-4f, position));
  float p[6];
  ExtractCurveKnotsControls(position, 0, 2, nullptr, p, nullptr);
  EXPECT_NEAR(p[0], 12, 1e-3);
  EXPECT_NEAR(p[1], 1, 1e-3);
  EXPECT_NEAR(p[5], 6, 1e-3);
  FreeCurve(position);
  // An axis swap with a scale moves codes instead of re-quantizing them.
  std::vector<float> points = {0.1f, 5, -3, 2.7f, 1, 8, -4, 2.2f, 0.5f};
  curve2* packed = Build(D3K8uC8uType, 2, 3, {0, 1, 2}, points);
  auto* record = static_cast<curve_data_d3_scaled*>(packed->CurveData.Object);
  std::vector<uint8_t> before(static_cast<uint8_t*>(record->KnotsControls),
                              static_cast<uint8_t*>(record->KnotsControls) + 12);
  float decoded[9], moved[9];
  ExtractCurveKnotsControls(packed, 0, 3, nullptr, decoded, nullptr);
  const float swapScaled[9] = {0, -2, 0, 2, 0, 0, 0, 0, 2};
  ASSERT_TRUE(TransformCurve3(offset, swapScaled, 1e-4f, packed));
  const uint8_t* after = static_cast<uint8_t*>(record->KnotsControls);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(after[3 + 3 * i], before[3 + 3 * i + 1]);
    EXPECT_EQ(after[3 + 3 * i + 1], before[3 + 3 * i]);
  }
  ExtractCurveKnotsControls(packed, 0, 3, nullptr, moved, nullptr);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(moved[3 * i], -2 * decoded[3 * i + 1] + 10, 1e-4);
    EXPECT_NEAR(moved[3 * i + 1], 2 * decoded[3 * i], 1e-4);
    EXPECT_NEAR(moved[3 * i + 2], 2 * decoded[3 * i + 2], 1e-4);
  }
  FreeCurve(packed);
  // Quaternions keep their sign relation through the re-encoding, even
  // where the matrix-to-quaternion step would flip one.
  const float rotateZ[9] = {0, -1, 0, 1, 0, 0, 0, 0, 1}, inverseZ[9] = {0, 1, 0, -1, 0, 0, 0, 0, 1};
  std::vector<float> quats = {0, 0, 0, 1, 0.6f, 0, 0, 0.8f, 1, 0, 0, 0, 0.6f, 0, 0, -0.8f};
  curve2* orientation = Build(DaK32fC32fType, 1, 4, {0, 1, 2, 3}, quats);
  ASSERT_TRUE(TransformCurve4(rotateZ, inverseZ, 1e-4f, orientation));
  float q[16];
  ExtractCurveKnotsControls(orientation, 0, 4, nullptr, q, nullptr);
  EXPECT_NEAR(q[3], 1, 1e-5);
  EXPECT_NEAR(q[5], 0.6f, 1e-5);  // x axis turned onto y
  for (int i = 1; i < 4; ++i) {
    float dotBefore = 0, dotAfter = 0;
    for (int k = 0; k < 4; ++k) {
      dotBefore += quats[i * 4 + k] * quats[i * 4 - 4 + k];
      dotAfter += q[i * 4 + k] * q[i * 4 - 4 + k];
    }
    EXPECT_NEAR(dotAfter, dotBefore, 1e-5) << "control " << i;
  }
  FreeCurve(orientation);
  // Off-diagonal terms survive in a float curve; a diagonal-only format
  // refuses the transform instead of dropping them.
  const float c = std::cos(0.5f), s = std::sin(0.5f);
  const float turn[9] = {c, -s, 0, s, c, 0, 0, 0, 1}, back[9] = {c, s, 0, -s, c, 0, 0, 0, 1};
  std::vector<float> scales = {2, 0, 0, 0, 1, 0, 0, 0, 1, 3, 0, 0, 0, 1, 0, 0, 0, 1};
  curve2* full = Build(DaK32fC32fType, 1, 9, {0, 1}, scales);
  ASSERT_TRUE(TransformCurve9(turn, back, 1e-4f, full));
  float m[18];
  ExtractCurveKnotsControls(full, 0, 2, nullptr, m, nullptr);
  EXPECT_GT(std::fabs(m[1]), 0.1f);
  FreeCurve(full);
  test::LogCapture log;
  curve2* diagonal = Build(D9I3K16uC16uType, 1, 9, {0, 1}, scales);
  EXPECT_FALSE(TransformCurve9(turn, back, 1e-4f, diagonal));
  ExtractCurveKnotsControls(diagonal, 0, 2, nullptr, m, nullptr);
  EXPECT_NEAR(m[0], 2, 1e-3);
  FreeCurve(diagonal);
  curve2* id = Build(DaIdentityType, 0, 3, {}, {});
  EXPECT_FALSE(TransformCurve3(offset, swapXY, 1e-4f, id));
  EXPECT_TRUE(log.Contains("Curve is the identity value - can't transform it"));
  EXPECT_FALSE(TransformCurve4(swapXY, swapXY, 1e-4f,
                               diagonal = Build(DaK32fC32fType, 1, 9, {0, 1}, scales)));
  EXPECT_TRUE(log.Contains("Curve does not have dimension=4"));
  FreeCurve(diagonal);
  FreeCurve(id);
}

}  // namespace
}  // namespace ketrel
