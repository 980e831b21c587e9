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
};

// Ends the builder into a buffer of exactly the measured size, so any write
// beyond it is caught by the sanitizer.
Built End(skeleton_builder* builder, int32_t maxBones) {
  Built built;
  int32_t size = GetResultingSkeletonSize(builder);
  built.memory.resize(static_cast<size_t>(size));
  built.remap.assign(static_cast<size_t>(maxBones), 12345);
  built.result = EndSkeletonInPlace(builder, built.memory.data(), built.remap.data());
  return built;
}

// Packed records: read pointer members by value before handing them to gtest.
std::string NameOf(const bone& b) {
  const char* name = b.Name;
  return name ? name : "(null)";
}
const bone* BonesOf(const skeleton* s) { return s->Bones; }

bool AddAt(skeleton_builder* builder, const char* name, float x, float y, float z) {
  float position[3] = {x, y, z};
  return AddBone(builder, name, position, kIdentityQ, nullptr, position, kIdentityQ, nullptr);
}

TEST(SkeletonBuilder, ChildAddedBeforeItsParentIsWrittenAfterIt) {
  skeleton_builder* builder = BeginSkeleton(2);
  ASSERT_TRUE(AddAt(builder, "child", 1, 0, 0));
  ASSERT_TRUE(AddAt(builder, "parent", 0, 0, 0));
  ASSERT_TRUE(SetBoneParent(builder, 0, 1));
  Built built = End(builder, 2);
  ASSERT_NE(built.result, nullptr);
  ASSERT_EQ(built.result->BoneCount, 2);
  EXPECT_EQ(built.remap, (std::vector<int32_t>{1, 0}));
  EXPECT_EQ(NameOf(built.result->Bones[0]), "parent");
  EXPECT_EQ(built.result->Bones[0].ParentIndex, -1);
  EXPECT_EQ(NameOf(built.result->Bones[1]), "child");
  EXPECT_EQ(built.result->Bones[1].ParentIndex, 0);
  EXPECT_FLOAT_EQ(built.result->Bones[0].LODError, 1.0f);
  EXPECT_FLOAT_EQ(built.result->Bones[1].LODError, 0.5f);  // a leaf: half its parent's
  EXPECT_EQ(built.result->LODType, 1);
  EXPECT_EQ(built.result->Bones[1].Transform.Flags, uint32_t{HasPosition});
  // Names live inside the block, behind the bones.
  auto* base = reinterpret_cast<const char*>(built.memory.data());
  const char* first = built.result->Bones[0].Name;
  const char* second = built.result->Bones[1].Name;
  EXPECT_GE(first, base + sizeof(skeleton) + 2 * sizeof(bone));
  EXPECT_LT(second, base + built.memory.size());
}

TEST(SkeletonBuilder, RefusesBadLinksAndSurplusOrInvalidBones) {
  test::LogCapture log;
  skeleton_builder* builder = BeginSkeleton(4);
  ASSERT_TRUE(AddAt(builder, "a", 0, 0, 0));
  ASSERT_TRUE(AddAt(builder, "b", 0, 0, 0));
  // A parent that was not added yet would leave a dangling index.
  EXPECT_FALSE(SetBoneParent(builder, 0, 2));
  EXPECT_FALSE(SetBoneParent(builder, 2, 0));
  EXPECT_FALSE(SetBoneParent(builder, -1, 0));
  EXPECT_FALSE(SetBoneParent(builder, 0, -2));
  float zero[9] = {0, 0, 0, 0, 1, 0, 0, 0, 1};
  float position[3] = {0, 0, 0};
  EXPECT_FALSE(AddBone(builder, "flat", position, kIdentityQ, nullptr, position, kIdentityQ, zero));
  float nan[3] = {NAN, 0, 0};
  EXPECT_FALSE(AddBone(builder, "nan", nan, kIdentityQ, nullptr, position, kIdentityQ, nullptr));
  ASSERT_TRUE(AddAt(builder, "c", 0, 0, 0));
  ASSERT_TRUE(AddAt(builder, "d", 0, 0, 0));
  log.Clear();
  EXPECT_FALSE(SetBoneParent(builder, 3, 7));
  EXPECT_TRUE(log.Contains("SetBoneParent parent index (7) is out of specified bone domain (4)"));
  EXPECT_FALSE(SetBoneParent(builder, 9, 0));
  EXPECT_TRUE(log.Contains("SetBoneParent bone index (9) is out of specified bone domain (4)"));
  EXPECT_FALSE(AddAt(builder, "e", 0, 0, 0));
  EXPECT_TRUE(log.Contains("AddBone called after all allotted bones were already used"));
  Built built = End(builder, 4);
  ASSERT_NE(built.result, nullptr);
  EXPECT_EQ(built.result->BoneCount, 4);  // the refused bones took no slot
  for (int32_t i = 0; i < 4; ++i) EXPECT_EQ(built.result->Bones[i].ParentIndex, -1);

  EXPECT_EQ(BeginSkeleton(-1), nullptr);
  EXPECT_EQ(GetResultingSkeletonSize(nullptr), 0);
  EXPECT_EQ(EndSkeletonInPlace(BeginSkeleton(1), nullptr, nullptr), nullptr);  // frees it
}

