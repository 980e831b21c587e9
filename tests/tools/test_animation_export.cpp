// Animations through the whole export road: the curves written to the file
// must give back the scene's pose at every sample within the tolerances the
// settings give, whatever the number of fitting workers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "export/host/host_scene.h"
#include "export/host/host_scene_document.h"
#include "export/ketrel_export_ui_tunneling.h"
#include "export/ketrel_math.h"
#include "export/ketrel_settings_schema.h"
#include "rt/ketrel_curve.h"
#include "rt/ketrel_standard_types.h"
#include "rt/ketrel_transform.h"
#include "tests/tools/command_test.h"

namespace ketrel {
namespace {

using test::kFigure;
using test::Value;

const std::string kWalker = std::string(KETREL_TEST_DATA) + "/animation/walker.kscene";

const float kZero[3] = {0, 0, 0};
const float kIdentityQuaternion[4] = {0, 0, 0, 1};
const float kIdentityMatrix[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

const track_group* FindGroup(const file_info* info, const char* name) {
  if (!info || info->AnimationCount < 1) return nullptr;
  const animation* clip = info->Animations[0];
  for (int32_t g = 0; g < clip->TrackGroupCount; ++g)
    if (std::strcmp(clip->TrackGroups[g]->Name, name) == 0) return clip->TrackGroups[g];
  return nullptr;
}

// Copies of packed members.
curve2 Curve(const transform_track& track, int which) {
  return which == 0   ? track.PositionCurve
         : which == 1 ? track.OrientationCurve
                      : track.ScaleShearCurve;
}

class AnimationExport : public test::CommandTest {};

// Every transform track of the walker, decoded at every sample, against the
// host's local transform at that tick (the root through the group's initial
// placement). Orientation errors are angles; each part must stay within the
// tolerance its setting gives, plus float rounding.
// Sampled key curves (tight tolerances, a big-endian file) are held to the
// same poses.
struct PoseCase {
  float position, degrees, scale;
  const char* more;
  bool sampledKeys;
  double slackDegrees;  // float rounding of the decoded and the scene's poses
};

class AnimationPose : public test::CommandTest, public ::testing::WithParamInterface<PoseCase> {};

TEST_P(AnimationPose, EveryCurveGivesBackTheScenesPoseAtEverySample) {
  host::Scene scene;
  std::string error;
  ASSERT_TRUE(host::LoadSceneDocument(kWalker, scene, &error)) << error;
  const PoseCase c = GetParam();
  const float positionTolerance = c.position, orientationDegrees = c.degrees,
              scaleTolerance = c.scale;
  std::string out = Path("walker.kt2"), err;
  char tolerances[256];
  std::snprintf(tolerances, sizeof tolerances,
                " --set \"Position curve tolerance=%g\" --set \"Orientation curve tolerance=%g\""
                " --set \"Scale/shear curve tolerance=%g\" ",
                c.position, c.degrees, c.scale);
  ASSERT_EQ(Run("export " + kWalker + " " + out + tolerances + c.more, nullptr, &err), 0) << err;
  test::LoadedFile file = test::Load(out);
  const track_group* group = FindGroup(file.get(), "Hips");
  ASSERT_NE(group, nullptr);
  const animation* clip = file.get()->Animations[0];
  const float step = clip->TimeStep, duration = clip->Duration;
  const int32_t samples = int32_t(std::lround(duration / step)) + 1;
  ASSERT_EQ(samples, 61);
  transform placement = group->InitialPlacement;
  ASSERT_EQ(Value(group->TransformTrackCount), 5);
  int sampled = 0;
  for (int32_t t = 0; t < group->TransformTrackCount; ++t) {
    const transform_track track = group->TransformTracks[t];
    const std::string name = track.Name;
    const host::Node* node = scene.FindNode(name);
    ASSERT_NE(node, nullptr) << name;
    curve2 position = Curve(track, 0), orientation = Curve(track, 1), scale = Curve(track, 2);
    for (int32_t s = 0; s < samples; ++s) {
      const float time = float(s) * step;
      float p[3], q[4], m[9];
      ASSERT_TRUE(
          EvaluateCurveAtT(3, false, &position, nullptr, nullptr, duration, time, p, kZero));
      ASSERT_TRUE(EvaluateCurveAtT(4, true, &orientation, nullptr, nullptr, duration, time, q,
                                   kIdentityQuaternion));
      ASSERT_TRUE(
          EvaluateCurveAtT(9, false, &scale, nullptr, nullptr, duration, time, m, kIdentityMatrix));
      transform decoded = MakeTransform(p, q, m);
      if (node->Parent == scene.Root.get()) decoded = ApplyPlacement(placement, decoded);

      TransformParts expected;
      DecomposeHostMatrix(node->Transform.Evaluate(s * 80), expected);
      const double angle = test::Degrees(decoded.Orientation, expected.Orientation);
      double distance = 0;
      for (int i = 0; i < 3; ++i) {
        const double d = decoded.Position[i] - expected.Position[i];
        distance += d * d;
      }
      double scaleDistance = 0;
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
          const double d = decoded.ScaleShear[i][j] - expected.ScaleShear[i][j];
          scaleDistance += d * d;
        }
      EXPECT_LE(std::sqrt(distance), positionTolerance * 1.01 + 1e-4) << name << " sample " << s;
      EXPECT_LE(angle, orientationDegrees * 1.01 + c.slackDegrees) << name << " sample " << s;
      EXPECT_LE(std::sqrt(scaleDistance), scaleTolerance * 1.01 + 1e-5) << name << " sample " << s;
    }
    sampled += GetCurveFormat(&orientation) == CurveFormatDaSampledBits;
    sampled += GetCurveFormat(&position) == CurveFormatDaSampledBits;
  }
  if (c.sampledKeys) {
    EXPECT_GT(sampled, 0);
  } else {
    EXPECT_EQ(sampled, 0);
  }
  // Note track 1 of "Bone" is its own text track; keys past the end are dropped.
  ASSERT_EQ(Value(group->TextTrackCount), 2);
  EXPECT_STREQ(group->TextTracks[0].Name, "Bone");
  EXPECT_STREQ(group->TextTracks[1].Name, "Bone|Notes_1");
  ASSERT_EQ(Value(group->TextTracks[1].EntryCount), 1);
  EXPECT_FLOAT_EQ(Value(group->TextTracks[1].Entries[0].TimeStamp), 0.5f);
  EXPECT_STREQ(group->TextTracks[1].Entries[0].Text, "wave");
}

INSTANTIATE_TEST_SUITE_P(Settings, AnimationPose,
                         ::testing::Values(PoseCase{0.05f, 0.2f, 0.002f, "", false, 0.01},
                                           PoseCase{
                                               0.0002f, 0.005f, 0.002f,
                                               "--set \"Use sampled key curves=true\" --set \"File "
                                               "platform=64-bit, big endian\"",
                                               true, 0.0005}),
                         [](const ::testing::TestParamInfo<PoseCase>& param) {
                           return param.param.sampledKeys ? std::string("SampledKeysBigEndian")
                                                          : std::string("Curves");
                         });

// --animation-error stores each bone's own tolerances in the scene, as an
// artist editing every bone would; --save-scene keeps them.
TEST_F(AnimationExport, AnimationErrorGivesEveryBoneItsOwnStoredTolerances) {
  const std::string saved = Path("walker.kscene"), curvesOnly = Path("curves.kscene");
  ASSERT_EQ(Run("export --silent " + kWalker + " " + Path("a.kt2") +
                " --animation-error 0.05cm --save-scene " + saved),
            0);
  ASSERT_EQ(Run("export --silent " + kWalker + " " + Path("d.kt2") +
                " --animation-error 0.5mm --set \"Use sampled key curves=false\" --save-scene " +
                curvesOnly),
            0);
  host::Scene scene, curves;
  std::string error;
  ASSERT_TRUE(host::LoadSceneDocument(saved, scene, &error)) << error;
  ASSERT_TRUE(host::LoadSceneDocument(curvesOnly, curves, &error)) << error;
  auto degreesIn = [&](const host::Scene& from, const char* name) {
    const host::Node* node = from.FindNode(name);
    EXPECT_NE(node, nullptr) << name;
    if (!node) return 0.0f;
    auto chunk = node->Settings.find({kChunkTrackGroupBone, -1});
    EXPECT_NE(chunk, node->Settings.end()) << name;
    if (chunk == node->Settings.end()) return 0.0f;
    Requester* requester = CreateCategoryRequester(SettingsCategory::BoneAnimation);
    EXPECT_TRUE(ReadRequester(requester, chunk->second.data(), chunk->second.size()));
    const float value = GetPropertyFloat(FindPropertyById(requester, 150));
    DestroyRequester(requester);
    return value;
  };
  auto degrees = [&](const char* name) { return degreesIn(scene, name); };
  // Curves alone get the looser orientation factor (1.4 against 1.0); an
  // export measured above the budget is redone tighter, never looser.
  EXPECT_GE(degreesIn(curves, "Hips") / degrees("Hips"), 1.39f);
  // The hips swing the whole figure, the leg only its own end.
  const float hips = degrees("Hips"), leg = degrees("Leg");
  EXPECT_GT(hips, 0.0f);
  EXPECT_LT(hips, leg);
  EXPECT_NE(hips, 0.1f);  // not the default
  ASSERT_EQ(Run("export --silent " + saved + " " + Path("b.kt2")), 0);
  EXPECT_EQ(Slurp(Path("a.kt2")), Slurp(Path("b.kt2")));

  std::string err;
  // A distance needs its unit: scenes differ in theirs.
  for (const char* bad : {"0cm", "-1mm", "nan", "far", "0.05", "2km"}) {
    EXPECT_EQ(Run("export --silent " + kWalker + " " + Path("c.kt2") + " --animation-error " + bad,
                  nullptr, &err),
              2)
        << bad;
    EXPECT_NE(err.find("distance"), std::string::npos) << err;
  }
  EXPECT_FALSE(std::filesystem::exists(Path("c.kt2")));
}

}  // namespace
}  // namespace ketrel
