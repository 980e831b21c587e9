// Binding a track group to a skeleton and sampling it, against values
// worked out by hand for the test character (test_ketrel_playback_support.h).
#include "rt/ketrel_playback.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "rt/ketrel_playback_root_motion.h"
#include "rt/ketrel_pose.h"
#include "rt/ketrel_transform.h"
#include "tests/rt/test_ketrel_playback_support.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

constexpr float kPi = 3.14159265358979f;

struct BindingDeleter {
  void operator()(track_binding* b) const { FreeTrackBinding(b); }
};
using BindingPointer = std::unique_ptr<track_binding, BindingDeleter>;

void ExpectPosition(const transform& t, float x, float y, float z, const std::string& what) {
  EXPECT_NEAR(t.Position[0], x, 1e-5f) << what;
  EXPECT_NEAR(t.Position[1], y, 1e-5f) << what;
  EXPECT_NEAR(t.Position[2], z, 1e-5f) << what;
}

// The angle (radians) about Z of a quaternion that turns about Z only.
float TurnAboutZ(const transform& t) {
  EXPECT_NEAR(t.Orientation[0], 0.0f, 1e-6f);
  EXPECT_NEAR(t.Orientation[1], 0.0f, 1e-6f);
  return 2.0f * std::atan2(float(t.Orientation[2]), float(t.Orientation[3]));
}

TEST(Playback, BindingMatchesBonesByNameAndCountsTheRest) {
  test::TestCharacter c;
  test::LogCapture log;
  BindingPointer binding(BindTrackGroup(c.Skeleton, &c.Clip, c.Group));
  ASSERT_NE(binding, nullptr);
  EXPECT_EQ(binding->BoneCount, 3);
  EXPECT_EQ(binding->BoundCount, 3);
  EXPECT_EQ(binding->UnboundTracks, 1);  // Tail
  EXPECT_TRUE(log.Contains("1 of its 4 tracks name no bone"));
  // Bones in skeleton order; tracks are sorted by name (Arm, Root, Spine, Tail).
  EXPECT_EQ(binding->Bound[0].Bone, 0);
  EXPECT_EQ(binding->Bound[0].Track, 1);
  EXPECT_EQ(binding->Bound[2].Bone, 2);
  EXPECT_EQ(binding->Bound[2].Track, 0);
  EXPECT_EQ(FindTrackGroup(&c.Clip, "Root"), c.Group);
  EXPECT_EQ(FindTrackGroup(&c.Clip, "Nobody"), nullptr);
  // The lookups by name behind the binding.
  EXPECT_EQ(FindBone(c.Skeleton, "Arm"), 2);
  EXPECT_EQ(FindBone(c.Skeleton, "Tail"), -1);
  EXPECT_EQ(FindBone(c.Skeleton, nullptr), -1);
  EXPECT_EQ(FindTransformTrack(c.Group, "Spine"), 2);
  EXPECT_EQ(FindTransformTrack(c.Group, "Blink"), -1);
  EXPECT_EQ(FindVectorTrack(c.Group, "Smile"), 1);
  EXPECT_EQ(FindVectorTrack(nullptr, "Smile"), -1);
}

TEST(Playback, BadSkeletonsAndCurvesAreRefused) {
  test::TestCharacter c;
  test::LogCapture log;
  EXPECT_EQ(BindTrackGroup(nullptr, &c.Clip, c.Group), nullptr);
  EXPECT_EQ(BindTrackGroup(c.Skeleton, nullptr, c.Group), nullptr);
  EXPECT_EQ(BindTrackGroup(c.Skeleton, &c.Clip, nullptr), nullptr);
  // A child listed before its parent cannot be posed in one pass.
  c.Skeleton->Bones[1].ParentIndex = 2;
  EXPECT_EQ(BindTrackGroup(c.Skeleton, &c.Clip, c.Group), nullptr);
  EXPECT_TRUE(log.Contains("which does not come before it"));
  c.Skeleton->Bones[1].ParentIndex = 0;
  // An orientation curve where the position belongs.
  c.Group->TransformTracks[1].PositionCurve = c.Group->TransformTracks[2].OrientationCurve;
  EXPECT_EQ(BindTrackGroup(c.Skeleton, &c.Clip, c.Group), nullptr);
  EXPECT_TRUE(log.Contains("Track Root: its position curve has 4 dimensions where 3 belong"));
  // Damaged curve data.
  c.Group->TransformTracks[1].PositionCurve.CurveData.Object = nullptr;
  EXPECT_EQ(BindTrackGroup(c.Skeleton, &c.Clip, c.Group), nullptr);
  EXPECT_TRUE(log.Contains("its position curve cannot be read"));
}

