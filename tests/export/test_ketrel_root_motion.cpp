#include "export/ketrel_root_motion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "rt/ketrel_bspline_solver.h"

namespace ketrel {
namespace {

constexpr float kPi = 3.14159265f;

void AxisAngle(float x, float y, float z, float degrees, float* q) {
  const float half = degrees * kPi / 360.0f;
  const float length = std::sqrt(x * x + y * y + z * z);
  q[0] = x / length * std::sin(half);
  q[1] = y / length * std::sin(half);
  q[2] = z / length * std::sin(half);
  q[3] = std::cos(half);
}

void Rotate(const float* q, const float* v, float* out) {
  // v + 2w (u x v) + 2 u x (u x v)
  float t[3] = {2 * (q[1] * v[2] - q[2] * v[1]), 2 * (q[2] * v[0] - q[0] * v[2]),
                2 * (q[0] * v[1] - q[1] * v[0])};
  float u[3] = {q[1] * t[2] - q[2] * t[1], q[2] * t[0] - q[0] * t[2], q[0] * t[1] - q[1] * t[0]};
  for (int i = 0; i < 3; ++i) out[i] = v[i] + q[3] * t[i] + u[i];
}

void Multiply(const float* a, const float* b, float* out) {
  const float r[4] = {a[3] * b[0] + a[0] * b[3] + a[1] * b[2] - a[2] * b[1],
                      a[3] * b[1] - a[0] * b[2] + a[1] * b[3] + a[2] * b[0],
                      a[3] * b[2] + a[0] * b[1] - a[1] * b[0] + a[2] * b[3],
                      a[3] * b[3] - a[0] * b[0] - a[1] * b[1] - a[2] * b[2]};
  for (int i = 0; i < 4; ++i) out[i] = r[i];
}

// A root walking a circle: `count` samples over `seconds`, turning `degrees`
// about Z in all while moving forward along its own X at `speed`.
struct Walk {
  std::vector<float> positions, orientations;
};
Walk CircleWalk(int count, float seconds, float degrees, float speed, float climb = 0) {
  Walk walk;
  float position[3] = {0, 0, 0};
  float orientation[4] = {0, 0, 0, 1};
  const float dt = seconds / float(count - 1);
  for (int s = 0; s < count; ++s) {
    walk.positions.insert(walk.positions.end(), position, position + 3);
    walk.orientations.insert(walk.orientations.end(), orientation, orientation + 4);
    // Exact screw motion: a chord of the circle per step.
    float turn[4];
    AxisAngle(0, 0, 1, degrees / float(count - 1), turn);
    const float stepAngle = degrees / float(count - 1) * kPi / 180.0f;
    const float radius = speed / (stepAngle / dt);
    float local[3] = {radius * std::sin(stepAngle), radius * (1 - std::cos(stepAngle)), climb * dt};
    float moved[3];
    Rotate(orientation, local, moved);
    for (int i = 0; i < 3; ++i) position[i] += moved[i];
    Multiply(orientation, turn, orientation);
  }
  return walk;
}

TEST(RootMotion, MoveToOriginStartsAtTheIdentityAndKeepsRelativeMotion) {
  float q0[4], q1[4];
  AxisAngle(0, 0, 1, 90, q0);
  AxisAngle(0, 0, 1, 120, q1);
  std::vector<float> positions = {5, 6, 7, 5, 8, 7};  // moves 2 along world Y
  std::vector<float> orientations = {q0[0], q0[1], q0[2], q0[3], q1[0], q1[1], q1[2], q1[3]};
  float p[3], q[4];
  MoveSamplesToOrigin(2, positions.data(), orientations.data(), p, q);
  EXPECT_FLOAT_EQ(p[0], 5);
  EXPECT_FLOAT_EQ(p[2], 7);
  EXPECT_NEAR(q[2], q0[2], 1e-6f);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(positions[size_t(i)], 0, 1e-6f);
  EXPECT_NEAR(orientations[3], 1, 1e-6f);
  // World +Y seen from a frame turned 90 degrees about Z is local +X.
  EXPECT_NEAR(positions[3], 2, 1e-5f);
  EXPECT_NEAR(positions[4], 0, 1e-5f);
  // The remaining turn is 30 degrees about Z.
  EXPECT_NEAR(2 * std::acos(orientations[7]) * 180 / kPi, 30, 1e-3f);

  // A near-zero orientation places with the identity rather than blowing up.
  std::vector<float> tiny = {0, 0, 0, 0.00001f};
  std::vector<float> spot = {1, 2, 3};
  MoveSamplesToOrigin(1, spot.data(), tiny.data(), p, q);
  EXPECT_EQ(q[3], 1.0f);
  EXPECT_EQ(spot[0], 0.0f);
}

TEST(RootMotion, ContinuityKeepsEverySampleInThePreviousHemisphere) {
  std::vector<float> orientations;
  for (int s = 0; s <= 36; ++s) {
    float q[4];
    AxisAngle(0, 0, 1, 10.0f * float(s), q);
    // The host may hand out either sign; alternate them.
    if (s % 3 == 1)
      for (float& c : q) c = -c;
    orientations.insert(orientations.end(), q, q + 4);
  }
  MakeOrientationsContinuous(37, orientations.data());
  for (int s = 1; s <= 36; ++s) {
    const float* a = &orientations[size_t(4 * (s - 1))];
    const float* b = &orientations[size_t(4 * s)];
    EXPECT_GT(a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3], 0.9f) << s;
  }
  // A full turn ends on the opposite quaternion of the start.
  EXPECT_NEAR(orientations[4 * 36 + 3], -1, 1e-5f);
}

TEST(RootMotion, StraightTravelGoesIntoTheLoopTranslation) {
  const int count = 31;
  std::vector<float> positions, orientations;
  for (int s = 0; s < count; ++s) {
    // 100 units along X over the clip, a small sway in Y within tolerance.
    positions.insert(positions.end(),
                     {100.0f * float(s) / float(count - 1), s == count - 1 ? 0.5f : 0.0f, 1.0f});
    orientations.insert(orientations.end(), {0, 0, 0, 1});
  }
  const float positionTolerance[3] = {10, 10, 10};
  const float rotationTolerance[3] = {OrientationToleranceFromDegrees(10),
                                      OrientationToleranceFromDegrees(10),
                                      OrientationToleranceFromDegrees(10)};
  ConstantMotion motion;
  EXPECT_FALSE(ExtractConstantMotion(1.0f, count, positions.data(), orientations.data(),
                                     positionTolerance, rotationTolerance, motion));
  EXPECT_FALSE(motion.HasPeriodicLoop);
  EXPECT_FLOAT_EQ(motion.LoopTranslation[0], 100);
  EXPECT_FLOAT_EQ(motion.LoopTranslation[1], 0);  // within its tolerance
  EXPECT_FLOAT_EQ(motion.LoopTranslation[2], 0);
  for (int s = 0; s < count; ++s) EXPECT_NEAR(positions[size_t(3 * s)], 0, 1e-4f) << s;
  EXPECT_FLOAT_EQ(positions[3 * (count - 1) + 1], 0.5f);  // the sway stays in the samples

  // Fewer than two samples: nothing happens.
  float one[3] = {4, 5, 6}, still[4] = {0, 0, 0, 1};
  EXPECT_FALSE(
      ExtractConstantMotion(1.0f, 1, one, still, positionTolerance, rotationTolerance, motion));
  EXPECT_EQ(one[0], 4.0f);
  EXPECT_EQ(motion.LoopTranslation[0], 0.0f);
}

TEST(RootMotion, RotationToleranceIsTheAngleTheArtistGave) {
  // A 7 degree turn about Z against a 10 degree tolerance is no turn; a 13
  // degree turn is one.
  const float positionTolerance[3] = {10, 10, 10};
  const float tolerance = OrientationToleranceFromDegrees(10);
  const float rotationTolerance[3] = {tolerance, tolerance, tolerance};
  for (float degrees : {7.0f, 13.0f}) {
    float q[4];
    AxisAngle(0, 0, 1, degrees, q);
    std::vector<float> positions = {0, 0, 0, 0, 0, 0};
    std::vector<float> orientations = {0, 0, 0, 1, q[0], q[1], q[2], q[3]};
    ConstantMotion motion;
    const bool turned = ExtractConstantMotion(1.0f, 2, positions.data(), orientations.data(),
                                              positionTolerance, rotationTolerance, motion);
    EXPECT_EQ(turned, degrees > 10) << degrees;
  }
}

TEST(RootMotion, PeriodicLoopReproducesTheClipsEndAndUnwindsItIntoALoop) {
  for (float degrees : {90.0f, 180.0f, 270.0f, -120.0f}) {
    const int count = 61;
    Walk walk = CircleWalk(count, 2.0f, degrees, 3.0f, 0.5f);
    const float* pn = &walk.positions[size_t(3 * (count - 1))];
    const float* qn = &walk.orientations[size_t(4 * (count - 1))];
    LoopMotion loop = FitPeriodicLoop(&walk.positions[0], &walk.orientations[0], pn, qn, 2.0f);
    float offset[3], rotation[4];
    EvaluatePeriodicLoop(loop, 2.0f, offset, rotation);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(offset[i], pn[i], 1e-3f) << degrees << " " << i;
    const float dot =
        rotation[0] * qn[0] + rotation[1] * qn[1] + rotation[2] * qn[2] + rotation[3] * qn[3];
    EXPECT_NEAR(std::fabs(dot), 1, 1e-5f) << degrees;
    // Part way along, the loop stays on the walked circle.
    EvaluatePeriodicLoop(loop, 1.0f, offset, rotation);
    const float* middle = &walk.positions[size_t(3 * (count / 2))];
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(offset[i], middle[i], 2e-3f) << degrees << " " << i;

    const float positionTolerance[3] = {0.01f, 0.01f, 0.01f};
    const float r = OrientationToleranceFromDegrees(1);
    const float rotationTolerance[3] = {r, r, r};
    ConstantMotion motion;
    ASSERT_TRUE(ExtractConstantMotion(2.0f, count, walk.positions.data(), walk.orientations.data(),
                                      positionTolerance, rotationTolerance, motion))
        << degrees;
    EXPECT_EQ(motion.LoopTranslation[0], 0.0f);
    // What is left is standing still at the start.
    for (int s = 0; s < count; ++s) {
      for (int i = 0; i < 3; ++i) EXPECT_NEAR(walk.positions[size_t(3 * s + i)], 0, 2e-3f) << s;
      EXPECT_NEAR(std::fabs(walk.orientations[size_t(4 * s + 3)]), 1, 1e-5f) << s;
    }
  }
}

TEST(RootMotion, AxesWithinToleranceAreLeftOutOfTheLoopsTurn) {
  // A big turn about Z with a small wobble about X: the loop turns about Z only.
  const int count = 11;
  std::vector<float> positions(3 * count, 0.0f), orientations;
  for (int s = 0; s < count; ++s) {
    float z[4], x[4], q[4];
    AxisAngle(0, 0, 1, 9.0f * float(s), z);
    AxisAngle(1, 0, 0, 0.2f * float(s), x);
    Multiply(z, x, q);
    orientations.insert(orientations.end(), q, q + 4);
  }
  const float positionTolerance[3] = {1, 1, 1};
  const float r = OrientationToleranceFromDegrees(5);
  const float rotationTolerance[3] = {r, r, r};
  ConstantMotion motion;
  ASSERT_TRUE(ExtractConstantMotion(1.0f, count, positions.data(), orientations.data(),
                                    positionTolerance, rotationTolerance, motion));
  EXPECT_NEAR(motion.Loop.Axis[2], 1, 1e-6f);
  EXPECT_NEAR(motion.Loop.Axis[0], 0, 1e-6f);
  EXPECT_NEAR(motion.Loop.dAngle, 90 * kPi / 180, 1e-4f);
  // The wobble stays in the samples.
  const float* last = &orientations[size_t(4 * (count - 1))];
  EXPECT_NEAR(2 * std::asin(std::fabs(last[0])) * 180 / kPi, 2.0f, 1e-2f);
}

}  // namespace
}  // namespace ketrel
