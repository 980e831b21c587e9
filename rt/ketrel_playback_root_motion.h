#pragma once
// Root motion as a track group stores it. An export may take the travel of
// a looping clip out of its root track, so that the clip plays in place and
// a game moves the character instead; the group then says how much it took:
//
//   AccumulationFlags 0x1   constant extraction: with no PeriodicLoop the
//                           root advances by LoopTranslation per loop, at a
//                           constant rate; with a PeriodicLoop it advances
//                           along the loop's helix (a turn about Axis at
//                           dAngle radians per second with Radius, plus dZ
//                           per second along Axis)
//   AccumulationFlags 0x4   variable delta: the motion stays in the root
//                           track (nothing is added back here)
//   AccumulationFlags 0x8   a morph weight group: no root at all
//
// The motion at play time t (seconds since the clip started, loops
// counted) is a rigid transform M(t) with M(0) the identity; the root's
// pose is then InitialPlacement * M(t) * (the root track at t). Nothing here
// allocates; faults are logged (origin TrackGroup) and give false.

#include "rt/ketrel_standard_types.h"

namespace ketrel {

enum accumulation_flags : int32_t {
  AccumulationConstantExtraction = 0x1,
  AccumulationTracksSorted = 0x2,
  AccumulationVariableDelta = 0x4,
  AccumulationMorphWeights = 0x8,
};

// True when the group carries motion taken out of its root track.
bool TrackGroupHasRootMotion(const track_group* group);

// M(t) for a clip of `duration` seconds; the identity for a group without
// root motion.
bool GetRootMotion(const track_group* group, float duration, float t, transform* motion);

// The motion from play time t0 to t1 seen from where the root stood at t0:
// M(t0)^-1 * M(t1). A game moving its character each frame composes this
// onto the character's transform.
bool GetRootMotionDelta(const track_group* group, float duration, float t0, float t1,
                        transform* delta);

}  // namespace ketrel