struct PoseCase {
  float t;
  uint32_t flags;
  float root[3];
  float spineDegrees;
  float arm[3];
};

class PoseAtTime : public testing::TestWithParam<PoseCase> {};

TEST_P(PoseAtTime, MatchesTheHandWorkedPose) {
  const PoseCase& p = GetParam();
  test::TestCharacter c;
  BindingPointer binding(BindTrackGroup(c.Skeleton, &c.Clip, c.Group));
  ASSERT_NE(binding, nullptr);
  std::vector<transform> local(GetLocalPoseSize(3) / sizeof(transform));
  ASSERT_EQ(local.size(), 3u);
  ASSERT_TRUE(SampleLocalPose(binding.get(), p.t, p.flags, local.data()));
  const std::string at = "t = " + std::to_string(p.t);
  ExpectPosition(local[0], p.root[0], p.root[1], p.root[2], at);
  ExpectPosition(local[1], 0, 1, 0, at);
  EXPECT_NEAR(TurnAboutZ(local[1]) * 180 / kPi, p.spineDegrees, 1e-3f) << at;
  ExpectPosition(local[2], p.arm[0], p.arm[1], p.arm[2], at);
}

INSTANTIATE_TEST_SUITE_P(Times, PoseAtTime,
                         testing::Values(
                             // Halfway: degree 1 curves at their middle; the keys' middle key. A
                             // 90-degree turn interpolated linearly and normalised is 45 halfway.
                             PoseCase{0.5f, PlaybackClamp, {1, 0, 0}, 45, {1, 2, 0}},
                             // Between keys: linear. The turn at a quarter: 2 atan2(h/4, 3/4 + h/4)
                             // with h = sqrt(1/2), as the controls blend before normalising.
                             PoseCase{0.25f, PlaybackClamp, {0.5f, 0, 0}, 21.5981610f, {1, 1, 0}},
                             PoseCase{0.75f, PlaybackClamp, {1.5f, 0, 0}, 68.4018390f, {1, 2, 2}},
                             // Clamped time holds the ends; looping wraps.
                             PoseCase{1.25f, PlaybackClamp, {2, 0, 0}, 90, {1, 2, 4}},
                             PoseCase{-3.0f, PlaybackClamp, {0, 0, 0}, 0, {1, 0, 0}},
                             PoseCase{1.25f, PlaybackLoop, {0.5f, 0, 0}, 21.5981610f, {1, 1, 0}},
                             PoseCase{-0.5f, PlaybackLoop, {1, 0, 0}, 45, {1, 2, 0}},
                             PoseCase{NAN, PlaybackLoop, {0, 0, 0}, 0, {1, 0, 0}}));

TEST(Playback, InitialPlacementAndRestPoseForUntrackedBones) {
  test::TestCharacter c;
  c.Group->InitialPlacement.Flags = HasPosition;
  c.Group->InitialPlacement.Position[2] = 5;
  // Spine loses its track: it keeps the skeleton's rest transform.
  c.Group->TransformTracks[2].Name = "Chest";
  BindingPointer binding(BindTrackGroup(c.Skeleton, &c.Clip, c.Group));
  ASSERT_NE(binding, nullptr);
  EXPECT_EQ(binding->BoundCount, 2);
  transform local[3];
  ASSERT_TRUE(SampleLocalPose(binding.get(), 0.5f, PlaybackClamp, local));
  ExpectPosition(local[0], 1, 0, 5, "placed");
  ExpectPosition(local[1], 0, 1, 0, "rest");
  EXPECT_NEAR(TurnAboutZ(local[1]), 0.0f, 1e-6f);
  ASSERT_TRUE(SampleLocalPose(binding.get(), 0.5f, PlaybackWithoutInitialPlacement, local));
  ExpectPosition(local[0], 1, 0, 0, "unplaced");
}

