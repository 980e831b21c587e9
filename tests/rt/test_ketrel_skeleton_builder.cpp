#include "rt/ketrel_skeleton_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "rt/ketrel_memory.h"
#include "rt/ketrel_transform.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

const float kIdentityQ[4] = {0, 0, 0, 1};

struct Built {
  std::vector<uint8_t> memory;
  skeleton* result = nullptr;
  std::vector<int32_t> remap;
  // Packed records: pointer members are read by value before gtest sees them.
  std::string Name(int32_t i) const {
    const char* name = result->Bones[i].Name;
    return name ? name : "(null)";
  }
  int32_t Parent(int32_t i) const { return result->Bones[i].ParentIndex; }
  float Error(int32_t i) const { return result->Bones[i].LODError; }
};

// Ends into a buffer of exactly the measured size, so the sanitizer catches
// any write beyond it.
Built End(skeleton_builder* builder, int32_t maxBones) {
  Built built;
  built.memory.resize(static_cast<size_t>(GetResultingSkeletonSize(builder)));
  built.remap.assign(static_cast<size_t>(maxBones), 12345);
  built.result = EndSkeletonInPlace(builder, built.memory.data(), built.remap.data());
  return built;
}

bool AddAt(skeleton_builder* builder, const char* name, float x, float y, float z) {
  float position[3] = {x, y, z};
  return AddBone(builder, name, position, kIdentityQ, nullptr, position, kIdentityQ, nullptr);
}

TEST(SkeletonBuilder, RefusesBadLinksAndSurplusOrInvalidBones) {
  test::LogCapture log;
  skeleton_builder* builder = BeginSkeleton(4);
  ASSERT_TRUE(AddAt(builder, "a", 0, 0, 0));
  ASSERT_TRUE(AddAt(builder, "b", 0, 0, 0));
  EXPECT_FALSE(SetBoneParent(builder, 0, 2));  // not added yet: would dangle
  EXPECT_FALSE(SetBoneParent(builder, 2, 0));
  EXPECT_FALSE(SetBoneParent(builder, -1, 0));
  float flat[9] = {0, 0, 0, 0, 1, 0, 0, 0, 1};
  float origin[3] = {0, 0, 0}, nan[3] = {NAN, 0, 0};
  EXPECT_FALSE(AddBone(builder, "flat", origin, kIdentityQ, nullptr, origin, kIdentityQ, flat));
  EXPECT_FALSE(AddBone(builder, "nan", nan, kIdentityQ, nullptr, origin, kIdentityQ, nullptr));
  ASSERT_TRUE(AddAt(builder, "c", 0, 0, 0));
  ASSERT_TRUE(AddAt(builder, "d", 0, 0, 0));
  EXPECT_FALSE(SetBoneParent(builder, 3, 7));
  EXPECT_TRUE(log.Contains("SetBoneParent parent index (7) is out of specified bone domain (4)"));
  EXPECT_FALSE(AddAt(builder, "e", 0, 0, 0));
  EXPECT_TRUE(log.Contains("AddBone called after all allotted bones were already used"));
  Built built = End(builder, 4);
  ASSERT_NE(built.result, nullptr);
  EXPECT_EQ(built.result->BoneCount, 4);  // refused bones took no slot
  for (int32_t i = 0; i < 4; ++i) EXPECT_EQ(built.Parent(i), -1);
  EXPECT_EQ(BeginSkeleton(-1), nullptr);
  EXPECT_EQ(EndSkeletonInPlace(BeginSkeleton(1), nullptr, nullptr), nullptr);  // frees it
}

