#include "export/host/host_scene.h"

#include <gtest/gtest.h>

#include <cmath>

namespace ketrel::host {
namespace {

ValueTrack Keys(Interpolation mode, std::vector<int32_t> ticks, std::vector<float> values) {
  ValueTrack track;
  track.Mode = mode;
  track.Value = {42};
  track.KeyTicks = std::move(ticks);
  track.KeyValues = std::move(values);
  return track;
}

float At(const ValueTrack& track, int32_t tick) {
  float v = 0;
  track.Evaluate(tick, &v);
  return v;
}

TEST(HostScene, ValueTracksInterpolateAndHoldTheEnds) {
  ValueTrack none;
  none.Value = {3};
  EXPECT_EQ(At(none, 100), 3);
  ValueTrack step = Keys(Interpolation::Step, {0, 100, 300}, {1, 5, 9});
  EXPECT_EQ(At(step, -50), 1);
  EXPECT_EQ(At(step, 99), 1);
  EXPECT_EQ(At(step, 100), 5);
  EXPECT_EQ(At(step, 1000), 9);
  ValueTrack linear = Keys(Interpolation::Linear, {0, 100, 300}, {1, 5, 9});
  EXPECT_FLOAT_EQ(At(linear, 50), 3);
  EXPECT_FLOAT_EQ(At(linear, 200), 7);
  ValueTrack smooth = Keys(Interpolation::Smooth, {0, 100, 300}, {1, 5, 9});
  EXPECT_FLOAT_EQ(At(smooth, 0), 1);
  EXPECT_FLOAT_EQ(At(smooth, 100), 5);
  EXPECT_FLOAT_EQ(At(smooth, 300), 9);
  float mid = At(smooth, 50);
  EXPECT_GT(mid, 1);
  EXPECT_LT(mid, 5);
  // Evenly rising keys stay on the line.
  ValueTrack even = Keys(Interpolation::Smooth, {0, 100, 200}, {0, 10, 20});
  EXPECT_NEAR(At(even, 130), 13, 1e-4);
}

TEST(HostScene, RotationsAndNodeTransformsCompose) {
  Scene scene;
  Node* parent = scene.AddNode("Parent");
  Node* child = scene.AddNode("Child", parent);
  EXPECT_EQ(parent->Children.size(), 1u);
  EXPECT_EQ(scene.FindNode("Child"), child);
  parent->Transform.Position.Value = {10, 0, 0};
  parent->Transform.Rotation.KeyTicks = {0, 4800};
  parent->Transform.Rotation.KeyValues = {Quaternion{},
                                          QuaternionFromAxisAngle({0, 0, 1}, 1.5707964f)};
  child->Transform.Position.Value = {1, 0, 0};
  // At half time the parent turned 45 degrees (counter-clockwise about z).
  HostMatrix m = scene.NodeTransform(child, 2400);
  EXPECT_NEAR(m.m[3][0], 10.7071068f, 1e-4);
  EXPECT_NEAR(m.m[3][1], 0.7071068f, 1e-4);
  parent->Transform.Rotation.Mode = Interpolation::Step;
  m = scene.NodeTransform(child, 2400);
  EXPECT_NEAR(m.m[3][0], 11, 1e-4);
  parent->Transform.Rotation.Mode = Interpolation::Smooth;
  m = scene.NodeTransform(child, 1200);  // eased: less than a quarter of the turn
  EXPECT_GT(std::atan2(m.m[3][1], m.m[3][0] - 10), 0);
  EXPECT_LT(std::atan2(m.m[3][1], m.m[3][0] - 10), 3.14159265f / 8);
  EXPECT_TRUE(IsValidFrameRate(30));
  EXPECT_TRUE(IsValidFrameRate(4800));
  EXPECT_FALSE(IsValidFrameRate(7));
  EXPECT_FALSE(IsValidFrameRate(0));
}

}  // namespace
}  // namespace ketrel::host
