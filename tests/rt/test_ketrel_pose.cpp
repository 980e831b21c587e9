// World and skinning matrices of the test character, and pose blending and
// additive layers against poses worked out by hand.
#include "rt/ketrel_pose.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "rt/ketrel_playback.h"
#include "rt/ketrel_transform.h"
#include "tests/rt/test_ketrel_playback_support.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

const float kRoot = std::sqrt(0.5f);

transform Make(float x, float y, float z, const float q[4], float sx = 1) {
  const float p[3] = {x, y, z};
  const float m[9] = {sx, 0, 0, 0, 1, 0, 0, 0, 1};
  return MakeTransform(p, q, m);
}

// Where a transform sends a point.
void Apply(const transform& t, const float in[3], float out[3]) {
  float m[4][4];
  BuildCompositeMatrix(t, m);
  for (int j = 0; j < 3; ++j)
    out[j] = in[0] * m[0][j] + in[1] * m[1][j] + in[2] * m[2][j] + m[3][j];
}

void ExpectPoint(const float got[3], float x, float y, float z, const char* what) {
  EXPECT_NEAR(got[0], x, 1e-5f) << what;
  EXPECT_NEAR(got[1], y, 1e-5f) << what;
  EXPECT_NEAR(got[2], z, 1e-5f) << what;
}

TEST(Pose, WorldAndSkinningMatricesOfASampledPose) {
  test::TestCharacter c;
  track_binding* binding = BindTrackGroup(c.Skeleton, &c.Clip, c.Group);
  ASSERT_NE(binding, nullptr);
  transform local[3];
  matrix4x4 world[3];
  ASSERT_EQ(GetWorldPoseSize(3), sizeof world);
  // Halfway: the root has moved to (1,0,0), the spine turned 45 degrees
  // about Z and the arm sits at (1,2,0) in the spine's frame.
  ASSERT_TRUE(SampleLocalPose(binding, 0.5f, PlaybackClamp, local));
  ASSERT_TRUE(BuildWorldPose(c.Skeleton, local, nullptr, world));
  ExpectPoint(world[1][3], 1, 1, 0, "spine");
  ExpectPoint(world[2][3], 1 + kRoot * (1 - 2), 1 + kRoot * (1 + 2), 0, "arm");
  // An offset places the whole model.
  matrix4x4 offset = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 10, 1}};
  ASSERT_TRUE(BuildWorldPose(c.Skeleton, local, &offset, world));
  ExpectPoint(world[2][3], 1 + kRoot * (1 - 2), 1 + kRoot * (1 + 2), 10, "placed arm");
  ASSERT_TRUE(BuildWorldPose(c.Skeleton, local, nullptr, world));

  // A vertex bound at the arm's rest position follows the arm.
  bone_binding bindings[2] = {};
  bindings[0].BoneName = "Arm";
  bindings[1].BoneName = "Hand";
  mesh body{};
  body.Name = "Body";
  body.BoneBindingCount = 2;
  body.BoneBindings = bindings;
  int32_t bones[2];
  test::LogCapture log;
  EXPECT_FALSE(BindMeshToSkeleton(&body, c.Skeleton, bones));
  EXPECT_TRUE(log.Contains("Mesh Body is bound to bone Hand, which skeleton"));
  EXPECT_EQ(bones[0], 2);
  EXPECT_EQ(bones[1], -1);
  matrix4x4 skinning[2];
  ASSERT_EQ(GetSkinningMatricesSize(&body), sizeof skinning);
  ASSERT_TRUE(BuildSkinningMatrices(c.Skeleton, &body, bones, world, skinning));
  const float vertex[4] = {1, 1, 0, 1};
  float moved[3];
  for (int j = 0; j < 3; ++j) {
    moved[j] = 0;
    for (int i = 0; i < 4; ++i) moved[j] += vertex[i] * skinning[0][i][j];
  }
  ExpectPoint(moved, 1 + kRoot * (1 - 2), 1 + kRoot * (1 + 2), 0, "skinned vertex");
  ExpectPoint(skinning[1][3], 0, 0, 0, "unbound binding is the identity");
  EXPECT_EQ(skinning[1][0][0], 1.0f);

  // At the rest pose every skinning matrix is the identity.
  ASSERT_TRUE(GetRestPose(c.Skeleton, local));
  ASSERT_TRUE(BuildWorldPose(c.Skeleton, local, nullptr, world));
  ASSERT_TRUE(BuildSkinningMatrices(c.Skeleton, &body, bones, world, skinning));
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_NEAR(skinning[0][i][j], i == j ? 1.0f : 0.0f, 1e-6f);

  c.Skeleton->Bones[2].ParentIndex = 2;
  EXPECT_FALSE(BuildWorldPose(c.Skeleton, local, nullptr, world));
  FreeTrackBinding(binding);
}