// A random forest of 200 bones with scale/shear, added in random order.
TEST(SkeletonBuilder, RandomForestIsOrderedAndInvertsItsWorldTransforms) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  const int32_t count = 200;
  std::vector<int32_t> parent(count, -1), slot(count);  // by creation: parents first
  for (int32_t i = 0; i < count; ++i) {
    slot[i] = i;
    if (i > 0 && random() % 10 != 0) parent[i] = static_cast<int32_t>(random() % i);
  }
  std::shuffle(slot.begin(), slot.end(), random);  // creation index -> add index
  std::vector<int32_t> creation(count);
  for (int32_t i = 0; i < count; ++i) creation[slot[i]] = i;
  std::vector<transform> world(count);
  skeleton_builder* builder = BeginSkeleton(count);
  for (int32_t a = 0; a < count; ++a) {
    float position[3] = {unit(random) * 5, unit(random) * 5, unit(random) * 5};
    float q[4] = {unit(random), unit(random), unit(random), unit(random) + 2.0f};
    float length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    for (float& v : q) v /= length;
    float scale[9] = {1.5f, 0.1f, 0, 0, 0.7f, 0, 0.2f, 0, 2.0f};
    world[creation[a]] = MakeTransform(position, q, scale);
    ASSERT_TRUE(AddBone(builder, nullptr, position, q, nullptr, position, q, scale));
  }
  for (int32_t c = 0; c < count; ++c)
    ASSERT_TRUE(SetBoneParent(builder, slot[c], parent[c] < 0 ? -1 : slot[parent[c]]));
  Built built = End(builder, count);
  ASSERT_NE(built.result, nullptr);

  std::vector<int32_t> sorted = built.remap;
  std::sort(sorted.begin(), sorted.end());
  for (int32_t i = 0; i < count; ++i) {
    ASSERT_EQ(sorted[i], i) << "remap is not a permutation";
    EXPECT_LT(built.Parent(i), i);
    if (i > 0) {
      EXPECT_LE(built.Error(i), built.Error(i - 1));
    }
  }
  for (int32_t c = 0; c < count; ++c) {
    const int32_t out = built.remap[slot[c]];
    EXPECT_EQ(built.Parent(out), parent[c] < 0 ? -1 : built.remap[slot[parent[c]]]);
    float m[4][4];
    BuildCompositeMatrix(world[c], m);
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) {
        float product = 0;
        for (int k = 0; k < 4; ++k)
          product += built.result->Bones[out].InverseWorldTransform[i][k] * m[k][j];
        ASSERT_NEAR(product, i == j ? 1.0f : 0.0f, 1e-5f) << c << " " << i << "," << j;
      }
  }
}

TEST(SkeletonBuilder, LODErrorsAndType) {
  // Three collinear bones one unit apart: the root's subtree reaches two.
  skeleton_builder* builder = BeginSkeleton(3);
  for (const char* name : {"root", "middle", "tip"}) ASSERT_TRUE(AddAt(builder, name, 1, 0, 0));
  SetBoneParent(builder, 1, 0);
  SetBoneParent(builder, 2, 1);
  Built built = End(builder, 3);
  ASSERT_NE(built.result, nullptr);
  EXPECT_FLOAT_EQ(built.Error(0), 2.0f);
  EXPECT_FLOAT_EQ(built.Error(1), 1.0f);
  EXPECT_FLOAT_EQ(built.Error(2), 0.5f);  // a leaf: half its parent's error
  EXPECT_EQ(built.result->LODType, 1);

  builder = BeginSkeleton(1);  // one childless bone
  ASSERT_TRUE(AddAt(builder, "alone", 3, 0, 0));
  built = End(builder, 1);
  EXPECT_EQ(built.result->LODType, 0);

  builder = BeginSkeleton(2);  // a given error lifts its parent and makes the type 2
  ASSERT_TRUE(AddAt(builder, "r", 0, 0, 0));
  ASSERT_TRUE(AddAt(builder, "c", 1, 0, 0));
  SetBoneParent(builder, 1, 0);
  EXPECT_TRUE(SetBoneLODError(builder, 1, 9.0f));
  built = End(builder, 2);
  EXPECT_EQ(built.result->LODType, 2);
  EXPECT_FLOAT_EQ(built.Error(0), 9.0f);

  builder = BeginSkeleton(0);
  EXPECT_EQ(GetResultingSkeletonSize(builder), static_cast<int32_t>(sizeof(skeleton)));
  built = End(builder, 0);
  ASSERT_NE(built.result, nullptr);
  EXPECT_EQ(built.result->BoneCount, 0);
  EXPECT_EQ(built.result->LODType, 0);
}

