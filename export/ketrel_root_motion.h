#pragma once
// Root motion of a sampled animation: moving the root to the origin, making
// orientation samples continuous, and constant motion extraction, which
// takes a root's steady travel (a straight line, or a screw motion about one
// axis) out of its samples so that a loop of the clip can be accumulated at
// run time.
//
// Samples are plain float arrays, one sample after another: positions 3
// floats, orientations 4 (x, y, z, w). Nothing here allocates or logs.

#include <cstdint>

namespace ketrel {

// A steady screw motion about `Axis`: after t seconds the root has turned
// t * dAngle radians about the axis and moved along a circle of `Radius` in
// the plane across it (BasisX points from the circle's centre to the start,
// BasisY along the start of the turn) and t * dZ along the axis. The same
// numbers as the file's `periodic_loop`.
struct LoopMotion {
  float Radius = 0;
  float dAngle = 0;  // radians per second (radians when fitted over 0 seconds)
  float dZ = 0;      // units per second along the axis
  float BasisX[3] = {0, 0, 0};
  float BasisY[3] = {0, 0, 0};
  float Axis[3] = {0, 0, 0};
};

// What constant motion extraction took out of the samples.
struct ConstantMotion {
  // The straight travel over the whole clip (end minus start, axes within
  // their tolerance left out); zero when a turn was found instead.
  float LoopTranslation[3] = {0, 0, 0};
  // Set when a turn was found: the samples were unwound along `Loop`.
  bool HasPeriodicLoop = false;
  LoopMotion Loop;
};

// Moves a root track to the origin: the placement is the first sample's
// position and orientation (normalised; the identity below length 0.0001),
// and every sample is rebased under it (position minus the placement's,
// rotated back; orientation multiplied by the inverse orientation from the
// left). `placementPosition` and `placementOrientation` receive the
// placement. Nothing happens for count < 1 (the placement is the identity).
void MoveSamplesToOrigin(int32_t count, float* positions, float* orientations,
                         float placementPosition[3], float placementOrientation[4]);

// Rebases samples under a placement found elsewhere (MoveSamplesToOrigin's
// on another root of the same skeleton), as MoveSamplesToOrigin rebases its
// own, so that every root of a model moves with one placement.
void RebaseSamples(int32_t count, float* positions, float* orientations,
                   const float placementPosition[3], const float placementOrientation[4]);

// Negates every quaternion whose dot product with the (already continuous)
// one before it is negative, so that consecutive samples stay within one
// hemisphere and the curve never takes the long way round.
void MakeOrientationsContinuous(int32_t count, float* orientations);

// Constant motion extraction over a root's `count` samples spanning
// `duration` seconds. `positionTolerance` (scene units, per axis) is how far
// the end may lie from the start on an axis and still count as no travel;
// `rotationTolerance` (per axis, as OrientationToleranceFromDegrees gives it:
// 1 - cos(angle / 2)) is how far the clip may turn about an axis and still
// count as no turn. Returns true when a turn was found and the samples were
// unwound along a fitted loop; otherwise the straight travel is taken out
// of the positions (sample i loses i / (count - 1) of it) and the result is
// false, but `out.LoopTranslation` still holds that travel. With fewer than
// 2 samples nothing changes and `out` is all zero.
bool ExtractConstantMotion(float duration, int32_t count, float* positions, float* orientations,
                           const float positionTolerance[3], const float rotationTolerance[3],
                           ConstantMotion& out);

// Fits the screw motion that takes the placement (p0, q0) to (pn, qn) over
// `duration` seconds (rates per second when duration > 0).
LoopMotion FitPeriodicLoop(const float p0[3], const float q0[4], const float pn[3],
                           const float qn[4], float duration);

// The loop's offset and rotation after t seconds.
void EvaluatePeriodicLoop(const LoopMotion& loop, float t, float offset[3], float rotation[4]);

// Advances a placement (offset, rotation) by t seconds of the loop: the
// offset gains the rotation applied to the loop's offset over t, and the
// rotation is followed by the loop's rotation over t.
void AdvanceLoopPlacement(const LoopMotion& loop, float t, float offset[3], float rotation[4]);

}  // namespace ketrel
