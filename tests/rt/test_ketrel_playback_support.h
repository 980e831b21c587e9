#pragma once
// A small hand-made character for the playback tests: a three-bone chain
// (Root, Spine, Arm) and a one-second clip whose values are easy to work out
// by hand.
//
//   Root   position (0,0,0) -> (2,0,0) over the second (degree 1)
//   Spine  stays at (0,1,0); turns from the identity to 90 degrees about Z
//   Arm    unsmoothed keys every 0.5 s: (1,0,0), (1,2,0), (1,2,4)
//   Tail   a track no bone has
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "rt/ketrel_curve.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_skeleton_builder.h"
#include "rt/ketrel_standard_types.h"
#include "rt/ketrel_track_group_builder.h"

namespace ketrel::test {

struct FreeBlockDeleter {
  void operator()(void* block) const { FreeBlock(block); }
};
struct CurveDeleter {
  void operator()(curve2* curve) const { FreeCurve(curve); }
};
using CurvePointer = std::unique_ptr<curve2, CurveDeleter>;

inline CurvePointer MakeTestCurve(data_type_definition* format, int32_t degree, int32_t dimension,
                                  const std::vector<float>& knots,
                                  const std::vector<float>& controls) {
  const int32_t count =
      knots.empty() ? int32_t(controls.size()) / dimension : int32_t(knots.size());
  curve_builder* b = BeginCurve(format, degree, dimension, count);
  if (!knots.empty()) SetKnotArray(b, knots.data());
  if (!controls.empty()) SetControlArray(b, controls.data());
  return CurvePointer(EndCurve(b));
}

class TestCharacter {
 public:
  TestCharacter() {
    const float zero[3] = {0, 0, 0}, up[3] = {0, 1, 0}, right[3] = {1, 0, 0},
                armWorld[3] = {1, 1, 0}, q[4] = {0, 0, 0, 1};
    skeleton_builder* s = BeginSkeleton(3);
    AddBone(s, "Root", zero, q, nullptr, zero, q, nullptr);
    AddBone(s, "Spine", up, q, nullptr, up, q, nullptr);
    AddBone(s, "Arm", right, q, nullptr, armWorld, q, nullptr);
    SetBoneParent(s, 0, -1);
    SetBoneParent(s, 1, 0);
    SetBoneParent(s, 2, 1);
    skeletonMemory_.reset(KT_ALLOCATE(size_t(GetResultingSkeletonSize(s))));
    Skeleton = EndSkeletonInPlace(s, skeletonMemory_.get(), nullptr);

    const float h = std::sqrt(0.5f);
    CurvePointer rootPosition = MakeTestCurve(DaK32fC32fType, 1, 3, {0, 1}, {0, 0, 0, 2, 0, 0});
    CurvePointer spinePosition = MakeTestCurve(DaK32fC32fType, 1, 3, {0, 1}, {0, 1, 0, 0, 1, 0});
    CurvePointer spineTurn = MakeTestCurve(DaK32fC32fType, 1, 4, {0, 1}, {0, 0, 0, 1, 0, 0, h, h});
    CurvePointer armKeys = MakeTestCurve(DaKeyframes32fType, 0, 3, {}, {1, 0, 0, 1, 2, 0, 1, 2, 4});
    CurvePointer blink = MakeTestCurve(DaK32fC32fType, 1, 1, {0, 1}, {0, 1});
    CurvePointer smile = MakeTestCurve(DaK32fC32fType, 1, 1, {0, 1}, {0.5f, 0.5f});
    const curve2 identity3 = GetSharedIdentityCurve(3), identity4 = GetSharedIdentityCurve(4),
                 identity9 = GetSharedIdentityCurve(9);

    track_group_builder* g = BeginTrackGroup("Root", 0, 0, 0, false);
    auto track = [&](const char* name, const curve2* p, const curve2* o) {
      BeginTransformTrack(g, name, 0);
      SetTransformTrackPositionCurve(g, p);
      SetTransformTrackOrientationCurve(g, o);
      SetTransformTrackScaleShearCurve(g, &identity9);
      EndTransformTrack(g);
    };
    track("Root", rootPosition.get(), &identity4);
    track("Spine", spinePosition.get(), spineTurn.get());
    track("Arm", armKeys.get(), &identity4);
    track("Tail", &identity3, &identity4);
    PushVectorTrack(g, "Blink", 0, blink.get());
    PushVectorTrack(g, "Smile", 0, smile.get());
    BeginTextTrack(g, "Foot");
    AddTextEntry(g, 0.25f, "left");
    AddTextEntry(g, 0.75f, "right");
    EndTextTrack(g);
    BeginTextTrack(g, "Voice");
    AddTextEntry(g, 0.5f, "hey");
    AddTextEntry(g, 1.0f, "end");
    EndTextTrack(g);
    groupMemory_.reset(KT_ALLOCATE(size_t(GetResultingTrackGroupSize(g))));
    Group = EndTrackGroupInPlace(g, groupMemory_.get());

    std::memset(&Clip, 0, sizeof Clip);
    Clip.Name = "Wave";
    Clip.Duration = 1.0f;
    Clip.TimeStep = 0.5f;
    Clip.Oversampling = 1.0f;
    groups_[0] = Group;
    Clip.TrackGroupCount = 1;
    Clip.TrackGroups = groups_;
  }

  skeleton* Skeleton = nullptr;
  track_group* Group = nullptr;
  animation Clip;

 private:
  std::unique_ptr<void, FreeBlockDeleter> skeletonMemory_, groupMemory_;
  track_group* groups_[1] = {};
};

}  // namespace ketrel::test
