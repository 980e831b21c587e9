#include "export/ketrel_animation_conversion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "export/ketrel_bone_tolerances.h"
#include "export/ketrel_export_ui_tunneling.h"
#include "export/ketrel_math.h"
#include "export/ketrel_settings_read.h"
#include "export/ketrel_settings_schema.h"
#include "rt/ketrel_curve.h"
#include "rt/ketrel_object_ops.h"
#include "rt/ketrel_string_table.h"
#include "tests/export/test_ketrel_neutral_tool.h"
#include "tests/support/log_capture.h"
#include "tests/support/packed_value.h"

namespace ketrel {
namespace {

using test::Value;

constexpr float kPi = 3.14159265f;
constexpr int32_t kTicksPerFrame = 160;  // 30 frames per second

using Motion = std::function<TransformParts(int32_t tick)>;

TransformParts At(float x, float y, float z, float degreesAboutZ = 0) {
  TransformParts p;
  p.Position[0] = x;
  p.Position[1] = y;
  p.Position[2] = z;
  p.Orientation[2] = std::sin(degreesAboutZ * kPi / 360);
  p.Orientation[3] = std::cos(degreesAboutZ * kPi / 360);
  return p;
}

// `child` placed in `parent`'s frame (rigid parts only).
TransformParts Compose(const TransformParts& parent, const TransformParts& child) {
  const Quaternion q{parent.Orientation[0], parent.Orientation[1], parent.Orientation[2],
                     parent.Orientation[3]};
  const Quaternion c{child.Orientation[0], child.Orientation[1], child.Orientation[2],
                     child.Orientation[3]};
  const Matrix3 turn = MatrixFromQuaternion(q);
  TransformParts out;
  for (int i = 0; i < 3; ++i) {
    out.Position[i] = parent.Position[i];
    for (int j = 0; j < 3; ++j) out.Position[i] += turn.m[i][j] * child.Position[j];
  }
  const Quaternion r = Multiply(q, c);
  out.Orientation[0] = r.x, out.Orientation[1] = r.y, out.Orientation[2] = r.z;
  out.Orientation[3] = r.w;
  return out;
}

// Where a point given in a bone's frame lies in the world.
Vector3 PointOf(const TransformParts& bone, const float* offset) {
  TransformParts point;
  std::copy(offset, offset + 3, point.Position);
  TransformParts placed = Compose(bone, point);
  return {placed.Position[0], placed.Position[1], placed.Position[2]};
}

// A host whose bones move by given functions of the tick, with note tracks,
// track sources and morph channels.
class FakeTool : public test::NeutralTool {
 public:
  int32_t GetTicksPerFrame() override { return kTicksPerFrame; }
  int32_t GetCurrentTime() override { return tick; }
  void SetSampleTimeToStart() override { tick = 0; }
  bool SetSampleTime(int32_t t) override {
    tick = t;
    ticks.push_back(t);
    return true;
  }
  double GetSampleDuration(const AnimationNode* node) override {
    return node->TicksPerSample / double(kTicksPerFrame * 30);
  }
  int32_t GetSampleCount(const AnimationNode* node) override { return node->SampleCount; }
  const char* GetBoneName(const BoneNode* bone) override { return names[bone].c_str(); }
  const char* GetMaterialName(const MaterialNode*) override { return ""; }
  const char* GetTextureName(const TextureNode*) override { return ""; }
  const char* GetAnimationName(const AnimationNode*) override { return "clip"; }
  const char* GetHostObjectName(HostHandle) override { return "Face"; }
  BoneNode* GetParentBone(const BoneNode* bone) override {
    return parents.count(bone) ? parents[bone] : nullptr;
  }
  bool GetBoneTransforms(const BoneNode* bone, TransformParts& local,
                         TransformParts& world) override {
    local = world = motions.count(bone) ? motions[bone](tick) : TransformParts{};
    return true;
  }
  int32_t GetNoteTrackCount(const BoneNode* bone) override { return int32_t(notes[bone].size()); }
  int32_t GetNoteKeyCount(const BoneNode* bone, int32_t track) override {
    return int32_t(notes[bone][size_t(track)].size());
  }
  const char* GetNoteKeyText(const BoneNode* bone, int32_t track, int32_t key) override {
    return notes[bone][size_t(track)][size_t(key)].second.c_str();
  }
  int32_t GetNoteKeyTime(const BoneNode* bone, int32_t track, int32_t key) override {
    return notes[bone][size_t(track)][size_t(key)].first;
  }
  bool SampleTrackSource(const TrackSourceNode* source, TrackSampleDescriptor& descriptor,
                         char* name, float* values, int32_t capacity) override {
    if (!sources.count(source)) return false;
    const Source& s = sources[source];
    descriptor.Dimension = int32_t(s.value(0).size());
    if (name) std::snprintf(name, kTrackNameCapacity, "%s", s.name.c_str());
    std::vector<float> v = s.value(tick);
    for (int32_t d = 0; values && d < capacity && d < int32_t(v.size()); ++d)
      values[d] = v[size_t(d)];
    return true;
  }
  bool HasMorpher(const MeshNode*) override { return !morphs.empty(); }
  int32_t GetMorphChannelCount(const MeshNode*) override { return int32_t(morphs.size()); }
  const char* GetMorphChannelName(const MeshNode*, int32_t c) override {
    return morphs[size_t(c)].first.c_str();
  }
  float GetMorphChannelWeight(const MeshNode*, int32_t c) override {
    return morphs[size_t(c)].second(tick);
  }