// A random forest of 200 bones added in random order.
TEST(SkeletonBuilder, RandomForestIsOrderedAndInvertsItsWorldTransforms) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  const int32_t count = 200;
  std::vector<int32_t> parent(count, -1);  // in creation order: parents come first
  for (int32_t i = 1; i < count; ++i)
    if (random() % 10 != 0) parent[i] = static_cast<int32_t>(random() % i);
  std::vector<int32_t> addOrder(count);  // creation index -> add index
  for (int32_t i = 0; i < count; ++i) addOrder[i] = i;
  std::shuffle(addOrder.begin(), addOrder.end(), random);
  std::vector<int32_t> creationOf(count);
  for (int32_t i = 0; i < count; ++i) creationOf[addOrder[i]] = i;

  std::vector<transform> world(count);
  std::vector<std::string> names(count);
  skeleton_builder* builder = BeginSkeleton(count);
  for (int32_t a = 0; a < count; ++a) {
    int32_t c = creationOf[a];
    names[c] = "bone" + std::to_string(c);
    float position[3] = {unit(random) * 5, unit(random) * 5, unit(random) * 5};
    float q[4] = {unit(random), unit(random), unit(random), unit(random) + 2.0f};
    float length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    for (float& v : q) v /= length;
    float scale[9] = {1.5f, 0.1f, 0, 0, 0.7f, 0, 0.2f, 0, 2.0f};
    world[c] = MakeTransform(position, q, scale);
    ASSERT_TRUE(AddBone(builder, names[c].c_str(), position, q, nullptr, position, q, scale));
  }
  for (int32_t c = 0; c < count; ++c)
    ASSERT_TRUE(SetBoneParent(builder, addOrder[c], parent[c] < 0 ? -1 : addOrder[parent[c]]));
  Built built = End(builder, count);
  ASSERT_NE(built.result, nullptr);
  const bone* bones = built.result->Bones;

  std::vector<int32_t> sorted = built.remap;
  std::sort(sorted.begin(), sorted.end());
  for (int32_t i = 0; i < count; ++i) ASSERT_EQ(sorted[i], i) << "remap is not a permutation";
  for (int32_t i = 0; i < count; ++i) {
    EXPECT_LT(bones[i].ParentIndex, i);
    if (i > 0) EXPECT_LE(bones[i].LODError, bones[i - 1].LODError);
  }
  for (int32_t c = 0; c < count; ++c) {
    const bone& b = bones[built.remap[addOrder[c]]];
    EXPECT_EQ(names[c], NameOf(b));
    EXPECT_EQ(b.ParentIndex, parent[c] < 0 ? -1 : built.remap[addOrder[parent[c]]]);
    float m[4][4];
    BuildCompositeMatrix(world[c], m);
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) {
        float product = 0;
        for (int k = 0; k < 4; ++k) product += b.InverseWorldTransform[i][k] * m[k][j];
        ASSERT_NEAR(product, i == j ? 1.0f : 0.0f, 1e-5f) << c << " " << i << "," << j;
      }
  }
}

TEST(SkeletonBuilder, LODErrorMeasuresTheWholeSubtree) {
  // Three collinear bones one unit apart: the root reaches two units.
  skeleton_builder* builder = BeginSkeleton(3);
  ASSERT_TRUE(AddAt(builder, "root", 0, 0, 0));
  ASSERT_TRUE(AddAt(builder, "middle", 1, 0, 0));
  ASSERT_TRUE(AddAt(builder, "tip", 1, 0, 0));
  SetBoneParent(builder, 1, 0);
  SetBoneParent(builder, 2, 1);
  Built built = End(builder, 3);
  ASSERT_NE(built.result, nullptr);
  EXPECT_FLOAT_EQ(built.result->Bones[0].LODError, 2.0f);
  EXPECT_FLOAT_EQ(built.result->Bones[1].LODError, 1.0f);
  EXPECT_FLOAT_EQ(built.result->Bones[2].LODError, 0.5f);
}

