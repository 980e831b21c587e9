#include "export/ketrel_bone_tolerances.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <vector>

#include "export/ketrel_settings_read.h"
#include "export/ketrel_settings_schema.h"
#include "tests/export/test_ketrel_neutral_tool.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

constexpr uint32_t kPositionTolerance = 149, kOrientationTolerance = 150,
                   kScaleShearTolerance = 151;

// Bones placed in the world at the first frame, with their parents.
class PlacedTool : public test::NeutralTool {
 public:
  BoneNode* GetParentBone(const BoneNode* bone) override {
    return parents.count(bone) ? parents[bone] : nullptr;
  }
  bool GetBoneTransforms(const BoneNode* bone, TransformParts& local,
                         TransformParts& world) override {
    world = test::Rigid(places[bone][0], places[bone][1], places[bone][2], 0);
    local = world;
    return true;
  }
  std::map<const BoneNode*, BoneNode*> parents;
  std::map<const BoneNode*, std::vector<float>> places;
};

struct Skeleton : test::ParserHarness {
  Skeleton() : ParserHarness(&tool) {}
  BoneNode* Bone(BoneNode* parent, float x, float y, float z, bool animated = true) {
    BoneNode* bone = AddBoneNode(graph);
    if (animated) bone->AnimationSettings = Settings(SettingsCategory::BoneAnimation);
    if (parent) tool.parents[bone] = parent;
    tool.places[bone] = {x, y, z};
    return bone;
  }
  PlacedTool tool;
};

const BoneTolerance* Find(const std::vector<BoneTolerance>& records, const BoneNode* bone) {
  for (const BoneTolerance& record : records)
    if (record.Bone == bone) return &record;
  return nullptr;
}

TEST(BoneTolerances, BonesNearTheEndOfAChainTurnMoreFreely) {
  // Hips, a spine 50 units up, an arm 30 units out and a hand 20 further.
  Skeleton s;
  BoneNode* hips = s.Bone(nullptr, 0, 0, 100);
  BoneNode* spine = s.Bone(hips, 0, 0, 150);
  BoneNode* arm = s.Bone(spine, 30, 0, 150);
  BoneNode* hand = s.Bone(arm, 50, 0, 150);
  BoneToleranceBudget budget;
  budget.Error = 0.01f;
  budget.ReachMargin = 3;
  std::vector<BoneTolerance> applied;
  ASSERT_TRUE(ApplyBoneTolerances(s.tool, s.graph, budget, &applied));
  ASSERT_EQ(applied.size(), 4u);
  const BoneTolerance* h = Find(applied, hips);
  const BoneTolerance* a = Find(applied, arm);
  const BoneTolerance* e = Find(applied, hand);
  ASSERT_TRUE(h && a && e && Find(applied, spine));
  // The hips reach the hand: sqrt(50^2 + 50^2) plus the margin.
  EXPECT_NEAR(h->Reach, std::sqrt(5000.0f) + 3, 1e-3f);
  EXPECT_FLOAT_EQ(a->Reach, 23);
  EXPECT_FLOAT_EQ(e->Reach, 3);
  for (const BoneTolerance& record : applied) EXPECT_EQ(record.ChainLength, 4);
  // Turning the hips by their tolerance moves the hand no more than turning
  // the hand by its own moves a point of its skin.
  EXPECT_LT(h->OrientationDegrees, a->OrientationDegrees);
  EXPECT_LT(a->OrientationDegrees, e->OrientationDegrees);
  EXPECT_NEAR(h->OrientationDegrees * h->Reach, e->OrientationDegrees * e->Reach,
              1e-4f * e->OrientationDegrees * e->Reach);
  // Each turn moves the skin by less than the whole error.
  for (const BoneTolerance& record : applied) {
    EXPECT_LT(record.OrientationDegrees / 57.2958f * record.Reach, budget.Error * 2);
    EXPECT_LT(record.PositionTolerance, budget.Error);
    // Stored in each bone's own settings, where the fitter reads them.
    const SettingsItem* item = record.Bone->AnimationSettings;
    EXPECT_EQ(GetSettingFloat(item, kOrientationTolerance), record.OrientationDegrees);
    EXPECT_EQ(GetSettingFloat(item, kPositionTolerance), record.PositionTolerance);
    EXPECT_EQ(GetSettingFloat(item, kScaleShearTolerance), record.ScaleShearTolerance);
  }
}

TEST(BoneTolerances, TolerancesStayWithinTheSettingsBounds) {
  for (float error : {1e-9f, 1e9f}) {
    Skeleton s;
    BoneNode* root = s.Bone(nullptr, 0, 0, 0);
    s.Bone(root, 0, 0, 1e4f);
    BoneToleranceBudget budget;
    budget.Error = error;
    std::vector<BoneTolerance> applied;
    ASSERT_TRUE(ApplyBoneTolerances(s.tool, s.graph, budget, &applied));
    for (const BoneTolerance& record : applied) {
      EXPECT_GE(record.PositionTolerance, 0.00001f);
      EXPECT_LE(record.PositionTolerance, 10000.0f);
      EXPECT_GE(record.OrientationDegrees, 0.00001f);
      EXPECT_LE(record.OrientationDegrees, 720.0f);
      EXPECT_GE(record.ScaleShearTolerance, 0.00001f);
      EXPECT_LE(record.ScaleShearTolerance, 10000.0f);
    }
  }
}