  struct Source {
    std::string name;
    std::function<std::vector<float>(int32_t)> value;
  };
  int32_t tick = 0;
  std::vector<int32_t> ticks;
  std::map<const BoneNode*, std::string> names;
  std::map<const BoneNode*, BoneNode*> parents;
  std::map<const BoneNode*, Motion> motions;
  std::map<const BoneNode*, std::vector<std::vector<std::pair<int32_t, std::string>>>> notes;
  std::map<const TrackSourceNode*, Source> sources;
  std::vector<std::pair<std::string, std::function<float(int32_t)>>> morphs;
};

// A graph with one model, its settings items and a parser with room in the
// file for what the phase appends.
class Rig : public test::ParserHarness {
 public:
  Rig() : ParserHarness(&tool) {
    parser.info = static_cast<file_info*>(KT_PARSER_ALLOCATE(&parser, sizeof(file_info)));
    MakeEmptyDataTypeObject(FileInfoType, parser.info);
    ReserveFileList(&parser, FileList::TrackGroups, 8);
    ReserveFileList(&parser, FileList::Animations, 2);
  }

  void GiveModelSettings(ModelNode* m) {
    if (!m->Settings) m->Settings = Settings(SettingsCategory::Model);
    if (!m->AnimationSettings) m->AnimationSettings = Settings(SettingsCategory::TrackGroup);
    model = m;
  }

  BoneNode* Bone(const char* name, BoneNode* parent, Motion motion) {
    BoneNode* bone = AddBoneNode(graph);
    bone->Settings = Settings(SettingsCategory::Bone);
    bone->AnimationSettings = Settings(SettingsCategory::BoneAnimation);
    GiveModelSettings(bone->Model);
    if (first) GiveModelSettings(MergeModels(graph, first->Model, bone->Model));
    if (!first) first = bone;
    tool.names[bone] = name;
    if (parent) tool.parents[bone] = parent;
    tool.motions[bone] = std::move(motion);
    return bone;
  }

  AnimationNode* Animation(int32_t frames) {
    AnimationNode* node = AddAnimationNode(graph);
    node->Settings = Settings(SettingsCategory::Animation);
    node->StartTime = 0;
    node->EndTime = frames * kTicksPerFrame;
    node->TicksPerSample = kTicksPerFrame;
    node->SampleCount = frames;
    return node;
  }

  animation* Convert(AnimationNode* node) {
    animation* result = ConvertAnimation(&parser, node, nullptr);
    if (result) CompressMorphs(&parser, node, result, nullptr);
    return result;
  }