TEST(SkeletonBuilder, CyclesAreBrokenAndLongChainsAreFine) {
  test::LogCapture log;
  skeleton_builder* builder = BeginSkeleton(4);
  for (const char* name : {"a", "b", "c", "d"}) ASSERT_TRUE(AddAt(builder, name, 1, 0, 0));
  SetBoneParent(builder, 0, 1);
  SetBoneParent(builder, 1, 2);
  SetBoneParent(builder, 2, 0);
  SetBoneParent(builder, 3, 3);
  Built built = End(builder, 4);
  ASSERT_NE(built.result, nullptr);
  EXPECT_TRUE(log.Contains("Circular parenting chain located at bone 0"));
  EXPECT_TRUE(log.Contains("Circular parenting chain located at bone 3"));
  for (int32_t i = 0; i < 4; ++i) EXPECT_LT(built.Parent(i), i);
  EXPECT_EQ(built.Parent(built.remap[0]), -1);  // where the cycle closed
  EXPECT_EQ(built.Parent(built.remap[3]), -1);

  // Added leaf first and deep enough to overflow a recursive walk.
  const int32_t count = 100000;
  builder = BeginSkeleton(count);
  for (int32_t i = 0; i < count; ++i) ASSERT_TRUE(AddAt(builder, nullptr, 0, 0, 0.01f));
  for (int32_t i = 0; i + 1 < count; ++i) SetBoneParent(builder, i, i + 1);
  built = End(builder, count);
  ASSERT_NE(built.result, nullptr);
  EXPECT_EQ(built.remap[0], count - 1);
  for (int32_t i = 1; i < count; ++i) ASSERT_EQ(built.Parent(i), i - 1);
}

TEST(SkeletonBuilder, OutOfMemoryFreesTheBuilder) {
  test::LogCapture log;
  SetAllocationFailureCountdown(1);
  EXPECT_EQ(BeginSkeleton(3), nullptr);
  skeleton_builder* builder = BeginSkeleton(2);
  ASSERT_TRUE(AddAt(builder, "a", 0, 0, 0));
  std::vector<uint8_t> memory(static_cast<size_t>(GetResultingSkeletonSize(builder)));
  SetAllocationFailureCountdown(0);  // the scratch of the end step
  EXPECT_EQ(EndSkeletonInPlace(builder, memory.data(), nullptr), nullptr);
  SetAllocationFailureCountdown(-1);
}

TEST(Transform, FlagsInverseAndPlacement) {
  const float moved[3] = {0.0006f, 0.0004f, 0.0001f}, still[3] = {0.0004f, 0.0004f, 0.0001f};
  EXPECT_EQ(MakeTransform(still, nullptr, nullptr).Flags, 0u);
  EXPECT_EQ(MakeTransform(moved, nullptr, nullptr).Flags, uint32_t{HasPosition});
  const float q[4] = {0.1825742f, 0.3651484f, 0.5477226f, 0.7302967f};
  const float scaleShear[9] = {2, 0.5f, 0, 0, 1, 0, 0, 0, 0.25f};
  transform t = MakeTransform(moved, q, scaleShear);
  transform placement = MakePlacement(moved, q);
  transform rebased = RemovePlacement(placement, t);
  EXPECT_EQ(rebased.Flags, uint32_t{HasScaleShear});  // only the scale/shear is left
  transform back = ApplyPlacement(placement, rebased);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(back.Orientation[i], t.Orientation[i], 1e-5f);
  float m[4][4], inverse[4][4];
  BuildCompositeMatrix(t, m);
  m[1][1] = NAN;
  EXPECT_FALSE(InvertAffineMatrix(m, inverse));
}

}  // namespace
}  // namespace ketrel