TEST(SkeletonBuilder, LODTypeAndTies) {
  {  // one childless bone
    skeleton_builder* builder = BeginSkeleton(1);
    ASSERT_TRUE(AddAt(builder, "alone", 3, 0, 0));
    Built built = End(builder, 1);
    ASSERT_NE(built.result, nullptr);
    EXPECT_EQ(built.result->LODType, 0);
    EXPECT_LT(built.result->Bones[0].LODError, 0.0f);
  }
  {  // equal roots keep their input order; a given error makes the type 2
    skeleton_builder* builder = BeginSkeleton(4);
    for (const char* name : {"r0", "c0", "r1", "c1"}) ASSERT_TRUE(AddAt(builder, name, 1, 0, 0));
    SetBoneParent(builder, 1, 0);
    SetBoneParent(builder, 3, 2);
    Built built = End(builder, 4);
    ASSERT_NE(built.result, nullptr);
    EXPECT_EQ(NameOf(built.result->Bones[0]), "r0");
    EXPECT_EQ(NameOf(built.result->Bones[1]), "r1");
    EXPECT_EQ(built.result->LODType, 1);

    builder = BeginSkeleton(2);
    ASSERT_TRUE(AddAt(builder, "r", 0, 0, 0));
    ASSERT_TRUE(AddAt(builder, "c", 1, 0, 0));
    SetBoneParent(builder, 1, 0);
    EXPECT_TRUE(SetBoneLODError(builder, 1, 9.0f));
    built = End(builder, 2);
    ASSERT_NE(built.result, nullptr);
    EXPECT_EQ(built.result->LODType, 2);
    EXPECT_FLOAT_EQ(built.result->Bones[0].LODError, 9.0f);  // lifted to its child's
  }
  {  // empty
    skeleton_builder* builder = BeginSkeleton(0);
    EXPECT_EQ(GetResultingSkeletonSize(builder), static_cast<int32_t>(sizeof(skeleton)));
    Built built = End(builder, 0);
    ASSERT_NE(built.result, nullptr);
    EXPECT_EQ(built.result->BoneCount, 0);
    EXPECT_EQ(BonesOf(built.result), nullptr);
    EXPECT_EQ(built.result->LODType, 0);
  }
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
  int roots = 0;
  for (int32_t i = 0; i < 4; ++i) {
    EXPECT_LT(built.result->Bones[i].ParentIndex, i);
    roots += built.result->Bones[i].ParentIndex < 0;
  }
  EXPECT_EQ(roots, 2);
  EXPECT_EQ(built.result->Bones[built.remap[0]].ParentIndex, -1);  // where the cycle closed

  // A chain added leaf first, long enough to overflow a recursive walk.
  const int32_t count = 100000;
  builder = BeginSkeleton(count);
  for (int32_t i = 0; i < count; ++i) ASSERT_TRUE(AddAt(builder, nullptr, 0, 0, 0.01f));
  for (int32_t i = 0; i + 1 < count; ++i) SetBoneParent(builder, i, i + 1);
  built = End(builder, count);
  ASSERT_NE(built.result, nullptr);
  EXPECT_EQ(built.remap[count - 1], 0);
  EXPECT_EQ(built.remap[0], count - 1);
  for (int32_t i = 1; i < count; ++i) {
    ASSERT_EQ(built.result->Bones[i].ParentIndex, i - 1);
    ASSERT_LE(built.result->Bones[i].LODError, built.result->Bones[i - 1].LODError);
  }
  EXPECT_GT(built.result->Bones[0].LODError, 2.0f);
}

TEST(SkeletonBuilder, OutOfMemoryFreesTheBuilder) {
  test::LogCapture log;
  SetAllocationFailureCountdown(0);
  EXPECT_EQ(BeginSkeleton(3), nullptr);
  SetAllocationFailureCountdown(1);
  EXPECT_EQ(BeginSkeleton(3), nullptr);
  skeleton_builder* builder = BeginSkeleton(2);
  ASSERT_TRUE(AddAt(builder, "a", 0, 0, 0));
  std::vector<uint8_t> memory(static_cast<size_t>(GetResultingSkeletonSize(builder)));
  SetAllocationFailureCountdown(0);  // the scratch of the end step
  EXPECT_EQ(EndSkeletonInPlace(builder, memory.data(), nullptr), nullptr);
  SetAllocationFailureCountdown(-1);
}

}  // namespace
}  // namespace ketrel