TEST(Playback, InPlaceBindingNeedsNoHeap) {
  test::TestCharacter c;
  std::vector<uint64_t> memory((GetTrackBindingSize(c.Skeleton, c.Group) + 7) / 8);
  track_binding* binding = BindTrackGroupInPlace(c.Skeleton, &c.Clip, c.Group, memory.data());
  ASSERT_NE(binding, nullptr);
  EXPECT_FALSE(binding->OwnsMemory);
  transform local[3];
  EXPECT_TRUE(SampleLocalPose(binding, 1.0f, PlaybackClamp, local));
  ExpectPosition(local[0], 2, 0, 0, "end");
  FreeTrackBinding(binding);  // leaves caller memory alone
}

// Orientation keys with no direction cannot turn: that bone stays at rest
// and the pose reports it, however many bones finish their turns together.
TEST(Playback, KeysWithoutDirectionLeaveTheirBoneAtRest) {
  const int32_t keys = 30;
  std::vector<float> times(keys), zeros(size_t(keys) * 4, 0.0f);
  for (int32_t i = 0; i < keys; ++i) times[size_t(i)] = float(i) / 30.0f;
  curve_builder* b = BeginCurve(DaSampledBitsType, 1, 4, keys);
  SetKnotArray(b, times.data());
  SetControlArray(b, zeros.data());
  const float steps[4] = {1e-4f, 1e-4f, 1e-4f, 1e-4f};
  SetControlSteps(b, steps);
  test::CurvePointer curve(EndCurve(b));
  ASSERT_NE(curve, nullptr);
  test::TestCharacter c;
  c.Group->TransformTracks[2].OrientationCurve = *curve;  // Spine
  c.Clip.TimeStep = 1.0f / 30.0f;
  BindingPointer binding(BindTrackGroup(c.Skeleton, &c.Clip, c.Group));
  ASSERT_NE(binding, nullptr);
  std::vector<uint64_t> memory((GetPlaybackCursorSize(binding.get()) + 7) / 8);
  playback_cursor* cursor = InitPlaybackCursor(binding.get(), memory.data());
  for (playback_cursor* with : {static_cast<playback_cursor*>(nullptr), cursor}) {
    for (float t : {0.25f, 0.3f, 0.5f}) {
      test::LogCapture log;
      transform local[3];
      EXPECT_FALSE(SampleLocalPose(binding.get(), t, PlaybackClamp, local, with));
      EXPECT_EQ(log.errors(), 1u);
      ExpectPosition(local[0], 2 * t, 0, 0, "root still played");
      ExpectPosition(local[1], 0, 1, 0, "spine at rest");
      EXPECT_EQ(std::memcmp(local[1].Orientation, c.Skeleton->Bones[1].Transform.Orientation,
                            sizeof local[1].Orientation),
                0);
    }
  }
}

