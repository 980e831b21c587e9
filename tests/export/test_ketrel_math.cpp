#include "export/ketrel_math.h"

#include <gtest/gtest.h>

#include <cmath>

namespace ketrel {
namespace {

void ExpectNear(const HostMatrix& a, const HostMatrix& b, float tolerance = 1e-4f) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(a.m[i][j], b.m[i][j], tolerance) << i << "," << j;
}

// Rebuilds the host matrix from decomposed parts: linear = R * S (columns).
HostMatrix Recompose(const TransformParts& parts) {
  Quaternion q{parts.Orientation[0], parts.Orientation[1], parts.Orientation[2],
               parts.Orientation[3]};
  Matrix3 s;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) s.m[i][j] = parts.ScaleShear[i][j];
  Matrix3 linear = Multiply(MatrixFromQuaternion(q), s);
  HostMatrix h;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) h.m[i][j] = linear.m[j][i];
  for (int j = 0; j < 3; ++j) h.m[3][j] = parts.Position[j];
  return h;
}

float Length(const float q[4]) {
  return std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
}

TEST(Math, ComposeInverseAndMultiplyAgree) {
  HostMatrix m =
      ComposeHostMatrix({1, 2, 3}, QuaternionFromAxisAngle({0, 0, 1}, 0.7f), {2, 1, 0.5f});
  HostMatrix inverse;
  ASSERT_TRUE(Inverse(m, inverse));
  ExpectNear(Multiply(m, inverse), HostMatrix{});
  ExpectNear(Multiply(inverse, m), HostMatrix{});
  HostMatrix singular = m;
  for (int j = 0; j < 3; ++j) singular.m[2][j] = 0;
  HostMatrix untouched;
  EXPECT_FALSE(Inverse(singular, untouched));
  ExpectNear(untouched, HostMatrix{});
  // Row-vector convention: a pure translation moves the origin.
  HostMatrix t = ComposeHostMatrix({5, 0, 0}, {}, {1, 1, 1});
  HostMatrix r = ComposeHostMatrix({}, QuaternionFromAxisAngle({0, 0, 1}, 1.5707964f), {1, 1, 1});
  HostMatrix tr = Multiply(t, r);  // translate first, then rotate by 90 degrees
  EXPECT_NEAR(tr.m[3][0], 0, 1e-5);
  EXPECT_NEAR(tr.m[3][1], 5, 1e-5);
}

TEST(Math, DecomposeRoundTripsRotationScaleAndShear) {
  Quaternion q = Normalize({0.3f, -0.2f, 0.5f, 0.8f});
  HostMatrix m = ComposeHostMatrix({4, -1, 2}, q, {1.5f, 2, 0.25f});
  m.m[1][0] += 0.3f;  // some shear
  TransformParts parts;
  EXPECT_TRUE(DecomposeHostMatrix(m, parts));
  EXPECT_NEAR(Length(parts.Orientation), 1, 1e-5);
  ExpectNear(Recompose(parts), m);
  // The scale/shear is symmetric.
  EXPECT_NEAR(parts.ScaleShear[0][1], parts.ScaleShear[1][0], 1e-5);
  // No shear: the orientation is the rotation composed in (up to sign).
  HostMatrix plain = ComposeHostMatrix({}, q, {2, 2, 2});
  EXPECT_TRUE(DecomposeHostMatrix(plain, parts));
  float dot = parts.Orientation[0] * q.x + parts.Orientation[1] * q.y + parts.Orientation[2] * q.z +
              parts.Orientation[3] * q.w;
  EXPECT_NEAR(std::fabs(dot), 1, 1e-5);
  EXPECT_NEAR(parts.ScaleShear[1][1], 2, 1e-5);
}

TEST(Math, MirroredMatrixFoldsReflectionIntoScale) {
  HostMatrix m = ComposeHostMatrix({0, 0, 1}, QuaternionFromAxisAngle({1, 1, 0}, 0.9f), {-1, 1, 1});
  TransformParts parts;
  EXPECT_TRUE(DecomposeHostMatrix(m, parts));
  EXPECT_NEAR(Length(parts.Orientation), 1, 1e-5);
  Matrix3 s;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) s.m[i][j] = parts.ScaleShear[i][j];
  EXPECT_LT(Determinant(s), 0);  // the mirror lives in the scale
  ExpectNear(Recompose(parts), m);
}

TEST(Math, SingularMatrixKeepsLinearPartAsScale) {
  HostMatrix m;
  m.m[0][0] = 0;  // flattened along x
  m.m[3][1] = 7;
  TransformParts parts;
  EXPECT_FALSE(DecomposeHostMatrix(m, parts));
  EXPECT_NEAR(Length(parts.Orientation), 1, 1e-6);
  ExpectNear(Recompose(parts), m);
}

TEST(Math, SlerpTakesShortestArc) {
  Quaternion a{};
  Quaternion b = QuaternionFromAxisAngle({0, 0, 1}, 1.0f);
  Quaternion negated{-b.x, -b.y, -b.z, -b.w};
  Quaternion half = Slerp(a, negated, 0.5f);
  Quaternion expected = QuaternionFromAxisAngle({0, 0, 1}, 0.5f);
  EXPECT_NEAR(std::fabs(half.z * expected.z + half.w * expected.w), 1, 1e-5);
  Quaternion end = Slerp(a, b, 1.0f);
  EXPECT_NEAR(end.z, b.z, 1e-5);
}

}  // namespace
}  // namespace ketrel