  FakeTool tool;
  ModelNode* model = nullptr;
  BoneNode* first = nullptr;
};

void SetNumber(SettingsItem* item, uint32_t id, double value) {
  ASSERT_TRUE(SetPropertyFloat(FindPropertyById(item->Requester, id), value)) << id;
}
void SetFlag(SettingsItem* item, uint32_t id, bool value) {
  ASSERT_TRUE(SetPropertyInt(FindPropertyById(item->Requester, id), value ? 1 : 0)) << id;
}
void SetChoice(SettingsItem* item, uint32_t combobox, uint32_t choice) {
  RequesterProperty* property = FindPropertyById(item->Requester, combobox);
  ASSERT_TRUE(SelectChoice(property, FindChoiceById(property, choice)));
}

constexpr uint32_t kCompress = 52, kMoveToOrigin = 97, kRootMotionType = 185, kCme = 177,
                   kNoRootMotion = 176, kOversampling = 173, kSynthetic = 260,
                   kProtectConstant = 252, kIncludeData = 2;

// Copies of packed members, never references into them.
curve2 PositionCurve(const transform_track& track) { return track.PositionCurve; }
curve2 OrientationCurve(const transform_track& track) { return track.OrientationCurve; }

std::vector<float> Keyframes(const curve2& curve) {
  const int32_t count = GetCurveKnotCount(&curve), dimension = GetCurveStoredDimension(&curve);
  std::vector<float> values(size_t(count * dimension));
  EXPECT_TRUE(CurveIsKeyframed(&curve));
  ExtractCurveKnotsControls(&curve, 0, count, nullptr, values.data(), nullptr);
  return values;
}

const transform_track* FindTrack(const track_group* group, const char* name) {
  for (int32_t i = 0; i < group->TransformTrackCount; ++i)
    if (std::strcmp(group->TransformTracks[i].Name, name) == 0) return &group->TransformTracks[i];
  return nullptr;
}

TEST(AnimationConversion, ThirtyFramesOversampledTwiceAreSixtyOneExactSamples) {
  for (bool synthetic : {false, true}) {
    Rig rig;
    // Moves 30 units along X over the second, one unit per frame.
    rig.Bone("Bone", nullptr, [](int32_t tick) { return At(float(tick) / kTicksPerFrame, 0, 0); });
    SetFlag(rig.model->AnimationSettings, kMoveToOrigin, false);
    SetFlag(rig.first->AnimationSettings, kCompress, false);
    AnimationNode* node = rig.Animation(30);
    SetNumber(node->Settings, kOversampling, 2);
    SetFlag(node->Settings, kSynthetic, synthetic);
    animation* clip = rig.Convert(node);
    ASSERT_NE(clip, nullptr);
    const float duration = clip->Duration, step = clip->TimeStep, over = clip->Oversampling;
    EXPECT_FLOAT_EQ(duration, 1.0f);
    EXPECT_FLOAT_EQ(step, 1.0f / 60);
    EXPECT_EQ(over, 2.0f);
    EXPECT_EQ(Value(clip->Flags), 1);
    EXPECT_EQ(Value(clip->DefaultLoopCount), 1);
    // Synthetic oversampling asks the host for frames only.
    ASSERT_EQ(rig.tool.ticks.size(), synthetic ? 31u : 61u);
    for (size_t s = 0; s < rig.tool.ticks.size(); ++s)
      EXPECT_EQ(rig.tool.ticks[s], int32_t(s) * (synthetic ? 160 : 80));
    ASSERT_EQ(Value(clip->TrackGroupCount), 1);
    const track_group* group = clip->TrackGroups[0];
    ASSERT_EQ(Value(group->TransformTrackCount), 1);
    std::vector<float> positions = Keyframes(PositionCurve(group->TransformTracks[0]));
    ASSERT_EQ(positions.size(), 61u * 3);
    for (int s = 0; s <= 60; ++s) EXPECT_FLOAT_EQ(positions[size_t(3 * s)], 0.5f * float(s)) << s;
    EXPECT_EQ(Value(rig.parser.info->TrackGroupCount), 1);
    EXPECT_EQ(Value(rig.parser.info->AnimationCount), 1);
  }
}

TEST(AnimationConversion, MoveToOriginStartsTheRootAtTheIdentity) {
  Rig rig;
  BoneNode* root = rig.Bone("Root", nullptr, [](int32_t tick) {
    return At(5 + float(tick) / 480, 6, 7, 90 + float(tick) / 48);
  });
  rig.Bone("Child", root, [](int32_t) { return At(0, 1, 0); });
  SetChoice(rig.model->AnimationSettings, kRootMotionType, kNoRootMotion);
  animation* clip = rig.Convert(rig.Animation(10));
  ASSERT_NE(clip, nullptr);
  ASSERT_EQ(Value(clip->TrackGroupCount), 1);
  const track_group* group = clip->TrackGroups[0];
  transform placement = group->InitialPlacement;
  EXPECT_FLOAT_EQ(Value(placement.Position[0]), 5);
  EXPECT_FLOAT_EQ(Value(placement.Position[2]), 7);
  EXPECT_NEAR(Value(placement.Orientation[2]), std::sin(kPi / 4), 1e-6f);
  EXPECT_EQ(Value(group->AccumulationFlags), 2);
  const transform_track* track = FindTrack(group, "Root");
  ASSERT_NE(track, nullptr);
  curve2 position = PositionCurve(*track), orientation = OrientationCurve(*track);
  float p[3], q[4];
  const float zero[3] = {0, 0, 0}, identity[4] = {0, 0, 0, 1};
  ASSERT_TRUE(EvaluateCurveAtT(3, false, &position, nullptr, nullptr, 1, 0, p, zero));
  ASSERT_TRUE(EvaluateCurveAtT(4, true, &orientation, nullptr, nullptr, 1, 0, q, identity));
  for (float c : p) EXPECT_NEAR(c, 0, 1e-4f);
  EXPECT_NEAR(std::fabs(q[3]), 1, 1e-6f);
  // One third of a second in: moved 10/3 along world X, which the placement
  // turned 90 degrees, so along local -Y; turned a further 33.3 degrees.
  ASSERT_TRUE(EvaluateCurveAtT(3, false, &position, nullptr, nullptr, 1, 1.0f / 3, p, zero));
  EXPECT_NEAR(p[1], -10.0f / 3, 0.02f);
  EXPECT_NEAR(p[0], 0, 0.02f);
  // The child is untouched.
  curve2 child = PositionCurve(*FindTrack(group, "Child"));
  ASSERT_TRUE(EvaluateCurveAtT(3, false, &child, nullptr, nullptr, 1, 0.2f, p, zero));
  EXPECT_NEAR(p[1], 1, 1e-4f);
}

TEST(AnimationConversion, AFullSpinIsStoredContinuous) {
  Rig rig;
  // Half the host's answers come out in the other hemisphere.
  rig.Bone("Spinner", nullptr, [](int32_t tick) {
    TransformParts p = At(0, 0, 0, 360.0f * float(tick) / 4800);
    if ((tick / 160) % 2)
      for (float& c : p.Orientation) c = -c;
    return p;
  });
  SetFlag(rig.first->AnimationSettings, kCompress, false);
  SetFlag(rig.model->AnimationSettings, kMoveToOrigin, false);
  animation* clip = rig.Convert(rig.Animation(30));
  ASSERT_NE(clip, nullptr);
  std::vector<float> q = Keyframes(OrientationCurve(clip->TrackGroups[0]->TransformTracks[0]));
  ASSERT_EQ(q.size(), 61u * 4);
  for (size_t s = 1; s < 61; ++s) {
    const float* a = &q[4 * (s - 1)];
    const float* b = &q[4 * s];
    EXPECT_GT(a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3], 0) << s;
  }
  EXPECT_NEAR(q[4 * 60 + 3], -1, 1e-5f);  // a full turn, the long way round
}

TEST(AnimationConversion, ConstantMotionExtractionKeepsTheRootsTravel) {
  Rig rig;
  rig.Bone("Root", nullptr, [](int32_t tick) { return At(100.0f * float(tick) / 4800, 0, 1); });
  SetChoice(rig.model->AnimationSettings, kRootMotionType, kCme);
  animation* clip = rig.Convert(rig.Animation(30));
  ASSERT_NE(clip, nullptr);
  const track_group* group = clip->TrackGroups[0];
  float travel[3];
  std::memcpy(travel, group->LoopTranslation, sizeof travel);
  EXPECT_FLOAT_EQ(travel[0], 100);
  EXPECT_FLOAT_EQ(travel[1], 0);
  EXPECT_FLOAT_EQ(travel[2], 0);
  EXPECT_EQ(Value(group->AccumulationFlags), 2 | 1);
  EXPECT_EQ(Value(group->PeriodicLoop), nullptr);
  // What is left of the root stands still at the origin.
  curve2 position = PositionCurve(group->TransformTracks[0]);
  EXPECT_TRUE(CurveIsConstantOrIdentity(&position));
}

TEST(AnimationConversion, MorphWeightsInPercentBecomeFractions) {
  Rig rig;
  rig.Bone("Bone", nullptr, [](int32_t) { return At(0, 0, 0); });
  MeshNode* mesh = AddMeshNode(rig.graph);
  rig.GiveModelSettings(MergeModels(rig.graph, rig.first->Model, mesh->Model));
  ASSERT_EQ(rig.graph->ModelCount, 1);
  MorphSourceNode* morph = AddMorphSourceNode(rig.graph);
  morph->Settings = rig.Settings(SettingsCategory::MorphTrack);
  morph->HostNode = mesh->HostNode = &rig;
  rig.tool.morphs = {{"Smile", [](int32_t) { return 50.0f; }},
                     {"Blink", [](int32_t tick) { return 100.0f * float(tick) / 4800; }}};
  animation* clip = rig.Convert(rig.Animation(30));
  ASSERT_NE(clip, nullptr);
  // Room for the model's group and the morph group: both are there.
  ASSERT_EQ(Value(clip->TrackGroupCount), 2);
  const track_group* group = clip->TrackGroups[1];
  EXPECT_STREQ(group->Name, "Face");
  EXPECT_EQ(Value(group->AccumulationFlags), 8);
  ASSERT_EQ(Value(group->VectorTrackCount), 2);
  // Sorted by name: "Blink" before "Smile".
  EXPECT_STREQ(group->VectorTracks[0].Name, "Blink");
  curve2 smile = group->VectorTracks[1].ValueCurve;
  float value = 0;
  ASSERT_TRUE(EvaluateCurveAtT(1, false, &smile, nullptr, nullptr, 1, 0.5f, &value, nullptr));
  EXPECT_FLOAT_EQ(value, 0.5f);
  EXPECT_TRUE(CurveIsConstantNotIdentity(&smile));
  curve2 blink = group->VectorTracks[0].ValueCurve;
  ASSERT_TRUE(EvaluateCurveAtT(1, false, &blink, nullptr, nullptr, 1, 0.5f, &value, nullptr));
  EXPECT_NEAR(value, 0.5f, 0.002f);
  EXPECT_EQ(Value(rig.parser.info->TrackGroupCount), 2);

  // An animation stored by reference only samples nothing, morphs included.
  AnimationNode* reference = rig.Animation(30);
  SetFlag(reference->Settings, kIncludeData, false);
  rig.tool.ticks.clear();
  animation* bare = rig.Convert(reference);
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(Value(bare->TrackGroupCount), 0);
  EXPECT_TRUE(rig.tool.ticks.empty());
}

TEST(AnimationConversion, NoteTracksBecomeTextTracksAndTracksAreSortedByName) {
  Rig rig;
  BoneNode* b = rig.Bone("b", nullptr, [](int32_t tick) { return At(float(tick) / 100, 0, 0); });
  BoneNode* bone = rig.Bone("Bone", b, [](int32_t) { return At(0, 0, 0); });
  rig.Bone("a", b, [](int32_t) { return At(1, 0, 0); });
  rig.tool.notes[bone] = {{{800, "zero"}},
                          {{2400, "half"}, {-160, "before"}, {9600, "after"}, {4800, "end"}}};
  animation* clip = rig.Convert(rig.Animation(30));
  ASSERT_NE(clip, nullptr);
  const track_group* group = clip->TrackGroups[0];
  ASSERT_EQ(Value(group->TransformTrackCount), 3);
  EXPECT_STREQ(group->TransformTracks[0].Name, "Bone");
  EXPECT_STREQ(group->TransformTracks[1].Name, "a");
  EXPECT_STREQ(group->TransformTracks[2].Name, "b");
  ASSERT_EQ(Value(group->TextTrackCount), 2);
  EXPECT_STREQ(group->TextTracks[0].Name, "Bone");
  EXPECT_STREQ(group->TextTracks[1].Name, "Bone|Notes_1");
  ASSERT_EQ(Value(group->TextTracks[1].EntryCount), 2);  // keys outside the range are dropped
  text_track_entry* entries = group->TextTracks[1].Entries;
  EXPECT_FLOAT_EQ(Value(entries[0].TimeStamp), 0.5f);
  EXPECT_STREQ(entries[0].Text, "half");
  EXPECT_FLOAT_EQ(Value(entries[1].TimeStamp), 1.0f);
}

TEST(AnimationConversion, VectorTracksAndWhichAreKept) {
  for (bool protect : {false, true}) {
    Rig rig;
    BoneNode* bone = rig.Bone("Lamp", nullptr, [](int32_t) { return At(0, 0, 0); });
    TrackSourceNode* moving = AddBoneTrackSource(rig.graph, bone);
    TrackSourceNode* still = AddBoneTrackSource(rig.graph, bone);
    rig.GiveModelSettings(MergeModels(rig.graph, bone->Model, moving->Model));
    rig.GiveModelSettings(MergeModels(rig.graph, bone->Model, still->Model));
    moving->HostIndex = 7;
    rig.tool.sources[moving] = {
        "Lamp_color", [](int32_t tick) {
          return std::vector<float>{float(tick) / 4800, 1 - float(tick) / 4800};
        }};
    rig.tool.sources[still] = {"Lamp_size", [](int32_t) { return std::vector<float>{2.0f}; }};
    SetFlag(rig.model->AnimationSettings, kProtectConstant, protect);
    animation* clip = rig.Convert(rig.Animation(30));
    ASSERT_NE(clip, nullptr);
    const track_group* group = clip->TrackGroups[0];
    ASSERT_EQ(Value(group->VectorTrackCount), protect ? 2 : 1) << protect;
    EXPECT_STREQ(group->VectorTracks[0].Name, "Lamp_color");
    EXPECT_EQ(Value(group->VectorTracks[0].TrackKey), 7u);
    EXPECT_EQ(Value(group->VectorTracks[0].Dimension), 2);
    curve2 color = group->VectorTracks[0].ValueCurve;
    float value[2];
    ASSERT_TRUE(EvaluateCurveAtT(2, false, &color, nullptr, nullptr, 1, 0.25f, value, nullptr));
    EXPECT_NEAR(value[0], 0.25f, 0.002f);
    EXPECT_NEAR(value[1], 0.75f, 0.002f);
  }
}

TEST(AnimationConversion, VectorTracksCanStayOnFrameTimes) {
  Rig rig;
  BoneNode* bone = rig.Bone("Lamp", nullptr, [](int32_t) { return At(0, 0, 0); });
  TrackSourceNode* source = AddBoneTrackSource(rig.graph, bone);
  rig.GiveModelSettings(MergeModels(rig.graph, bone->Model, source->Model));
  rig.tool.sources[source] = {"Lamp_level",
                              [](int32_t tick) { return std::vector<float>{float(tick)}; }};
  constexpr uint32_t kDontOversampleVectors = 245;
  SetFlag(rig.model->AnimationSettings, kDontOversampleVectors, true);
  SetFlag(bone->AnimationSettings, kCompress, false);  // the source's own bone decides
  AnimationNode* node = rig.Animation(30);
  SetNumber(node->Settings, kOversampling, 4);
  animation* clip = rig.Convert(node);
  ASSERT_NE(clip, nullptr);
  const track_group* group = clip->TrackGroups[0];
  ASSERT_EQ(Value(group->VectorTrackCount), 1);
  std::vector<float> values = Keyframes(group->VectorTracks[0].ValueCurve);
  // Bones have 4 * 30 + 1 samples; the vector track one per frame.
  ASSERT_EQ(values.size(), 31u);
  for (size_t f = 0; f < values.size(); ++f) EXPECT_EQ(values[f], float(160 * f)) << f;
  // A bone that never moves reduces to the identity, keyframes or not.
  curve2 position = PositionCurve(group->TransformTracks[0]);
  EXPECT_TRUE(CurveIsIdentity(&position));
}

TEST(AnimationConversion, ModelsWithoutAnimatedBonesAddNoTrackGroup) {
  Rig rig;
  rig.Bone("Bone", nullptr, [](int32_t tick) { return At(float(tick), 0, 0); });
  SetFlag(rig.first->AnimationSettings, kIncludeData, false);
  animation* clip = rig.Convert(rig.Animation(30));
  ASSERT_NE(clip, nullptr);
  EXPECT_EQ(Value(clip->TrackGroupCount), 0);
  EXPECT_EQ(Value(rig.parser.info->TrackGroupCount), 0);
  EXPECT_TRUE(rig.tool.ticks.empty());
}

// An animation that cannot be sampled fails, rather than arriving without
// its tracks as if it had none.
TEST(AnimationConversion, AToolThatCannotSetTimesFailsTheAnimation) {
  class Timeless : public FakeTool {
   public:
    bool SetSampleTime(int32_t) override { return false; }
  };
  Rig rig;
  Timeless timeless;
  rig.parser.tool = &timeless;
  BoneNode* bone = rig.Bone("Bone", nullptr, [](int32_t) { return At(0, 0, 0); });
  timeless.names[bone] = "Bone";
  test::LogCapture log;
  EXPECT_EQ(rig.Convert(rig.Animation(30)), nullptr);
  EXPECT_TRUE(log.Contains("Unable to set the sample time")) << log.All();
}

// A jittering arm of three bones 10 units apart: with tolerances from an
// error budget every decoded point 3 units off a bone stays within it.
TEST(AnimationConversion, PerBoneTolerancesKeepTheSkinWithinTheBudget) {
  // World placements follow the chain, as a host's do.
  class ChainTool : public FakeTool {
   public:
    bool GetBoneTransforms(const BoneNode* bone, TransformParts& local,
                           TransformParts& world) override {
      local = motions[bone](tick);
      world = local;
      for (BoneNode* up = GetParentBone(bone); up; up = GetParentBone(up)) {
        const TransformParts parent = motions[up](tick);
        world = Compose(parent, world);
      }
      return true;
    }
  };
  Rig rig;
  ChainTool chain;
  rig.parser.tool = &chain;
  auto jitter = [](int32_t tick, float phase) {
    const float t = float(tick) / kTicksPerFrame;
    return 20 * std::sin(0.2f * t + phase) + 0.7f * std::sin(37.0f * t * t + phase);
  };
  std::vector<BoneNode*> bones;
  for (int b = 0; b < 3; ++b) {
    const float phase = float(b);
    bones.push_back(
        rig.Bone(("Bone" + std::to_string(b)).c_str(), b ? bones.back() : nullptr,
                 [=](int32_t tick) { return At(b ? 10 : 0, 0, 0, jitter(tick, phase)); }));
    chain.names[bones.back()] = rig.tool.names[bones.back()];
    if (b) chain.parents[bones.back()] = bones[size_t(b - 1)];
    chain.motions[bones.back()] = rig.tool.motions[bones.back()];
  }
  SetChoice(rig.model->AnimationSettings, kRootMotionType, kNoRootMotion);
  SetFlag(rig.model->AnimationSettings, kMoveToOrigin, false);
  BoneToleranceBudget budget;
  budget.Error = 0.01f;
  budget.ReachMargin = 3;
  std::vector<BoneTolerance> applied;
  ASSERT_TRUE(ApplyBoneTolerances(chain, rig.graph, budget, &applied));
  ASSERT_EQ(applied.size(), 3u);
  AnimationNode* node = rig.Animation(60);
  SetNumber(node->Settings, kOversampling, 2);
  animation* clip = rig.Convert(node);
  ASSERT_NE(clip, nullptr);
  ASSERT_EQ(Value(clip->TrackGroupCount), 1);
  const track_group* group = clip->TrackGroups[0];
  const float duration = clip->Duration, step = clip->TimeStep;
  const float zero[3] = {0, 0, 0}, identity[4] = {0, 0, 0, 1};
  float largest = 0;
  for (int32_t s = 0; s <= 120; ++s) {
    TransformParts decoded, exact;
    for (size_t b = 0; b < bones.size(); ++b) {
      const transform_track* track = FindTrack(group, chain.names[bones[b]].c_str());
      ASSERT_NE(track, nullptr);
      curve2 position = PositionCurve(*track), orientation = OrientationCurve(*track);
      EXPECT_FALSE(CurveIsKeyframed(&orientation));
      TransformParts local;
      ASSERT_TRUE(EvaluateCurveAtT(3, false, &position, nullptr, nullptr, duration, float(s) * step,
                                   local.Position, zero));
      ASSERT_TRUE(EvaluateCurveAtT(4, true, &orientation, nullptr, nullptr, duration,
                                   float(s) * step, local.Orientation, identity));
      decoded = b ? Compose(decoded, local) : local;
      exact = b ? Compose(exact, chain.motions[bones[b]](s * kTicksPerFrame / 2))
                : chain.motions[bones[b]](s * kTicksPerFrame / 2);
      for (int axis = 0; axis < 3; ++axis) {
        float offset[3] = {0, 0, 0};
        offset[axis] = 3;
        const Vector3 a = PointOf(decoded, offset), e = PointOf(exact, offset);
        largest = std::max(largest, std::hypot(a.x - e.x, a.y - e.y, a.z - e.z));
      }
    }
  }
  EXPECT_LE(largest, budget.Error) << largest;
  EXPECT_GT(largest, 0.0f);  // fitted, not stored sample by sample
}

}  // namespace
}  // namespace ketrel