TEST(BoneTolerances, TheDefaultMarginFollowsTheSkeletonsSize) {
  Skeleton s;
  BoneNode* root = s.Bone(nullptr, 0, 0, 0);
  BoneNode* leaf = s.Bone(root, 0, 0, 90);
  BoneToleranceBudget budget;
  budget.Error = 0.01f;
  std::vector<BoneTolerance> applied;
  ASSERT_TRUE(ApplyBoneTolerances(s.tool, s.graph, budget, &applied));
  EXPECT_NEAR(Find(applied, leaf)->Reach, 90 * kDefaultReachMarginFraction, 1e-4f);
  EXPECT_NEAR(Find(applied, root)->Reach, 90 * (1 + kDefaultReachMarginFraction), 1e-3f);
}

TEST(BoneTolerances, AnItemReadingThroughItsParentGetsItsOwnRequester) {
  Skeleton s;
  BoneNode* bone = s.Bone(nullptr, 0, 0, 0, false);
  SettingsItem* group = s.Settings(SettingsCategory::BoneAnimation);
  SettingsItem* item = CreateSettingsItem(group, "Bone", nullptr);
  ASSERT_NE(item, nullptr);
  bone->AnimationSettings = item;
  BoneToleranceBudget budget;
  budget.Error = 0.5f;
  budget.ReachMargin = 2;
  ASSERT_TRUE(ApplyBoneTolerances(s.tool, s.graph, budget));
  ASSERT_NE(item->Requester, nullptr);
  EXPECT_NE(GetSettingFloat(item, kOrientationTolerance),
            GetSettingFloat(group, kOrientationTolerance));
  EXPECT_FLOAT_EQ(GetSettingFloat(group, kOrientationTolerance), 0.1f);  // the default, untouched
}

TEST(BoneTolerances, ScenesWithoutAnimationAndBadBudgets) {
  Skeleton s;
  BoneNode* root = s.Bone(nullptr, 0, 0, 0, false);
  s.Bone(root, 0, 0, 10, false);
  BoneToleranceBudget budget;
  budget.Error = 0.01f;
  std::vector<BoneTolerance> applied(3);
  EXPECT_TRUE(ApplyBoneTolerances(s.tool, s.graph, budget, &applied));
  EXPECT_TRUE(applied.empty());

  Skeleton animated;
  BoneNode* bone = animated.Bone(nullptr, 0, 0, 0);
  const float before = GetSettingFloat(bone->AnimationSettings, kOrientationTolerance);
  for (float error : {0.0f, -1.0f, std::nanf(""), INFINITY}) {
    test::LogCapture log;
    budget.Error = error;
    EXPECT_FALSE(ApplyBoneTolerances(animated.tool, animated.graph, budget)) << error;
    EXPECT_TRUE(log.Contains("animation error")) << log.All();
  }
  budget.Error = 0.01f;
  budget.ReachMargin = -1;
  EXPECT_FALSE(ApplyBoneTolerances(animated.tool, animated.graph, budget));
  EXPECT_EQ(GetSettingFloat(bone->AnimationSettings, kOrientationTolerance), before);
}

}  // namespace
}  // namespace ketrel

namespace ketrel {
namespace {

// Distances come with their unit, because scenes differ in theirs; a bare
// number is refused with the forms that are taken.
TEST(BoneTolerances, DistancesNeedTheirUnit) {
  struct Case {
    const char* text;
    double meters;  // 0: refused
    const char* says;
  };
  const Case cases[] = {
      {"0.01cm", 0.0001, ""},   {"0.1mm", 0.0001, ""},     {"0.0001m", 0.0001, ""},
      {"2 cm", 0.02, ""},       {"1e-3m", 0.001, ""},      {"0.01", 0, "needs a unit"},
      {"0cm", 0, "above zero"}, {"-1mm", 0, "above zero"}, {"nancm", 0, "above zero"},
      {"1km", 0, "such as"},    {"cm", 0, "such as"},      {"", 0, "such as"},
  };
  for (const Case& c : cases) {
    double meters = -1;
    std::string error;
    const bool ok = ParseDistance(c.text, &meters, &error);
    EXPECT_EQ(ok, c.meters > 0) << c.text;
    if (ok) {
      EXPECT_NEAR(meters, c.meters, c.meters * 1e-12) << c.text;
    } else {
      EXPECT_NE(error.find(c.says), std::string::npos) << c.text << ": " << error;
    }
  }
}

// A scene with a unit converts through it; one whose source gave none (a
// capture) takes its figure as 1.70 m tall and says so.
TEST(BoneTolerances, MetresBecomeSceneUnits) {
  class UnitTool : public PlacedTool {
   public:
    double GetSystemUnitInMeters() override { return unit; }
    bool IsSystemUnitKnown() override { return known; }
    double unit = 0.01;
    bool known = true;
  };
  struct Figure : test::ParserHarness {
    Figure() : ParserHarness(&tool) {}
    UnitTool tool;
  } s;
  BoneNode* hips = AddBoneNode(s.graph);
  BoneNode* head = AddBoneNode(s.graph);
  s.tool.parents[head] = hips;
  s.tool.places[hips] = {0, 0, 10};
  s.tool.places[head] = {0, 0, 44};  // 34 units from hips to head
  std::string note;
  EXPECT_NEAR(SceneUnitsFromMeters(s.tool, s.graph, 0.0001, &note), 0.01, 1e-9);
  EXPECT_EQ(note, "");
  s.tool.known = false;
  EXPECT_NEAR(MeasureFigureHeight(s.tool, s.graph), 34.0f, 1e-5f);
  EXPECT_NEAR(SceneUnitsFromMeters(s.tool, s.graph, 0.0001, &note), 0.0001 * 34 / 1.7, 1e-9);
  EXPECT_NE(note.find("1.70 m tall"), std::string::npos) << note;
  test::ParserHarness empty(&s.tool);
  EXPECT_EQ(SceneUnitsFromMeters(s.tool, empty.graph, 0.0001, nullptr), 0.0);
}

}  // namespace
}  // namespace ketrel