// Root motion as stored, put back on the root: a straight loop and a turn.
TEST(Playback, RootMotionCountsLoopsAndFollowsThePeriodicLoop) {
  test::TestCharacter c;
  c.Group->AccumulationFlags |= AccumulationConstantExtraction;
  c.Group->LoopTranslation[0] = 4;
  BindingPointer binding(BindTrackGroup(c.Skeleton, &c.Clip, c.Group));
  transform local[3];
  // Two and a half loops: 2.5 × 4 of travel plus the root track at 0.5.
  ASSERT_TRUE(SampleLocalPose(binding.get(), 2.5f, PlaybackLoop | PlaybackApplyRootMotion, local));
  ExpectPosition(local[0], 11, 0, 0, "straight");
  ASSERT_TRUE(SampleLocalPose(binding.get(), 2.5f, PlaybackLoop, local));
  ExpectPosition(local[0], 1, 0, 0, "in place");

  // A quarter turn a second about Z on a unit circle.
  periodic_loop loop = {1.0f, kPi / 2, 0.0f, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  c.Group->PeriodicLoop = &loop;
  transform motion;
  ASSERT_TRUE(GetRootMotion(c.Group, 1.0f, 1.0f, &motion));
  ExpectPosition(motion, -1, 1, 0, "quarter");
  EXPECT_NEAR(TurnAboutZ(motion), kPi / 2, 1e-5f);
  // The root track's (2,0,0) at the end, turned and carried along.
  ASSERT_TRUE(SampleLocalPose(binding.get(), 1.0f, PlaybackClamp | PlaybackApplyRootMotion, local));
  ExpectPosition(local[0], -1, 3, 0, "turned");
  // Four loops close the circle.
  ASSERT_TRUE(SampleLocalPose(binding.get(), 4.0f, PlaybackLoop | PlaybackApplyRootMotion, local));
  ExpectPosition(local[0], 0, 0, 0, "round");
  // From the second to the third second looks, from where the root stands,
  // like the first.
  transform delta;
  ASSERT_TRUE(GetRootMotionDelta(c.Group, 1.0f, 1.0f, 2.0f, &delta));
  ExpectPosition(delta, -1, 1, 0, "delta");
  EXPECT_NEAR(TurnAboutZ(delta), kPi / 2, 1e-5f);

  // Without the extraction flag nothing is added.
  c.Group->AccumulationFlags = AccumulationTracksSorted;
  EXPECT_FALSE(TrackGroupHasRootMotion(c.Group));
  ASSERT_TRUE(GetRootMotion(c.Group, 1.0f, 3.0f, &motion));
  ExpectPosition(motion, 0, 0, 0, "none");
}

TEST(Playback, VectorTracksAndMorphTargetsByName) {
  test::TestCharacter c;
  ASSERT_EQ(GetVectorTrackValueCount(c.Group), 2);
  float weights[2];
  ASSERT_TRUE(SampleVectorTracks(c.Group, &c.Clip, 0.75f, PlaybackClamp, weights, 2));
  EXPECT_NEAR(weights[0], 0.75f, 1e-6f);  // Blink
  EXPECT_NEAR(weights[1], 0.5f, 1e-6f);   // Smile
  ASSERT_TRUE(SampleVectorTracks(c.Group, &c.Clip, 1.25f, PlaybackLoop, weights, 2));
  EXPECT_NEAR(weights[0], 0.25f, 1e-6f);
  test::LogCapture log;
  EXPECT_FALSE(SampleVectorTracks(c.Group, &c.Clip, 0.5f, PlaybackClamp, weights, 1));
  EXPECT_EQ(log.errors(), 1u);
  // A damaged file's width: counted as nothing (callers size buffers by the
  // count, found by fuzzing), refused when sampled.
  const int32_t width = c.Group->VectorTracks[1].Dimension;
  c.Group->VectorTracks[1].Dimension = 1 << 30;
  EXPECT_EQ(GetVectorTrackValueCount(c.Group), 1);
  EXPECT_FALSE(SampleVectorTracks(c.Group, &c.Clip, 0.5f, PlaybackClamp, weights, 2));
  c.Group->VectorTracks[1].Dimension = width;

  morph_target targets[2] = {{"Smile", nullptr, 0}, {"Frown", nullptr, 0}};
  mesh face{};
  face.Name = "Face";
  face.MorphTargetCount = 2;
  face.MorphTargets = targets;
  int32_t trackOfTarget[2];
  EXPECT_EQ(BindMorphTargets(&face, c.Group, trackOfTarget), 1);
  EXPECT_EQ(trackOfTarget[0], 1);
  EXPECT_EQ(trackOfTarget[1], -1);
}

struct EventCase {
  float t0, t1;
  uint32_t flags;
  std::vector<std::string> expected;  // "time text"
};

TEST(Playback, TextEventsBetweenTwoTimes) {
  test::TestCharacter c;
  const EventCase cases[] = {
      {0.0f, 0.5f, PlaybackClamp, {"0.25 left"}},
      // The end is open, except at the very end of a clamped clip.
      {0.5f, 1.0f, PlaybackClamp, {"0.50 hey", "0.75 right", "1.00 end"}},
      {0.5f, 0.75f, PlaybackClamp, {"0.50 hey"}},
      {1.0f, 3.0f, PlaybackClamp, {}},
      // Looping: events of every loop passed, in time order.
      {0.8f, 1.3f, PlaybackLoop, {"1.00 end", "1.25 left"}},
      {-0.5f, 0.3f, PlaybackLoop, {"-0.50 hey", "-0.25 right", "0.00 end", "0.25 left"}},
      {0.3f, 0.3f, PlaybackLoop, {}},
  };
  for (const EventCase& e : cases) {
    text_event events[8];
    const int32_t count = CollectTextEvents(c.Group, 1.0f, e.t0, e.t1, e.flags, events, 8);
    std::vector<std::string> got;
    for (int32_t i = 0; i < count && i < 8; ++i) {
      char line[64];
      std::snprintf(line, sizeof line, "%.2f %s", double(events[i].Time), events[i].Text);
      got.push_back(line);
    }
    EXPECT_EQ(got, e.expected) << e.t0 << " to " << e.t1;
  }
  // Too small a buffer: the count still tells how many there are.
  text_event one[1];
  EXPECT_EQ(CollectTextEvents(c.Group, 1.0f, 0.0f, 1.0f, PlaybackClamp, one, 1), 4);
  EXPECT_EQ(CollectTextEvents(c.Group, 1.0f, 0.0f, 1.0f, PlaybackClamp, nullptr, 0), 4);
  test::LogCapture log;
  EXPECT_EQ(CollectTextEvents(nullptr, 1.0f, 0.0f, 1.0f, PlaybackClamp, one, 1), -1);
  EXPECT_EQ(CollectTextEvents(c.Group, 1.0f, 0.0f, INFINITY, PlaybackLoop, one, 1), -1);

  // A damaged file: sixteen tracks sharing one list of a million entries, in
  // a clip of a millisecond looped over a second. The loops read are bounded
  // by the entries too (found by fuzzing: a call took minutes), and said so.
  std::vector<text_track_entry> many(size_t{1} << 20, text_track_entry{0.0005f, "tick"});
  std::vector<text_track> tracks(16, text_track{"Ticks", int32_t(many.size()), many.data()});
  track_group crowded{};
  crowded.TextTrackCount = int32_t(tracks.size());
  crowded.TextTracks = tracks.data();
  log.Clear();
  const int32_t ticks = CollectTextEvents(&crowded, 0.001f, 0.0f, 1.0f, PlaybackLoop, one, 1);
  EXPECT_GT(ticks, 0);
  EXPECT_LE(ticks, 1 << 24);
  EXPECT_TRUE(log.Contains("only the last 1 of them are read")) << log.All();
  // Loop numbers beyond where doubles count in ones still end (found by
  // fuzzing: the loop index stopped moving).
  EXPECT_GE(CollectTextEvents(c.Group, 1e-30f, 1e20f, 1e20f + 1e15f, PlaybackLoop, one, 1), 0);
}

}  // namespace
}  // namespace ketrel

