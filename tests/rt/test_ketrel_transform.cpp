#include "rt/ketrel_transform.h"

#include <gtest/gtest.h>

#include <cmath>

namespace ketrel {
namespace {

TEST(Transform, FlagsFollowThePresenceThresholds) {
  const float nearZero[3] = {0.0004f, 0.0004f, 0.0001f};
  const float moved[3] = {0.0006f, 0.0004f, 0.0001f};
  const float turned[4] = {0.0001f, 0, 0, 1};
  const float scaled[9] = {1.001f, 0, 0, 0, 1, 0, 0, 0, 1};
  EXPECT_EQ(MakeTransform(nearZero, nullptr, nullptr).Flags, 0u);
  EXPECT_EQ(MakeTransform(moved, nullptr, nullptr).Flags, uint32_t{HasPosition});
  EXPECT_EQ(MakeTransform(nullptr, turned, nullptr).Flags, uint32_t{HasOrientation});
  EXPECT_EQ(MakeTransform(nullptr, nullptr, scaled).Flags, uint32_t{HasScaleShear});
}

TEST(Transform, InverseOfCompositeAndPlacementRoundTrip) {
  const float position[3] = {1, -2, 3};
  const float q[4] = {0.1825742f, 0.3651484f, 0.5477226f, 0.7302967f};
  const float scaleShear[9] = {2, 0.5f, 0, 0, 1, 0, 0, 0, 0.25f};
  transform t = MakeTransform(position, q, scaleShear);
  float m[4][4], inverse[4][4];
  BuildCompositeMatrix(t, m);
  // A point maps as scale/shear, rotation, translation: (1,0,0) -> R*(2,0,0)+p.
  EXPECT_NEAR(m[3][0] + m[0][0], 1 + 2 * (1 - 2 * (q[1] * q[1] + q[2] * q[2])), 1e-5f);
  ASSERT_TRUE(InvertAffineMatrix(m, inverse));
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      float product = 0;
      for (int k = 0; k < 4; ++k) product += m[i][k] * inverse[k][j];
      EXPECT_NEAR(product, i == j ? 1.0f : 0.0f, 1e-5f);
    }
  const float flat[9] = {1, 0, 0, 0, 0, 0, 0, 0, 1};
  BuildCompositeMatrix(MakeTransform(position, q, flat), m);
  EXPECT_FALSE(InvertAffineMatrix(m, inverse));
  m[1][1] = NAN;
  EXPECT_FALSE(InvertAffineMatrix(m, inverse));

  transform placement = MakePlacement(position, q);
  transform rebased = RemovePlacement(placement, t);
  EXPECT_EQ(rebased.Flags, uint32_t{HasScaleShear});  // only the scale/shear is left
  transform back = ApplyPlacement(placement, rebased);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(back.Position[i], t.Position[i], 1e-5f);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(back.Orientation[i], t.Orientation[i], 1e-5f);

  const float tiny[4] = {0.00001f, 0, 0, 0.00001f};
  transform identityTurn = MakePlacement(position, tiny);
  EXPECT_EQ(identityTurn.Orientation[3], 1.0f);
  EXPECT_EQ(identityTurn.Flags, uint32_t{HasPosition});
}

}  // namespace
}  // namespace ketrel