TEST(Pose, BlendingTwoPoses) {
  const float identity[4] = {0, 0, 0, 1};
  const float aboutX90[4] = {kRoot, 0, 0, kRoot};
  const float aboutX90Negated[4] = {-kRoot, 0, 0, -kRoot};
  const transform a[2] = {Make(0, 0, 0, identity), Make(0, 0, 0, identity)};
  const transform b[2] = {Make(2, 4, 0, aboutX90, 3), Make(2, 4, 0, aboutX90Negated, 3)};
  const float half = std::sin(3.14159265f / 8), halfCos = std::cos(3.14159265f / 8);
  struct Case {
    float weight;
    const float* boneWeights;
    float position[3], quaternion[4], scale;
  };
  const float masks[2] = {0.5f, 0.5f};
  const Case cases[] = {
      {0.0f, nullptr, {0, 0, 0}, {0, 0, 0, 1}, 1},
      {1.0f, nullptr, {2, 4, 0}, {kRoot, 0, 0, kRoot}, 3},
      // Halfway: 45 degrees about X, whichever sign the quaternion carries.
      {0.5f, nullptr, {1, 2, 0}, {half, 0, 0, halfCos}, 2},
      {1.0f, masks, {1, 2, 0}, {half, 0, 0, halfCos}, 2},
  };
  for (const Case& c : cases) {
    transform out[2];
    ASSERT_TRUE(BlendLocalPoses(a, b, 2, c.weight, c.boneWeights, out));
    for (int bone = 0; bone < 2; ++bone) {
      const float sign = out[bone].Orientation[3] < 0 ? -1.0f : 1.0f;
      for (int i = 0; i < 3; ++i) EXPECT_NEAR(out[bone].Position[i], c.position[i], 1e-6f);
      for (int i = 0; i < 4; ++i)
        EXPECT_NEAR(sign * out[bone].Orientation[i], c.quaternion[i], 1e-6f) << c.weight;
      EXPECT_NEAR(out[bone].ScaleShear[0][0], c.scale, 1e-6f);
      EXPECT_NEAR(out[bone].ScaleShear[1][1], 1.0f, 1e-6f);
    }
  }
  // In place.
  transform inPlace[2] = {a[0], a[1]};
  ASSERT_TRUE(BlendLocalPoses(inPlace, b, 2, 1.0f, nullptr, inPlace));
  EXPECT_NEAR(inPlace[0].Position[1], 4.0f, 1e-6f);
  test::LogCapture log;
  EXPECT_FALSE(BlendLocalPoses(a, b, 2, NAN, nullptr, inPlace));
  EXPECT_FALSE(BlendLocalPoses(a, nullptr, 2, 0.5f, nullptr, inPlace));
}

TEST(Pose, AdditiveLayerAddsTheChangeFromItsReference) {
  const float identity[4] = {0, 0, 0, 1};
  const float aboutZ90[4] = {0, 0, kRoot, kRoot};
  const float aboutX60[4] = {0.5f, 0, 0, std::sqrt(0.75f)};
  const transform base = Make(1, 0, 0, aboutZ90, 2);
  const transform reference = Make(0, 1, 0, identity);
  const transform layer = Make(0, 3, 0, aboutX60, 1.5f);
  const float yAxis[3] = {0, 1, 0}, origin[3] = {0, 0, 0};
  const float cos30 = std::sqrt(0.75f);
  transform out;
  float moved[3];

  // Full weight: +2 in Y, +0.5 in X scale, and the 60-degree turn about X
  // in the bone's own frame, before the base's 90 degrees about Z: the Y
  // axis goes to (0, cos 60, sin 60), then to (-cos 60, 0, sin 60).
  ASSERT_TRUE(ApplyAdditiveLayer(&base, &layer, &reference, 1, 1.0f, nullptr, &out));
  Apply(out, origin, moved);
  ExpectPoint(moved, 1, 2, 0, "full position");
  EXPECT_NEAR(out.ScaleShear[0][0], 2.5f, 1e-6f);
  transform turn = out;
  std::memset(turn.Position, 0, sizeof turn.Position);
  turn.ScaleShear[0][0] = 1;
  Apply(turn, yAxis, moved);
  ExpectPoint(moved, -0.5f, 0, cos30, "full turn");

  // Half weight: half the change, 30 degrees of the turn.
  ASSERT_TRUE(ApplyAdditiveLayer(&base, &layer, &reference, 1, 0.5f, nullptr, &out));
  Apply(out, origin, moved);
  ExpectPoint(moved, 1, 1, 0, "half position");
  EXPECT_NEAR(out.ScaleShear[0][0], 2.25f, 1e-6f);
  turn = out;
  std::memset(turn.Position, 0, sizeof turn.Position);
  turn.ScaleShear[0][0] = 1;
  Apply(turn, yAxis, moved);
  ExpectPoint(moved, -cos30, 0, 0.5f, "half turn");

  // A layer equal to its reference changes nothing; a zero mask neither.
  const float mask[1] = {0.0f};
  for (const transform* l : {&reference, &layer}) {
    ASSERT_TRUE(
        ApplyAdditiveLayer(&base, l, &reference, 1, 1.0f, l == &layer ? mask : nullptr, &out));
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(out.Position[i], base.Position[i], 1e-6f);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(out.Orientation[i], base.Orientation[i], 1e-6f);
    EXPECT_NEAR(out.ScaleShear[0][0], 2.0f, 1e-6f);
  }
}

}  // namespace
}  // namespace ketrel