namespace ketrel {
namespace {

// A playback cursor must give the stateless poses bit for bit, however the
// times move: forward in small steps (sliding spans), backwards, and in
// jumps; for quantized and float formats, sampled keys, and quaternion
// controls whose signs alternate (the blend keeps them in one hemisphere).
struct CursorCase {
  data_type_definition* format;
  int32_t degree;
  bool quaternion;
};

class CursorMatchesStateless : public testing::TestWithParam<CursorCase> {};

TEST_P(CursorMatchesStateless, ForwardBackwardAndJumping) {
  const CursorCase& c = GetParam();
  const int32_t knots = 150, d = c.quaternion ? 4 : 3;
  std::vector<float> times(knots), controls(size_t(knots) * d);
  for (int32_t i = 0; i < knots; ++i) {
    times[size_t(i)] = float(i) / 60.0f;
    const float a = 0.05f * float(i), sign = i % 3 == 1 ? -1.0f : 1.0f;
    float* v = &controls[size_t(i) * d];
    if (c.quaternion) {
      const float x = std::sin(a), y = 0.3f * std::cos(1.7f * a), z = 0.2f, w = 1.0f;
      const float length = std::sqrt(x * x + y * y + z * z + w * w);
      v[0] = sign * x / length;
      v[1] = sign * y / length;
      v[2] = sign * z / length;
      v[3] = sign * w / length;
    } else {
      v[0] = std::sin(a);
      v[1] = 2 * std::cos(0.5f * a);
      v[2] = 0.01f * float(i);
    }
  }
  curve_builder* b = BeginCurve(c.format, c.degree, d, knots);
  SetKnotArray(b, times.data());
  SetControlArray(b, controls.data());
  const float steps[4] = {1e-4f, 1e-4f, 1e-4f, 1e-4f};
  if (c.format == DaSampledBitsType) SetControlSteps(b, steps);
  test::CurvePointer curve(EndCurve(b));
  ASSERT_NE(curve, nullptr);
  ASSERT_EQ(GetCurveFormat(curve.get()), FindCurveFormat(c.format));

  test::TestCharacter character;
  transform_track& spine = character.Group->TransformTracks[2];
  if (c.quaternion) {
    spine.OrientationCurve = *curve;
  } else {
    spine.PositionCurve = *curve;
  }
  character.Clip.Duration = times.back();
  character.Clip.TimeStep = 1.0f / 60.0f;
  BindingPointer binding(BindTrackGroup(character.Skeleton, &character.Clip, character.Group));
  ASSERT_NE(binding, nullptr);
  std::vector<uint64_t> memory((GetPlaybackCursorSize(binding.get()) + 7) / 8);
  playback_cursor* cursor = InitPlaybackCursor(binding.get(), memory.data());
  ASSERT_NE(cursor, nullptr);
  EXPECT_GE(cursor->SpanCount, 1);
  EXPECT_EQ(cursor->KeyCount, c.format == DaSampledBitsType ? 1 : 0);

  std::vector<float> play;
  for (float t = 0; t < 2.6f; t += 1.0f / 240) play.push_back(t);     // forward, into a loop
  for (float t = 2.4f; t > -0.1f; t -= 1.0f / 50) play.push_back(t);  // backwards
  uint32_t noise = 7;
  for (int i = 0; i < 200; ++i) {  // jumps
    noise = noise * 1664525u + 1013904223u;
    play.push_back(float(noise >> 8) / float(1u << 24) * 2.5f);
  }
  int compared = 0;
  for (float t : play) {
    transform without[3], with[3];
    ASSERT_TRUE(SampleLocalPose(binding.get(), t, PlaybackLoop, without));
    ASSERT_TRUE(SampleLocalPose(binding.get(), t, PlaybackLoop, with, cursor));
    ASSERT_EQ(std::memcmp(without, with, sizeof with), 0) << "t = " << t;
    ++compared;
  }
  EXPECT_GT(compared, 700);
  // A cursor belongs to its binding.
  BindingPointer other(BindTrackGroup(character.Skeleton, &character.Clip, character.Group));
  test::LogCapture log;
  transform pose[3];
  EXPECT_FALSE(SampleLocalPose(other.get(), 0.5f, PlaybackLoop, pose, cursor));
  EXPECT_EQ(log.errors(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, CursorMatchesStateless,
    testing::Values(CursorCase{DaK32fC32fType, 3, true}, CursorCase{D4nK16uC15uType, 3, true},
                    CursorCase{D4nK16uC15uType, 2, true}, CursorCase{D4nK8uC7uType, 1, true},
                    CursorCase{D4nK16uC15uType, 0, true}, CursorCase{D3K16uC16uType, 2, false},
                    CursorCase{DaK8uC8uType, 3, false}, CursorCase{DaSampledBitsType, 1, true},
                    CursorCase{DaSampledBitsType, 1, false}));

}  // namespace
}  // namespace ketrel
